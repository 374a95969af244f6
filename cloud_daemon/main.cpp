// orvane-lte: the cloud-connection daemon.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "cloud_daemon/application/cloud_daemon_app.h"
#include "platform/paths.h"

using cloud_daemon::application::CloudDaemonApp;

namespace {

std::shared_ptr<CloudDaemonApp> g_app;
int g_wake[2] = {-1, -1};  // the signal handler's pipe to the stop watcher
constexpr char kWakeStop = 'S';
constexpr char kWakeQuit = 'Q';

// Only async-signal-safe calls: the log line and stop() run on the watcher thread.
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
        if (g_app) g_app->stop();
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
    std::string logPath = Paths::install("log/log_lte.txt");
    opterr = 0;  // other options are ignored
    int opt;
    while ((opt = ::getopt(argc, argv, "s:l:v")) != -1) {
        switch (opt) {
            case 's': settingsPath = optarg; break;
            case 'l': logPath = optarg; break;
            case 'v': std::cout << cloud_daemon::application::kCloudDaemonVersion << std::endl; return 0;
            default: break;
        }
    }
    std::cout << "Applicaiton " << settingsPath << "; " << logPath << std::endl;

    g_app = std::make_shared<CloudDaemonApp>(logPath);
    std::thread watcher(watchSignals);
    g_app->init(settingsPath);
    g_app->run();

    const char quit = kWakeQuit;
    (void)!::write(g_wake[1], &quit, 1);
    watcher.join();
    g_app.reset();
    return 0;
}
