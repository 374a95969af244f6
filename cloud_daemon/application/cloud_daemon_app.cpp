#include "cloud_daemon/application/cloud_daemon_app.h"

#include <filesystem>

#include "cloud_daemon/infrastructure/setting/setting_cfg.h"
#include "platform/atomic_file.h"

namespace cloud_daemon::application {

using domain::interfaces::log_info;
using domain::interfaces::log_warn;
using infrastructure::setting::SettingCfg;

CloudDaemonApp::CloudDaemonApp(const std::string& logPath)
    : logger_(logPath),
      collector_(logger_),
      connector_(logger_),
      cloudLink_(logger_),
      gatewayLink_(logger_),
      publisher_(settings_, collector_, connector_, cloudLink_, logger_),
      gatewayService_(settings_, gatewayLink_, logger_) {}

CloudDaemonApp::~CloudDaemonApp() {
    stop_ = true;
    collector_.stop();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

bool CloudDaemonApp::pause(std::chrono::milliseconds d) {
    std::unique_lock lock(waitMutex_);
    return waitCv_.wait_for(lock, d, [this] { return stop_.load(); });
}

int CloudDaemonApp::init(const std::string& settingsPath) {
    log_info(logger_, "CloudDaemonApp::init");
    // Temporary files of rewrites that a crash or power cut interrupted go before the first one.
    for (const std::string& path :
         orvane::platform::removeInterruptedSaves(std::filesystem::path(settingsPath).parent_path().string()))
        log_warn(logger_, "Removed ", path, ", left by an interrupted save");
    settingsPath_ = settingsPath;
    reset();
    // Tunnels come up before any thread starts.
    for (const auto& e : settings_.forwards) {
        log_info(logger_, "Forwarding ", e.name, ": ", e.serverPort, " ", e.monitorPort);
        if (e.serverPort <= 0 || e.monitorPort <= 0) continue;
        gatewayService_.deactivate_tunnel(e.serverPort);  // a tunnel left over from an earlier run
        const auto ep = gatewayService_.select_tunnel_endpoint(e.name);
        for (int attempt = 0; attempt < 5 && !stop_; ++attempt) {
            log_info(logger_, "Setup connection ", e.name);
            if (gatewayService_.launch_tunnel(e.serverPort, e.monitorPort, ep.localAddress, e.localPort, ep.target,
                                              ep.keyFile) == 0)
                break;
        }
    }
    return 0;
}

int CloudDaemonApp::reset() {
    log_info(logger_, "CloudDaemonApp::reset");
    if (SettingCfg::load(settingsPath_, logger_, settings_) != 0) return 0;
    if (settings_.cloud.host == settings_.gateway.host && settings_.cloud.port == settings_.gateway.port)
        log_warn(logger_, "Both MQTT profiles name ", settings_.cloud.host, ":", settings_.cloud.port,
                 ": the two sessions of one client id will evict each other");
    cloudLink_.init(settings_.sn, settings_.cloud, settings_.cloudCommandTopic);
    gatewayLink_.init(settings_.sn, settings_.gateway, settings_.gatewayCommandTopic);
    publisher_.reset(settings_.fetchInterval, settings_.uploadInterval);
    gatewayService_.reset(60);
    return 0;
}

int CloudDaemonApp::run() {
    threads_.emplace_back([this] { collector_.recv_thread(); });
    threads_.emplace_back([this] { lte_thread(); });
    for (auto& t : threads_) {
        if (t.joinable()) t.join();
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    log_info(logger_, "Application: stopped");
    return 0;
}

void CloudDaemonApp::stop() {
    {
        std::lock_guard lock(waitMutex_);
        stop_ = true;
    }
    waitCv_.notify_all();
    collector_.stop();
    log_info(logger_, "Application: stop...");
}

int CloudDaemonApp::lte_thread() {
    // The stop flag is not cleared here: a stop requested during start-up still ends the loop.
    log_info(logger_, "Application: Scan interval: ", settings_.fetchInterval,
             ", Upload interval: ", settings_.uploadInterval);
    for (;;) {
        if (stop_) {
            log_info(logger_, "LTE Thread: stopped");
            return 0;
        }
        if (loopPeriodMs_ > 0) pause(std::chrono::milliseconds(loopPeriodMs_));
        if (stop_) continue;
        // Each step is caught on its own: nothing ends the worker thread.
        try {
            if (collector_.is_reload()) reset();
        } catch (const std::exception& e) {
            log_warn(logger_, "Fail to reload the settings: ", e.what());
        }
        publisher_.run_once(settings_.pn, settings_.sn);
        try {
            const auto snapshot = collector_.lte_information();
            if (gatewayService_.run_once(settings_.sn, snapshot) != 0)
                SettingCfg::save(settingsPath_, logger_, settings_);
        } catch (const std::exception& e) {
            log_warn(logger_, "Fail to serve the gateway channel: ", e.what());
        }
    }
}

}  // namespace cloud_daemon::application
