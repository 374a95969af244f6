#include "cloud_daemon/application/data_collector.h"

#include <ctime>
#include <memory>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "orvane_ipc/frame_accumulator.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace cloud_daemon::application {

namespace local = orvane::platform::local;
using domain::entities::CellularSnapshot;
using domain::entities::DeviceValue;
using domain::interfaces::log_info;
using domain::interfaces::log_warn;

namespace {

// A text field up to its first zero byte.
std::string cutAtZero(const std::string& s) { return s.substr(0, s.find('\0')); }

void logPairs(domain::interfaces::ILogger& logger, const orvane_ipc::DataCell& cell) {
    for (const auto& [name, value] : cell.values) log_info(logger, name, " : ", value);
}

}  // namespace

DataCollector::DataCollector(ILogger& logger, std::string path)
    : CommandService(path.empty() ? orvane::platform::Paths::runtime("probeSock") : std::move(path), logger),
      lastTimestamp_(static_cast<uint32_t>(orvane::platform::Clock::get().wallSeconds())) {}

DataCollector::~DataCollector() { stop_ = true; }

bool DataCollector::pause(std::chrono::milliseconds d) {
    std::unique_lock lock(waitMutex_);
    return waitCv_.wait_for(lock, d, [this] { return stop_.load(); });
}

void DataCollector::stop() {
    {
        std::lock_guard lock(waitMutex_);
        stop_ = true;
    }
    waitCv_.notify_all();
    log_info(logger_, "DataCollector: stop...");
}

bool DataCollector::is_reload() { return reload_.exchange(false); }

void DataCollector::recv_thread() {
    auto buf = std::make_unique<uint8_t[]>(kReadSize);
    orvane_ipc::FrameAccumulator frames;
    std::shared_ptr<Connection> reading;
    while (!stop_) {
        std::shared_ptr<Connection> c = current();
        if (!c) {
            try {
                c = connected();
                log_info(logger_, "IPC socket connected to scada");
            } catch (const std::exception& e) {
                log_warn(logger_, "IPC connect failed, retrying in 1s: ", e.what());
                pause(std::chrono::seconds(1));
                continue;
            }
        }
        if (c != reading) {
            frames.clear();  // nothing of an earlier connection is analysed again
            reading = c;
        }
        const local::ReadResult r = local::readFor(c->socket, buf.get(), kReadSize, std::chrono::seconds(1));
        if (r.status == local::ReadStatus::Closed || r.status == local::ReadStatus::Error) {
            // The gateway program went away: connect again after a pause.
            drop(c);
            reading.reset();
            pause(std::chrono::seconds(1));
            continue;
        }
        if (r.status != local::ReadStatus::Data) continue;
        frames.append(buf.get(), r.bytes);
        while (auto frame = frames.next()) {
            try {
                if (auto response = orvane_ipc::Service::response_analyze(frame->data(), frame->size()))
                    handle(*response);
            } catch (const std::exception& e) {
                if (auto line = dropped_.admit(std::string("Drop a frame: ") + e.what())) log_warn(logger_, *line);
            }
        }
    }
    // The frames left out of the log are told at the stop, not when a connection ends: a gateway
    // program that connects again each time would get a line for each.
    if (auto line = dropped_.takeHeld()) log_warn(logger_, *line);
    log_info(logger_, "DataCollector Receiving Thread: stopped.");
}

void DataCollector::handle(const orvane_ipc::ResponseVariant& response) {
    std::lock_guard lock(mutex_);
    log_info(logger_, "Receive a message");
    handleLocked(response);
}

void DataCollector::handleLocked(const orvane_ipc::ResponseVariant& response) {
    switch (response.index()) {
        case 0: {
            try {
                const orvane_ipc::DataCell& cell = std::get<0>(response).cell();
                const std::string time = unix_timestamp(cell.timestamp);
                log_info(logger_, "Receive a LatestSensorData message @ ", time, ", cnt: ", cell.values.size());
                logPairs(logger_, cell);
                readings_.push_back(DeviceValue{time, cell.values});
                lastTimestamp_ = cell.timestamp;
            } catch (const std::exception& e) {
                log_warn(logger_, "Fail to get the LatestSensorData: ", e.what());
            }
            break;
        }
        case 1: {
            try {
                const auto& history = std::get<1>(response);
                log_info(logger_, "Receive a HistoricalSensorData: ", history.count());
                uint32_t latest = 0;
                for (const orvane_ipc::DataCell& cell : history.cells()) {
                    log_info(logger_, "Receive a HistoricalSensorData message @ ", cell.timestamp, ", cnt: ",
                             cell.values.size());
                    logPairs(logger_, cell);
                    readings_.push_back(DeviceValue{unix_timestamp(cell.timestamp), cell.values});
                    if (cell.timestamp > latest) latest = cell.timestamp;
                }
                lastTimestamp_ = latest;
            } catch (const std::exception& e) {
                readings_.clear();
                log_warn(logger_, "Fail to get the HistoricalSensorData: ", e.what());
            }
            break;
        }
        case 5: {
            const auto& lte = std::get<5>(response);
            snapshot_.carrier = cutAtZero(lte.carrier_name());
            snapshot_.imsi = cutAtZero(lte.imsi());
            snapshot_.swver = cutAtZero(lte.sw_version());
            log_info(logger_, "Receive a LTE message...", snapshot_.carrier);
            snapshot_.uptime = lte.sys_uptime();
            snapshot_.rssi = lte.signal_rssi();
            snapshot_.rsrp = lte.signal_rsrp();
            snapshot_.sinr = lte.signal_sinr();
            snapshot_.rsrq = lte.signal_rsrq();
            snapshot_.cycleRxMB = lte.data_usage_cycle_rx_mb();
            snapshot_.cycleTxMB = lte.data_usage_cycle_tx_mb();
            snapshot_.totalRxMB = lte.data_usage_total_rx_mb();
            snapshot_.totalTxMB = lte.data_usage_total_tx_mb();
            snapshot_.latitude = lte.latitude();
            snapshot_.longitude = lte.longitude();
            break;
        }
        case 6:
            log_info(logger_, "Receive a Reload message...");
            reload_ = true;
            break;
        case 8: {
            const auto& a = std::get<8>(response);
            log_info(logger_, "Receive a SystemAlarm message...", a.alarm_type(), ": PN ", a.alarm_device_pn(), "; SN ",
                     a.alarm_device_sn());
            alarm_ = HeldAlarm{unix_timestamp(a.timestamp()), a.alarm_type(), a.alarm_device_pn(), a.alarm_device_sn()};
            break;
        }
        default:
            break;
    }
}

int DataCollector::scan() { return send_request(orvane_ipc::request::LatestSensorData{}); }

int DataCollector::get_data(uint32_t start, uint32_t span, uint32_t interval) {
    orvane_ipc::request::HistoricalSensorData req;
    req.start_time(start);
    req.end_time(start + span);
    req.interval(static_cast<uint16_t>(interval));
    return send_request(req);
}

std::string DataCollector::livedata_string(uint32_t pn, const std::string& sn) {
    using json = nlohmann::json;
    std::list<DeviceValue> readings;
    {
        std::lock_guard lock(mutex_);
        readings.swap(readings_);  // taken whatever happens next: the list never keeps growing
    }
    try {
        json doc = json::object();
        doc["sn"] = sn;
        json data = json::array();
        for (const DeviceValue& dv : readings) {
            json value = json::object();
            for (const auto& [name, v] : dv.values) value[name] = v;  // a repeated name keeps the later value
            json device = json::object();
            device["pn"] = pn;
            device["value"] = std::move(value);
            json element = json::object();
            element["device"] = json::array({std::move(device)});
            element["timestamp"] = dv.time;
            data.push_back(std::move(element));
        }
        doc["data"] = std::move(data);
        // Names that are not valid UTF-8 get replacement characters instead of failing the dump.
        return doc.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception& e) {
        log_warn(logger_, "Drop ", readings.size(), " readings: ", e.what());
        throw std::runtime_error(std::string("MQTT JSON:") + e.what());
    }
}

std::string DataCollector::alarm_string(uint32_t /*pn*/, const std::string& sn) {
    using ojson = nlohmann::ordered_json;
    HeldAlarm alarm;
    {
        std::lock_guard lock(mutex_);
        alarm = alarm_;
        alarm_ = HeldAlarm{};
    }
    if (alarm.type == 0) return {};
    try {
        ojson doc = ojson::object();
        doc["sn"] = sn;
        doc["timestamp"] = alarm.time;
        doc["id"] = alarm.type;
        ojson args = ojson::object();
        args["pn"] = alarm.pn;
        args["sn"] = alarm.sn;
        doc["args"] = std::move(args);
        return doc.dump(-1, ' ', false, ojson::error_handler_t::replace);
    } catch (const ojson::exception& e) {
        throw std::runtime_error(std::string("MQTT JSON:") + e.what());
    }
}

uint32_t DataCollector::last_timestamp() {
    std::lock_guard lock(mutex_);
    return lastTimestamp_;
}

CellularSnapshot DataCollector::lte_information() {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

std::string DataCollector::unix_timestamp(uint32_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buf, n);
}

}  // namespace cloud_daemon::application
