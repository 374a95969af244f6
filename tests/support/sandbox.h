#pragma once
// Runs a whole program with its production paths and ports inside private mount and network
// namespaces: a tmpfs over /opt with a temporary directory bound at /opt/kelvaworks, another
// bound over /tmp, and only a loopback interface. Nothing on the host is touched. Needs root.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace orvane::test {

class SandboxProcess {
public:
    SandboxProcess();
    ~SandboxProcess();  // kills the program if it still runs

    // True when this machine lets us create the namespaces (root with unshare and mount).
    static bool available();

    // The host directories that appear as /opt/kelvaworks and /tmp inside.
    const std::string& installDir() const { return install_.path(); }
    const std::string& tmpDir() const { return tmp_.path(); }

    // Starts argv (absolute host path of the program first) inside the sandbox; stdout and stderr
    // go to files readable with stdoutText()/stderrText(). Returns false when it cannot start.
    bool start(const std::vector<std::string>& argv);
    // Pid of the program itself (host pid namespace), once it is running; -1 if unknown.
    pid_t programPid(std::chrono::milliseconds wait = std::chrono::seconds(5));
    bool signal(int sig);
    // Waits for the end; returns the exit status (0..255, 128+N for signal N) or -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    bool running();

    std::string stdoutText() const;
    std::string stderrText() const;
    // A file under the sandbox's /opt/kelvaworks.
    std::string installFile(const std::string& rel) const { return install_.file(rel); }

private:
    TempDir install_{"orvane-sbx-root"};
    TempDir tmp_{"orvane-sbx-tmp"};
    TempDir out_{"orvane-sbx-out"};
    pid_t pid_ = -1;
    pid_t programPid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Polls cond every 20 ms until it holds or the timeout passes.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

}  // namespace orvane::test
