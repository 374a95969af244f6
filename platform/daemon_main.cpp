#include "platform/daemon_main.h"

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "platform/paths.h"

namespace orvane::platform {

namespace {

int g_wake[2] = {-1, -1};  // the signal handler's pipe to the watcher
constexpr char kWakeStop = 'S';
constexpr char kWakeQuit = 'Q';

// Only async-signal-safe calls: the daemon's stop() and its log line run on the watcher.
extern "C" void daemonSignalHandler(int) {
    const int saved = errno;
    static const char kLine[] = "Applicaiton Terminated... \n";
    (void)!::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    const char c = kWakeStop;
    (void)!::write(g_wake[1], &c, 1);
    errno = saved;
}

}  // namespace

DaemonOptions parseDaemonOptions(int argc, char** argv, const std::string& defaultLog) {
    DaemonOptions o;
    o.settingsPath = Paths::install("config/recipes/parameter.json");
    o.logPath = Paths::install(defaultLog);
    opterr = 0;  // the usage line below is the only message
    optind = 0;  // a fresh scan, also when called again
    int opt;
    while ((opt = ::getopt(argc, argv, "s:l:v")) != -1) {
        switch (opt) {
            case 's': o.settingsPath = optarg; break;
            case 'l': o.logPath = optarg; break;
            case 'v': o.version = true; return o;  // options after it are not looked at
            default: o.invalid = true; break;      // e.g. "--help" would otherwise read as "-l p"
        }
        if (o.invalid) break;
    }
    if (!o.invalid && optind < argc) o.invalid = true;
    if (o.invalid) {
        const std::string name = argc > 0 && argv[0] ? argv[0] : "daemon";
        std::cerr << "usage: " << name.substr(name.rfind('/') + 1) << " [-s settings-file] [-l log-file] [-v]"
                  << std::endl;
    }
    return o;
}

SignalStop::SignalStop() {
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(g_wake, O_CLOEXEC) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = daemonSignalHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ok_ = true;
}

SignalStop::~SignalStop() { stopWatching(); }

void SignalStop::watch(std::function<void()> onStop) {
    if (!ok_ || watcher_.joinable()) return;
    watcher_ = std::thread([onStop = std::move(onStop)] {
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(g_wake[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == kWakeQuit) return;
            onStop();
        }
    });
}

void SignalStop::stopWatching() {
    if (!watcher_.joinable()) return;
    const char quit = kWakeQuit;
    (void)!::write(g_wake[1], &quit, 1);
    watcher_.join();
}

}  // namespace orvane::platform
