#pragma once
// Every external command of the three programs (systemctl, reboot, iptables, date, hwclock, mv,
// cp, tar, md5sum, autossh, kill, ...) and every file-system sync goes through one replaceable
// runner, so tests record what would have run instead of changing the host.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace orvane::platform {

class CommandRunner {
public:
    virtual ~CommandRunner() = default;

    // Runs a line through /bin/sh -c. Returns -1 when it cannot run, else the exit status
    // (0..255; 128 + N when the child was killed by signal N).
    virtual int shell(const std::string& line) = 0;

    // fork/exec of argv[0] (searched in PATH) without a shell. The child starts with default
    // signal dispositions, an empty signal mask and no inherited descriptors but 0, 1 and 2.
    // Same result convention as shell(). An empty argv gives -1.
    virtual int exec(const std::vector<std::string>& argv) = 0;

    // As exec, with the child's standard output (at most maxBytes) returned in *out.
    virtual int capture(const std::vector<std::string>& argv, std::string* out,
                        size_t maxBytes = 1 << 20) = 0;

    // Flushes file-system buffers to storage (the effect of running "sync").
    virtual void syncFs() = 0;

    // How a program started like exec() ended, with a signal death told apart from an exit
    // status and a program that could not be started from one that exited with 127.
    struct ExecOutcome {
        enum class Kind { Failed, NotStarted, Exited, Signaled };
        Kind kind = Kind::Failed;  // Failed: fork/wait failed or empty argv; NotStarted: exec failed
        int code = -1;             // exit status (Exited) or signal number (Signaled)
    };
    // Default: derived from exec() (-1 -> NotStarted, else Exited with that status).
    virtual ExecOutcome execOutcome(const std::vector<std::string>& argv);

    // The process-wide runner (the real one unless a test installed another).
    static CommandRunner& get();
    // Test-only: install a runner (nullptr restores the real one). Not owned.
    static void setForTest(CommandRunner* runner);
};

class SystemCommandRunner final : public CommandRunner {
public:
    int shell(const std::string& line) override;
    int exec(const std::vector<std::string>& argv) override;
    int capture(const std::vector<std::string>& argv, std::string* out, size_t maxBytes = 1 << 20) override;
    void syncFs() override;
    ExecOutcome execOutcome(const std::vector<std::string>& argv) override;
};

// Test fake: records every call and answers from a script. Thread-safe.
class RecordingCommandRunner final : public CommandRunner {
public:
    struct Call {
        enum class Kind { Shell, Exec, Capture, Sync } kind;
        std::string line;               // shell line, or argv joined by single spaces
        std::vector<std::string> argv;  // empty for Shell and Sync
    };
    struct Result {
        int status = 0;
        std::string output;  // for capture()
    };
    // Decides the result of a call; default: status 0, no output.
    using Script = std::function<Result(const Call&)>;

    int shell(const std::string& line) override;
    int exec(const std::vector<std::string>& argv) override;
    int capture(const std::vector<std::string>& argv, std::string* out, size_t maxBytes = 1 << 20) override;
    void syncFs() override;

    void setScript(Script script);
    std::vector<Call> calls() const;
    std::vector<std::string> lines() const;  // line of every Shell/Exec/Capture call, in order
    int syncCount() const;
    void clear();

private:
    Result record(Call call);
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    Script script_;
    int syncs_ = 0;
};

}  // namespace orvane::platform
