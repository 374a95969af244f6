#pragma once
// Runs a whole program with its production paths and ports, kept off the host. Needs root.
//
// Inside, in private mount, network and PID namespaces:
//   /opt              a folder of the sandbox, with installDir() bound at /opt/kelvaworks
//   /tmp              tmpDir()
//   /etc              an overlay over the host's /etc: reads see the host's files, writes land in
//                     etcDir() (files put there before start() appear under /etc); where no
//                     overlay can be mounted, etcDir() becomes a copy of the host's /etc (links
//                     and modes kept, those files on top) bound at /etc. setupLog() tells which.
//   /run              runDir()
//   /sys/class/gpio   an empty tmpfs (where the host has one)
//   /proc             the sandbox's own: `killall`, `pidof` and the like see only its processes
//   network           loopback only (up)
//   PATH              binDir() (seen as /run/sandbox-bin) comes first: stub programs go there
// The build tree, the checkout (ORVANE_BINARY_DIR, ORVANE_SOURCE_DIR), the folder of the
// program started and every path given to keepReachable() stay reachable at their host paths,
// wherever they lie (under /tmp or /opt too). Several sandboxes can run at once.
//
// The program runs under a small shell that is the sandbox's first process; when the program
// ends, everything else still running in the sandbox ends with it. A sandbox whose program has
// ended can be started again with the same folders (a restart of the program).
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
    ~SandboxProcess();  // kills everything still running in the sandbox

    // True when this machine lets us create the namespaces (root with unshare, mount, overlay).
    static bool available();

    // The host folders that appear inside as /opt/kelvaworks, /tmp, the upper layer of /etc,
    // /run and the stub-program folder first on PATH.
    const std::string& installDir() const { return install_.path(); }
    const std::string& tmpDir() const { return tmp_.path(); }
    std::string etcDir() const { return box_.file("etc-upper"); }
    std::string runDir() const { return box_.file("run"); }
    std::string binDir() const { return box_.file("run/sandbox-bin"); }
    // A file under the sandbox's /opt/kelvaworks, /etc (written by the program or put there by
    // the test) and /run.
    std::string installFile(const std::string& rel) const { return install_.file(rel); }
    std::string etcFile(const std::string& rel) const { return etcDir() + "/" + rel; }
    std::string runFile(const std::string& rel) const { return runDir() + "/" + rel; }
    // Writes an executable shell script `name` into binDir(): a stub found first on PATH inside.
    void addStub(const std::string& name, const std::string& script);
    // A host file or folder the program must reach at the same path (call before start()).
    void keepReachable(const std::string& hostPath);
    // Test-only: /etc as the copy even where an overlay could be mounted (call before start()).
    void forceEtcCopyForTest() { etcCopy_ = true; }

    // Starts argv (absolute host path of the program first, or a name found on PATH) inside the
    // sandbox; stdout and stderr go to files readable with stdoutText()/stderrText(). Returns
    // false when it cannot start or the previous program still runs.
    bool start(const std::vector<std::string>& argv);
    // Pid of the program itself in the host's pid namespace, once it is running; -1 if unknown.
    // The waits are for start-up to happen (mounts, maybe a copy of /etc, on a loaded machine):
    // they end as soon as it has.
    pid_t programPid(std::chrono::milliseconds wait = std::chrono::seconds(60));
    // Pid (host namespace) of the sandbox's first process; its /proc/<pid>/ns/* are the
    // sandbox's namespaces. -1 until start-up is done.
    pid_t initPid(std::chrono::milliseconds wait = std::chrono::seconds(60));
    bool signal(int sig);
    // Waits for the end; returns the exit status (0..255, 128+N for signal N) or -1 on timeout.
    int wait(std::chrono::milliseconds timeout);
    bool running();

    // Runs argv on the host's files but in the sandbox's network namespace (`nsenter --net`):
    // curl, mbpoll, a client for the program's ports. Returns its exit status (-1 when it cannot
    // run); stdout and stderr together go to *output when given.
    int runInNetwork(const std::vector<std::string>& argv, std::string* output = nullptr);
    // Runs argv fully inside (mount, network and PID namespaces): it sees the sandbox's files
    // and processes.
    int runInside(const std::vector<std::string>& argv, std::string* output = nullptr);

    // The line the last start wrote about its set-up (which /etc it made).
    std::string setupLog() const;
    std::string stdoutText() const;
    std::string stderrText() const;

private:
    int runEntered(const std::vector<std::string>& nsArgs, const std::vector<std::string>& argv, std::string* output);
    void reap(int st);

    TempDir install_{"orvane-sbx-root"};
    TempDir tmp_{"orvane-sbx-tmp"};
    TempDir box_{"orvane-sbx-box"};  // its own files: pid, outputs, /opt, /etc layers, /run
    std::vector<std::string> keep_;
    bool etcCopy_ = false;
    pid_t pid_ = -1;  // the unshare process, our child
    pid_t initPid_ = -1;
    pid_t programPid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Switches the calling thread into the sandbox's network namespace for its lifetime, so a
// client in the test (libmodbus, Boost.Asio) reaches the program's ports; sockets made meanwhile
// stay in that namespace. ok() is false when the switch failed (the thread stays where it was).
class SandboxNetwork {
public:
    explicit SandboxNetwork(SandboxProcess& sandbox);
    ~SandboxNetwork();
    SandboxNetwork(const SandboxNetwork&) = delete;
    SandboxNetwork& operator=(const SandboxNetwork&) = delete;
    bool ok() const { return ok_; }

private:
    int home_ = -1;
    bool ok_ = false;
};

// Polls cond every 20 ms until it holds or the timeout passes.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

}  // namespace orvane::test
