#include "platform/command_runner.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace orvane::platform {
namespace {

std::atomic<CommandRunner*> g_override{nullptr};

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Decoded status (see decodeStatus); -1 when the wait failed. *raw (when given) receives the
// wait status, or stays -1 when the wait failed.
int waitChild(pid_t pid, int* raw = nullptr) {
    int status = 0;
    if (raw) *raw = -1;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (raw) *raw = status;
    return decodeStatus(status);
}

int spawn(const std::vector<std::string>& argv, std::string* out, size_t maxBytes,
          CommandRunner::ExecOutcome* outcome = nullptr) {
    if (argv.empty() || argv[0].empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (out && ::pipe2(fds, O_CLOEXEC) != 0) return -1;
    // A pipe that reports exec failure: closed by exec on success.
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        if (out) { ::close(fds[0]); ::close(fds[1]); }
        return -1;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        if (out) { ::close(fds[0]); ::close(fds[1]); }
        ::close(errPipe[0]);
        ::close(errPipe[1]);
        return -1;
    }
    if (pid == 0) {
        if (out) ::dup2(fds[1], 1);
        int errFd = ::dup(errPipe[1]);
        // Keep errFd alive across the descriptor sweep by moving it to 3 before closing the rest.
        if (errFd != 3) { ::dup2(errFd, 3); }
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sig == SIGKILL || sig == SIGSTOP) continue;
            ::signal(sig, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        long maxFd = ::sysconf(_SC_OPEN_MAX);
        if (maxFd < 0 || maxFd > 65536) maxFd = 65536;
        for (int fd = 4; fd < maxFd; ++fd) ::close(fd);
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
        ::execvp(args[0], args.data());
        int e = errno;
        (void)!::write(3, &e, sizeof e);
        ::_exit(127);
    }
    ::close(errPipe[1]);
    if (out) ::close(fds[1]);
    if (out) {
        out->clear();
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            size_t room = maxBytes > out->size() ? maxBytes - out->size() : 0;
            out->append(buf, std::min(room, static_cast<size_t>(n)));
        }
        ::close(fds[0]);
    }
    int execErr = 0;
    ssize_t n;
    do { n = ::read(errPipe[0], &execErr, sizeof execErr); } while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    int raw = -1;
    int status = waitChild(pid, &raw);
    if (outcome) {
        using Kind = CommandRunner::ExecOutcome::Kind;
        if (n == static_cast<ssize_t>(sizeof execErr)) *outcome = {Kind::NotStarted, 127};
        else if (raw == -1) *outcome = {Kind::Failed, -1};
        else if (WIFEXITED(raw)) *outcome = {Kind::Exited, WEXITSTATUS(raw)};
        else if (WIFSIGNALED(raw)) *outcome = {Kind::Signaled, WTERMSIG(raw)};
        else *outcome = {Kind::Failed, -1};
    }
    if (n == static_cast<ssize_t>(sizeof execErr)) return -1;  // could not run at all
    return status;
}

}  // namespace

CommandRunner& CommandRunner::get() {
    CommandRunner* r = g_override.load(std::memory_order_acquire);
    if (r) return *r;
    static SystemCommandRunner real;
    return real;
}

void CommandRunner::setForTest(CommandRunner* runner) { g_override.store(runner, std::memory_order_release); }

int SystemCommandRunner::shell(const std::string& line) { return spawn({"/bin/sh", "-c", line}, nullptr, 0); }

int SystemCommandRunner::exec(const std::vector<std::string>& argv) { return spawn(argv, nullptr, 0); }

int SystemCommandRunner::capture(const std::vector<std::string>& argv, std::string* out, size_t maxBytes) {
    std::string local;
    return spawn(argv, out ? out : &local, maxBytes);
}

void SystemCommandRunner::syncFs() { ::sync(); }

CommandRunner::ExecOutcome SystemCommandRunner::execOutcome(const std::vector<std::string>& argv) {
    ExecOutcome outcome;
    spawn(argv, nullptr, 0, &outcome);
    return outcome;
}

CommandRunner::ExecOutcome CommandRunner::execOutcome(const std::vector<std::string>& argv) {
    if (argv.empty()) return {};
    int status = exec(argv);
    if (status < 0) return {ExecOutcome::Kind::NotStarted, 127};
    return {ExecOutcome::Kind::Exited, status};
}

RecordingCommandRunner::Result RecordingCommandRunner::record(Call call) {
    Script script;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        script = script_;
    }
    return script ? script(call) : Result{};
}

static std::string joinArgs(const std::vector<std::string>& argv) {
    std::string s;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i) s.push_back(' ');
        s += argv[i];
    }
    return s;
}

int RecordingCommandRunner::shell(const std::string& line) {
    return record({Call::Kind::Shell, line, {}}).status;
}

int RecordingCommandRunner::exec(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    return record({Call::Kind::Exec, joinArgs(argv), argv}).status;
}

int RecordingCommandRunner::capture(const std::vector<std::string>& argv, std::string* out, size_t maxBytes) {
    if (argv.empty()) return -1;
    Result r = record({Call::Kind::Capture, joinArgs(argv), argv});
    if (out) *out = r.output.substr(0, maxBytes);
    return r.status;
}

void RecordingCommandRunner::syncFs() {
    std::lock_guard lock(mutex_);
    ++syncs_;
    calls_.push_back({Call::Kind::Sync, "sync", {}});
}

void RecordingCommandRunner::setScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

std::vector<RecordingCommandRunner::Call> RecordingCommandRunner::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingCommandRunner::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (auto& c : calls_)
        if (c.kind != Call::Kind::Sync) out.push_back(c.line);
    return out;
}

int RecordingCommandRunner::syncCount() const {
    std::lock_guard lock(mutex_);
    return syncs_;
}

void RecordingCommandRunner::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    syncs_ = 0;
}

}  // namespace orvane::platform
