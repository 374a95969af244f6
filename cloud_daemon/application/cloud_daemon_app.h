#pragma once
// orvane-lte's application object: owns every component of the daemon, loads the settings and
// runs the two working threads (the collector's receive thread and the worker loop).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud_daemon/application/data_collector.h"
#include "cloud_daemon/application/system_connector.h"
#include "cloud_daemon/domain/entities/sys_setting.h"
#include "cloud_daemon/domain/service/cloud_publisher.h"
#include "cloud_daemon/domain/service/gateway_service.h"
#include "cloud_daemon/infrastructure/logger/logger.h"
#include "cloud_daemon/infrastructure/mqtt/mqtt_service.h"

namespace cloud_daemon::application {

// The install root; the daemon's default files lie under it (through the platform paths).
inline constexpr const char* KELVAWORKS_HOME_PATH = "/opt/kelvaworks/";
inline constexpr const char* kCloudDaemonVersion = "Cloud Daemon v1.0.0";

class CloudDaemonApp {
public:
    explicit CloudDaemonApp(const std::string& logPath);
    virtual ~CloudDaemonApp();
    CloudDaemonApp(const CloudDaemonApp&) = delete;
    CloudDaemonApp& operator=(const CloudDaemonApp&) = delete;

    // Loads the settings from `settingsPath`, connects both links and brings up the tunnels of
    // the forwarding entries; returns 0.
    int init(const std::string& settingsPath);
    // Rereads the settings and re-initialises what depends on them; returns 0.
    int reset();
    // Starts both threads and returns once both have ended; returns 0.
    int run();
    // Asks both threads to end. Not for signal context.
    void stop();
    // Worker loop body.
    int lte_thread();

    domain::interfaces::ILogger& logger() { return logger_; }
    DataCollector& collector() { return collector_; }
    const domain::entities::SysSetting& settings() const { return settings_; }
    void setLoopPeriod(std::chrono::milliseconds period) { loopPeriodMs_ = static_cast<int32_t>(period.count()); }

private:
    // Waits up to d or until stop(); true when stopping.
    bool pause(std::chrono::milliseconds d);

    int32_t loopPeriodMs_ = 1000;
    infrastructure::logger::Logger logger_;
    DataCollector collector_;
    SystemConnector connector_;
    domain::entities::SysSetting settings_;
    std::atomic<bool> stop_{false};
    infrastructure::mqtt::MqttService cloudLink_;
    infrastructure::mqtt::MqttService gatewayLink_;
    domain::service::CloudPublisher publisher_;
    domain::service::GatewayService gatewayService_;
    std::vector<std::thread> threads_;
    std::string settingsPath_;
    std::mutex waitMutex_;
    std::condition_variable waitCv_;
};

}  // namespace cloud_daemon::application
