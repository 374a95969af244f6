#include "cloud_daemon/domain/service/cloud_publisher.h"

#include <cctype>
#include <regex>

namespace cloud_daemon::domain::service {

using entities::SystemUpgradeMethod;
using interfaces::log_info;
using interfaces::log_warn;

CloudPublisher::CloudPublisher(const entities::SysSetting& settings, interfaces::IDataCollector& collector,
                               interfaces::ISystemSender& system, interfaces::ICloudSender& link,
                               interfaces::ILogger& logger, orvane::platform::Clock& clock)
    : settings_(settings), collector_(collector), system_(system), link_(link), logger_(logger), clock_(clock) {
    scanClock_ = uploadClock_ = static_cast<int32_t>(now());
}

void CloudPublisher::reset(uint32_t fetchInterval, uint32_t uploadInterval) {
    fetchInterval_ = static_cast<int32_t>(fetchInterval);
    uploadInterval_ = static_cast<int32_t>(uploadInterval);
    scanClock_ = uploadClock_ = static_cast<int32_t>(now());
}

void CloudPublisher::holdForResend(const std::string& topic, const std::string& payload) {
    pendingTopic_ = topic;
    pendingPayload_ = payload;
    lastDataTimestamp_ = collector_.last_timestamp();
    // Without a known reading time the backlog starts at this failed upload, never at 1970.
    if (lastDataTimestamp_ == 0) lastDataTimestamp_ = static_cast<uint32_t>(now());
}

// One document made and published; one the broker did not take is held for the next pass.
// what names it in the log lines ("<what> publish:", "Fail to pusblish <failed> to cloud. ...").
void CloudPublisher::publishOrHold(const char* what, const char* failed, const std::string& topic,
                                   const std::function<std::string()>& make) {
    try {
        const std::string doc = make();
        if (doc.empty()) return;
        log_info(logger_, what, " publish:", doc);
        if (link_.publish(topic, doc) != 0) {
            log_warn(logger_, "Fail to pusblish ", failed, " to cloud. ", "the broker did not take it");
            holdForResend(topic, doc);
        }
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to pusblish ", failed, " to cloud. ", e.what());
    }
}

void CloudPublisher::run_once(uint32_t pn, const std::string& sn) {
    const int64_t t = now();
    if (!pendingPayload_.empty()) {
        int r = -1;
        try {
            r = link_.publish(pendingTopic_, pendingPayload_);
        } catch (const std::exception& e) {
            log_warn(logger_, "Fail to pusblish livedate to cloud. ", e.what());
        }
        if (r != 0) return;
        log_info(logger_, "Success to pusblish date to cloud on topic ", pendingTopic_);
        // Without an upload interval there is no window to walk: a window of no length would
        // never reach the present and the backlog would never end.
        if (uploadInterval_ > 0 && static_cast<int64_t>(lastDataTimestamp_) + uploadInterval_ < t) {
            try {
                collector_.get_data(lastDataTimestamp_, static_cast<uint32_t>(uploadInterval_),
                                    static_cast<uint32_t>(fetchInterval_));
            } catch (const std::exception& e) {
                log_warn(logger_, "Fail to request the readings of the outage. ", e.what());
            }
            clock_.sleepFor(std::chrono::milliseconds(500));
            try {
                pendingPayload_ = collector_.livedata_string(pn, sn);
            } catch (const std::exception& e) {
                pendingPayload_.clear();
                log_warn(logger_, "Fail to pusblish livedate to cloud. ", e.what());
            }
            pendingTopic_ = settings_.dataTopic;
            uint32_t last = 0;
            try {
                last = collector_.last_timestamp();
            } catch (const std::exception&) {
            }
            // The next window starts after the last reading delivered, and the window advances in
            // every case: a window whose last reading is its first would otherwise be asked for
            // (and published) again and again.
            lastDataTimestamp_ = last > lastDataTimestamp_ ? last + 1
                                                           : lastDataTimestamp_ + static_cast<uint32_t>(uploadInterval_);
            log_info(logger_, "New Last timestamp: ", lastDataTimestamp_);
            return;
        }
        log_info(logger_, "Back online ", pendingTopic_);
        pendingPayload_.clear();
        scanClock_ = uploadClock_ = static_cast<int32_t>(t);
        return;
    }

    if (t - scanClock_ >= fetchInterval_) {
        scanClock_ = static_cast<int32_t>(t);
        try {
            collector_.scan();
        } catch (const std::exception& e) {
            log_warn(logger_, "Fail to scan devices. ", e.what());
        }
    }
    if (t - uploadClock_ >= uploadInterval_) {
        uploadClock_ = static_cast<int32_t>(t);
        publishOrHold("livedata", "livedate", settings_.dataTopic, [&] { return collector_.livedata_string(pn, sn); });
        // A held livedata document is not replaced: the alarm waits for the next normal pass.
        if (pendingPayload_.empty())
            publishOrHold("alarm", "alarm", settings_.alarmTopic, [&] { return collector_.alarm_string(pn, sn); });
    }
    try {
        handle_server_command(link_.take_message());
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to analyze the command from server. ", e.what());
    }
}

bool CloudPublisher::valid_upgrade_file_name(const std::string& name) {
    if (name.empty() || name.size() > 32 || name == "." || name == ".." || name[0] == '-') return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '+' && c != '-') return false;
    return true;
}

void CloudPublisher::handle_server_command(const std::string& message) {
    if (message.empty()) return;
    if (message.size() > kMaxCommandBytes) {
        log_warn(logger_, "Refuse a command from server of ", message.size(), " bytes");
        return;
    }
    log_info(logger_, "Get a data srv mqtt message: ", message);
    try {
        static const std::regex kCommand(R"re(\{\s*"(.*)"\s*:\s*"(.*)"\s*,\s*"(.*)"\s*\})re", std::regex::ECMAScript);
        std::smatch m;
        if (!std::regex_match(message, m, kCommand) || m[1] != "Upgrade") return;
        SystemUpgradeMethod method;
        if (m[2] == "scp") method = SystemUpgradeMethod::scp;
        else if (m[2] == "tftp") method = SystemUpgradeMethod::tftp;
        else return;
        const std::string file = m[3];
        if (!valid_upgrade_file_name(file)) {
            log_warn(logger_, "Refuse the upgrade file name: ", file);
            return;
        }
        system_.send_system_update(method, file);
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to analyze the command from server. ", e.what());
    }
}

}  // namespace cloud_daemon::domain::service
