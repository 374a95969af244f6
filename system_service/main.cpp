// orvane-system: the system-service daemon.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <spdlog/spdlog.h>

#include "platform/paths.h"
#include "system_service/infrastructure/logger/logger.h"
#include "system_service/service/service_controller.h"
#include "system_service/setting/settings.h"

namespace {

std::shared_ptr<service::ServiceController> g_controller;
int g_wake[2] = {-1, -1};  // the signal handler's pipe to the stop watcher
constexpr char kWakeStop = 'S';
constexpr char kWakeQuit = 'Q';

// Only async-signal-safe calls: stop() and its log line run on the watcher thread.
extern "C" void signal_handler(int) {
    const int saved = errno;
    static const char kLine[] = "Applicaiton Terminated... \n";
    (void)!::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    const char c = kWakeStop;
    (void)!::write(g_wake[1], &c, 1);
    errno = saved;
}

void watchSignals() {
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(g_wake[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == kWakeQuit) return;
        if (auto controller = std::atomic_load(&g_controller)) controller->stop();
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(g_wake, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    using orvane::platform::Paths;
    std::string settingsPath = Paths::install("config/recipes/parameter.json");
    std::string logPath = Paths::install("log/log_system.txt");
    opterr = 0;  // other options are ignored
    int opt;
    while ((opt = ::getopt(argc, argv, "s:l:v")) != -1) {
        switch (opt) {
            case 's': settingsPath = optarg; break;
            case 'l': logPath = optarg; break;
            case 'v': std::cout << service::kSystemVersion << std::endl; return 0;
            default: break;
        }
    }

    infrastructure::logger::Logger logger(logPath);
    setting::Settings settings(settingsPath, logger);
    std::atomic_store(&g_controller, std::make_shared<service::ServiceController>(settings, logger));
    std::thread watcher(watchSignals);
    try {
        g_controller->start();
    } catch (const std::exception& e) {
        interfaces::log_warn(logger, "Get an exception: ", e.what());
    }
    const char quit = kWakeQuit;
    (void)!::write(g_wake[1], &quit, 1);
    watcher.join();

    // A connection still busy (an upgrade under way, or the self-restart that is ending this
    // process) is not waited for long: the logs are flushed and the process leaves.
    if (!g_controller->wait_idle(std::chrono::seconds(3))) {
        interfaces::log_warn(logger, "Leaving with a request still in progress");
        spdlog::shutdown();
        ::_exit(0);
    }
    std::atomic_store(&g_controller, std::shared_ptr<service::ServiceController>());
    return 0;
}
