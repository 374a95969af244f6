#pragma once
// What the two daemons' main functions share: the "s:l:v" command line and the way SIGINT and
// SIGTERM end them (the handler only writes its line and wakes a watcher thread, which asks the
// daemon to stop on a normal thread).
#include <functional>
#include <string>
#include <thread>

namespace orvane::platform {

struct DaemonOptions {
    std::string settingsPath;  // -s, default <install root>config/recipes/parameter.json
    std::string logPath;       // -l, default <install root><defaultLog>
    bool version = false;      // -v: print the version and leave before anything is built
    bool invalid = false;      // unknown option, missing value or stray argument: leave with status 2
};

// getopt with "s:l:v". An unknown option, an option without its value or an argument that is
// no option writes one usage line to stderr and sets `invalid`.
DaemonOptions parseDaemonOptions(int argc, char** argv, const std::string& defaultLog);

// One per process. The constructor ignores SIGPIPE and installs the SIGINT/SIGTERM handler at
// once; a signal that comes before watch() is kept and acted on as soon as watch() starts.
class SignalStop {
public:
    SignalStop();
    ~SignalStop();  // ends the watcher
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    bool ok() const { return ok_; }
    // Starts the watcher: onStop runs on it for every SIGINT or SIGTERM.
    void watch(std::function<void()> onStop);
    // Ends the watcher (idempotent).
    void stopWatching();

private:
    bool ok_ = false;
    std::thread watcher_;
};

}  // namespace orvane::platform
