#include "support/netns_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/temp_dir.h"

namespace orvane::test {

NetnsProcess::NetnsProcess(pid_t pid, std::vector<std::string> argv, std::string out) : out_(std::move(out)) {
    argv.insert(argv.begin(), {"nsenter", "-t", std::to_string(pid), "-n"});
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int fd = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

NetnsProcess::~NetnsProcess() { stop(); }

void NetnsProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);  // before the child has made its group
    int st;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {}
    pid_ = -1;
}

std::string NetnsProcess::text() const { return readFile(out_); }

std::unique_ptr<NetnsProcess> startBrokerIn(pid_t pid, int port, const std::string& dir) {
    const std::string p = std::to_string(port);
    const std::string conf = dir + "/b" + p + ".conf";
    writeFile(conf, "user root\nlistener " + p + " 127.0.0.1\nallow_anonymous true\npersistence false\n");
    return std::make_unique<NetnsProcess>(pid, std::vector<std::string>{"mosquitto", "-c", conf}, dir + "/broker" + p + ".log");
}

std::unique_ptr<NetnsProcess> startSubscriberIn(pid_t pid, int port, const std::string& dir) {
    const std::string p = std::to_string(port);
    return std::make_unique<NetnsProcess>(
        pid, std::vector<std::string>{"mosquitto_sub", "-h", "127.0.0.1", "-p", p, "-t", "#", "-v", "-q", "1"},
        dir + "/sub" + p + ".txt");
}

bool portOpenIn(pid_t pid, int port) {
    const std::string cmd = "nsenter -t " + std::to_string(pid) + " -n bash -c 'echo > /dev/tcp/127.0.0.1/" +
                            std::to_string(port) + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace orvane::test
