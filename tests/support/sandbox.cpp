#include "support/sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace orvane::test {
namespace {

const char* kScript =
    "set -e\n"
    "echo $$ > \"$3\"\n"
    "mount --make-rprivate /\n"
    "mount -t tmpfs tmpfs /opt\n"
    "mkdir -p /opt/kelvaworks\n"
    "mount --bind \"$1\" /opt/kelvaworks\n"
    "mount --bind \"$2\" /tmp\n"
    "ip link set lo up\n"
    "shift 3\n"
    "exec \"$@\"\n";

bool haveCommand(const char* name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

SandboxProcess::SandboxProcess() = default;

SandboxProcess::~SandboxProcess() {
    if (pid_ > 0 && !reaped_) {
        if (programPid_ > 0) ::kill(programPid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int st;
        ::waitpid(pid_, &st, 0);
    }
}

bool SandboxProcess::available() {
    static const bool ok = [] {
        if (::geteuid() != 0) return false;
        if (!haveCommand("unshare") || !haveCommand("ip")) return false;
        return std::system("unshare --mount --net --fork -- sh -c 'mount --make-rprivate / && "
                           "mount -t tmpfs tmpfs /opt && ip link set lo up' >/dev/null 2>&1") == 0;
    }();
    return ok;
}

bool SandboxProcess::start(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::string pidFile = out_.file("pid");
    std::vector<std::string> all = {"unshare", "--mount", "--net", "--fork", "--", "sh", "-c", kScript, "sandbox",
                                    install_.path(), tmp_.path(), pidFile};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : all) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::string outPath = out_.file("stdout"), errPath = out_.file("stderr");
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execvp("unshare", args.data());
        ::_exit(127);
    }
    return true;
}

pid_t SandboxProcess::programPid(std::chrono::milliseconds wait) {
    if (programPid_ > 0) return programPid_;
    std::string pidFile = out_.file("pid");
    waitUntil([&] {
        std::ifstream in(pidFile);
        pid_t p = -1;
        if (in >> p && p > 0) {
            programPid_ = p;
            return true;
        }
        return false;
    }, wait);
    return programPid_;
}

bool SandboxProcess::signal(int sig) {
    pid_t p = programPid();
    return p > 0 && ::kill(p, sig) == 0;
}

bool SandboxProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
        return false;
    }
    return true;
}

int SandboxProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    if (!waitUntil([&] { return !running(); }, timeout)) return -1;
    return status_;
}

std::string SandboxProcess::stdoutText() const { return readFile(out_.file("stdout")); }
std::string SandboxProcess::stderrText() const { return readFile(out_.file("stderr")); }

}  // namespace orvane::test
