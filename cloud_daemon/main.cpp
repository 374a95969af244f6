// orvane-lte: the cloud-connection daemon.
#include <iostream>
#include <memory>
#include <string>

#include "cloud_daemon/application/cloud_daemon_app.h"
#include "platform/daemon_main.h"

using cloud_daemon::application::CloudDaemonApp;

int main(int argc, char** argv) {
    orvane::platform::SignalStop signals;
    if (!signals.ok()) return 1;
    const auto opts = orvane::platform::parseDaemonOptions(argc, argv, "log/log_lte.txt");
    if (opts.invalid) return 2;  // the usage line is written; nothing was started
    if (opts.version) {
        std::cout << cloud_daemon::application::kCloudDaemonVersion << std::endl;
        return 0;
    }
    std::cout << "Applicaiton " << opts.settingsPath << "; " << opts.logPath << std::endl;

    auto app = std::make_shared<CloudDaemonApp>(opts.logPath);
    signals.watch([app] { app->stop(); });
    app->init(opts.settingsPath);
    app->run();
    signals.stopWatching();
    return 0;
}
