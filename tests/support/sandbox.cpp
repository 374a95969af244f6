#include "support/sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace orvane::test {
namespace {

namespace fs = std::filesystem;

// Runs as the first process of the new PID namespace, in the new mount and network namespaces.
// $1 the sandbox's own folder, $2 the install folder, $3 the folder shown as /tmp, $4 "overlay"
// or "copy" (the /etc wanted), then the program. ORVANE_SANDBOX_KEEP: host paths to keep
// reachable, one a line.
const char* kScript = R"SH(set -e
box=$1; install=$2; tmpnew=$3; etc=$4; shift 4
exec 3>"$box/nspid"
mount --make-rprivate /
mount -t proc proc /proc
# Shows folder $2 at $1, with the kept paths below $1 bound back at their own places.
hide() {
  printf '%s\n' "$ORVANE_SANDBOX_KEEP" | while IFS= read -r p; do
    case "$p" in
      "$1"/*)
        t="$2/${p#"$1"/}"
        if [ -d "$p" ]; then mkdir -p "$t"; else mkdir -p "$(dirname "$t")"; : >>"$t"; fi
        mount --rbind "$p" "$t";;
    esac
  done
  mount --rbind "$2" "$1"
}
mount --bind "$install" "$box/opt/kelvaworks"
hide /opt "$box/opt"
if [ "$etc" = overlay ] &&
   mount -t overlay overlay -o "lowerdir=/etc,upperdir=$box/etc-upper,workdir=$box/etc-work" /etc 2>/dev/null; then
  echo "sandbox: /etc is an overlay over the host's /etc" >"$box/setup.log"
else
  # Where no overlay can be mounted (/etc lies two overlays deep already and the kernel stacks
  # no deeper, or the upper layer's file system cannot carry one): a copy of the host's /etc with
  # its links and modes, the files put in etc-upper on top, bound at /etc. Writes land in it.
  rm -rf "$box/etc-copy"
  cp -a /etc "$box/etc-copy"
  find "$box/etc-upper" -mindepth 1 -maxdepth 1 -exec cp -a {} "$box/etc-copy/" \;
  rm -rf "$box/etc-upper"
  mv "$box/etc-copy" "$box/etc-upper"
  mount --bind "$box/etc-upper" /etc
  echo "sandbox: /etc is a private copy of the host's /etc (no overlay)" >"$box/setup.log"
fi
hide /run "$box/run"
if [ -d /sys/class/gpio ]; then mount -t tmpfs -o size=1m,mode=755 tmpfs /sys/class/gpio; fi
hide /tmp "$tmpnew"
ip link set lo up
unset ORVANE_SANDBOX_KEEP
export PATH="/run/sandbox-bin:$PATH"
set +e
env --default-signal=INT,QUIT "$@" &
echo $! >&3
exec 3>&-
wait $!
)SH";

bool haveCommand(const char* name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// A "Key:\tvalue..." line of /proc/<pid>/status, split in words; empty when missing.
std::vector<long> statusField(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") != 0) continue;
        std::istringstream ss(line.substr(key.size() + 1));
        std::vector<long> out;
        long v;
        while (ss >> v) out.push_back(v);
        return out;
    }
    return {};
}

// Children of parent (host pids), found through /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        pid_t p = static_cast<pid_t>(std::stol(name));
        auto pp = statusField(p, "PPid");
        if (!pp.empty() && pp[0] == parent) out.push_back(p);
    }
    return out;
}

// True while pid is a child of parent (a pid that was reused is not).
bool isChildOf(pid_t pid, pid_t parent) {
    auto pp = statusField(pid, "PPid");
    return !pp.empty() && pp[0] == parent;
}

int statusOf(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1; }

// Forks argv with stdout and stderr into one pipe read into *output; returns the exit status.
int runCapture(const std::vector<std::string>& argv, std::string* output) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) text.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(fds[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
    if (output) *output = std::move(text);
    return statusOf(st);
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

SandboxProcess::SandboxProcess() {
    for (const char* d : {"opt/kelvaworks", "etc-upper", "etc-work", "run/sandbox-bin"}) fs::create_directories(box_.file(d));
#ifdef ORVANE_SANDBOX_BUILD_DIR
    keepReachable(ORVANE_SANDBOX_BUILD_DIR);
#endif
#ifdef ORVANE_SANDBOX_SOURCE_DIR
    keepReachable(ORVANE_SANDBOX_SOURCE_DIR);
#endif
    for (const char* var : {"ORVANE_BINARY_DIR", "ORVANE_SOURCE_DIR"})
        if (const char* v = std::getenv(var); v && *v) keepReachable(v);
}

SandboxProcess::~SandboxProcess() {
    if (pid_ > 0 && !reaped_) {
        // The end of the first process ends every other one in the sandbox, and unshare, which
        // waits for it, follows. Without it, unshare's end takes the first process along.
        pid_t init = initPid_;
        if (init <= 0) {
            auto kids = childrenOf(pid_);
            if (!kids.empty()) init = kids.front();
        }
        if (init > 0 && isChildOf(init, pid_)) ::kill(init, SIGKILL);
        else ::kill(pid_, SIGKILL);
        int st;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {}
    }
}

bool SandboxProcess::available() {
    static const bool ok = [] {
        if (::geteuid() != 0) return false;
        for (const char* c : {"unshare", "nsenter", "ip", "env"})
            if (!haveCommand(c)) return false;
        // No overlay needed: where none can be mounted, /etc is a copy.
        const std::string cmd = "unshare --mount --net --pid --fork -- sh -c 'mount --make-rprivate / && "
                                "mount -t proc proc /proc && mount -t tmpfs tmpfs /opt && mount -t tmpfs tmpfs /run && "
                                "ip link set lo up' >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }();
    return ok;
}

void SandboxProcess::addStub(const std::string& name, const std::string& script) {
    const std::string path = binDir() + "/" + name;
    writeFile(path, script);
    ::chmod(path.c_str(), 0755);
}

void SandboxProcess::keepReachable(const std::string& hostPath) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(hostPath, ec);
    if (ec || p.empty()) return;
    keep_.push_back(p.string());
}

bool SandboxProcess::start(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    if (pid_ > 0 && running()) return false;
    pid_ = initPid_ = programPid_ = -1;
    status_ = -1;
    reaped_ = false;

    // Kept paths: the program's folder (or the program itself where its folder is one of the
    // replaced ones) and the others, without those already below a kept one.
    std::vector<std::string> keep = keep_;
    if (!argv[0].empty() && argv[0][0] == '/') {
        fs::path prog = fs::weakly_canonical(argv[0]);
        fs::path dir = prog.parent_path();
        keep.push_back((dir == "/tmp" || dir == "/opt" || dir == "/run" || dir == "/etc") ? prog.string() : dir.string());
    }
    std::sort(keep.begin(), keep.end());
    std::string keepList;
    std::string last;
    for (const auto& k : keep) {
        if (!last.empty() && (k == last || k.rfind(last + "/", 0) == 0)) continue;
        keepList += k + "\n";
        last = k;
    }

    const std::string nspid = box_.file("nspid");
    std::error_code ec;
    fs::remove(nspid, ec);
    fs::remove(box_.file("setup.log"), ec);
    std::vector<std::string> all = {"unshare", "--mount", "--net", "--pid", "--kill-child", "--", "sh", "-c", kScript,
                                    "sandbox", box_.path(), install_.path(), tmp_.path(), etcCopy_ ? "copy" : "overlay"};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : all) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("ORVANE_SANDBOX_KEEP=", 0) != 0) envText.emplace_back(*e);
    envText.push_back("ORVANE_SANDBOX_KEEP=" + keepList);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outPath = box_.file("stdout"), errPath = box_.file("stderr");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        // A test that dies takes its sandbox with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::execvpe("unshare", args.data(), envp.data());
        ::_exit(127);
    }
    return true;
}

pid_t SandboxProcess::initPid(std::chrono::milliseconds wait) {
    if (initPid_ > 0 || pid_ <= 0) return initPid_;
    // Start-up is over once the program's pid is written.
    const std::string nspid = box_.file("nspid");
    waitUntil([&] {
        if (readFile(nspid).empty()) return false;
        auto kids = childrenOf(pid_);
        if (kids.empty()) return false;
        initPid_ = kids.front();
        return true;
    }, wait);
    return initPid_;
}

pid_t SandboxProcess::programPid(std::chrono::milliseconds wait) {
    if (programPid_ > 0) return programPid_;
    auto end = std::chrono::steady_clock::now() + wait;
    pid_t init = initPid(wait);
    if (init <= 0) return -1;
    long inner = std::atol(readFile(box_.file("nspid")).c_str());
    waitUntil([&] {
        for (pid_t k : childrenOf(init)) {
            auto ns = statusField(k, "NSpid");
            if (!ns.empty() && ns.back() == inner) {
                programPid_ = k;
                return true;
            }
        }
        return false;
    }, std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())));
    return programPid_;
}

bool SandboxProcess::signal(int sig) {
    pid_t p = programPid();
    return p > 0 && isChildOf(p, initPid_) && ::kill(p, sig) == 0;
}

void SandboxProcess::reap(int st) {
    reaped_ = true;
    status_ = statusOf(st);
}

bool SandboxProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reap(st);
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

int SandboxProcess::runEntered(const std::vector<std::string>& nsArgs, const std::vector<std::string>& argv, std::string* output) {
    pid_t init = initPid();
    if (init <= 0 || argv.empty()) return -1;
    std::vector<std::string> all = {"nsenter", "--target", std::to_string(init)};
    all.insert(all.end(), nsArgs.begin(), nsArgs.end());
    all.push_back("--");
    all.insert(all.end(), argv.begin(), argv.end());
    return runCapture(all, output);
}

int SandboxProcess::runInNetwork(const std::vector<std::string>& argv, std::string* output) {
    return runEntered({"--net"}, argv, output);
}

int SandboxProcess::runInside(const std::vector<std::string>& argv, std::string* output) {
    return runEntered({"--mount", "--net", "--pid"}, argv, output);
}

std::string SandboxProcess::setupLog() const { return readFile(box_.file("setup.log")); }
std::string SandboxProcess::stdoutText() const { return readFile(box_.file("stdout")); }
std::string SandboxProcess::stderrText() const { return readFile(box_.file("stderr")); }

SandboxNetwork::SandboxNetwork(SandboxProcess& sandbox) {
    pid_t init = sandbox.initPid();
    if (init <= 0) return;
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/proc/" + std::to_string(init) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (home_ >= 0 && target >= 0) ok_ = ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
}

SandboxNetwork::~SandboxNetwork() {
    if (ok_) ::setns(home_, CLONE_NEWNET);
    if (home_ >= 0) ::close(home_);
}

}  // namespace orvane::test
