// orvane-system: the system-service daemon.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>

#include <spdlog/spdlog.h>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "platform/daemon_main.h"
#include "system_service/infrastructure/logger/logger.h"
#include "system_service/service/service_controller.h"
#include "system_service/setting/settings.h"

int main(int argc, char** argv) {
    orvane::platform::SignalStop signals;
    if (!signals.ok()) return 1;
    const auto opts = orvane::platform::parseDaemonOptions(argc, argv, "log/log_system.txt");
    if (opts.invalid) return 2;  // the usage line is written; nothing was started
    if (opts.version) {
        std::cout << service::kSystemVersion << std::endl;
        return 0;
    }

    infrastructure::logger::Logger logger(opts.logPath);
    // Temporary files of rewrites that a crash or power cut interrupted go before the first one.
    for (const std::string& path :
         orvane::platform::removeInterruptedSaves(std::filesystem::path(opts.settingsPath).parent_path().string()))
        interfaces::log_warn(logger, "Removed ", path, ", left by an interrupted save");
    setting::Settings settings(opts.settingsPath, logger);
    auto controller = std::make_shared<service::ServiceController>(settings, logger);
    signals.watch([controller] { controller->stop(); });
    try {
        controller->start();
    } catch (const std::exception& e) {
        interfaces::log_warn(logger, "Get an exception: ", e.what());
    }
    signals.stopWatching();

    // A connection still busy (an upgrade under way, or the self-restart that is ending this
    // process) is not waited for long: the logs are flushed and the process leaves.
    if (!controller->wait_idle(std::chrono::seconds(3))) {
        interfaces::log_warn(logger, "Leaving with a request still in progress");
        spdlog::shutdown();
        ::_exit(0);
    }
    return 0;
}
