#pragma once
// Feeds the cloud data broker: asks the gateway program for readings every fetchInterval,
// publishes the livedata document and any held alarm every uploadInterval, keeps a document
// whose publication failed and resends it, then catches up on the readings of the outage one
// upload window per pass; takes upgrade orders from the cloud command topic.
#include <cstdint>
#include <functional>
#include <string>

#include "cloud_daemon/domain/entities/sys_setting.h"
#include "cloud_daemon/domain/interfaces/i_cloud_sender.h"
#include "cloud_daemon/domain/interfaces/i_data_collector.h"
#include "cloud_daemon/domain/interfaces/i_logger.h"
#include "cloud_daemon/domain/interfaces/i_system_sender.h"
#include "platform/clock.h"

namespace cloud_daemon::domain::service {

class CloudPublisher {
public:
    static constexpr std::size_t kMaxCommandBytes = 1024;

    CloudPublisher(const entities::SysSetting& settings, interfaces::IDataCollector& collector,
                   interfaces::ISystemSender& system, interfaces::ICloudSender& link, interfaces::ILogger& logger,
                   orvane::platform::Clock& clock = orvane::platform::Clock::get());

    // New intervals from the settings; both clocks restart now. A pending payload is kept.
    void reset(uint32_t fetchInterval, uint32_t uploadInterval);
    // One pass of the worker thread. Never throws.
    void run_once(uint32_t pn, const std::string& sn);
    // Acts on one message of the cloud command topic. Never throws.
    void handle_server_command(const std::string& message);

    // An upgrade file name as the system-service daemon accepts it: 1 to 32 bytes of letters,
    // digits, '.', '_', '+', '-', no leading '-', not "." or "..".
    static bool valid_upgrade_file_name(const std::string& name);

    bool pending() const { return !pendingPayload_.empty(); }
    const std::string& pending_topic() const { return pendingTopic_; }
    uint32_t last_data_timestamp() const { return lastDataTimestamp_; }

private:
    int64_t now() { return clock_.wallSeconds(); }
    void holdForResend(const std::string& topic, const std::string& payload);
    void publishOrHold(const char* what, const char* failed, const std::string& topic,
                       const std::function<std::string()>& make);

    int32_t scanClock_ = 0;
    int32_t uploadClock_ = 0;
    int32_t fetchInterval_ = 0;
    int32_t uploadInterval_ = 0;
    const entities::SysSetting& settings_;
    interfaces::IDataCollector& collector_;
    interfaces::ISystemSender& system_;
    interfaces::ICloudSender& link_;
    interfaces::ILogger& logger_;
    orvane::platform::Clock& clock_;
    std::string pendingTopic_;
    std::string pendingPayload_;
    uint32_t lastDataTimestamp_ = 0;
};

}  // namespace cloud_daemon::domain::service
