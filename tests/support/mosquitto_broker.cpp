#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace orvane::test {

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

namespace {

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool MosquittoBroker::available() { return std::system("command -v mosquitto >/dev/null 2>&1") == 0; }

MosquittoBroker::MosquittoBroker(const std::string& user, const std::string& password) {
    port_ = freeLoopbackPort();
    std::string conf = "listener " + std::to_string(port_) + " 127.0.0.1\n";
    conf += "user root\npersistence false\nlog_dest file " + dir_.file("broker.log") + "\nlog_type all\n";
    if (user.empty()) {
        conf += "allow_anonymous true\n";
    } else {
        const std::string pw = dir_.file("passwd");
        const std::string cmd = "mosquitto_passwd -b -c '" + pw + "' '" + user + "' '" + password + "' >/dev/null 2>&1";
        (void)std::system(cmd.c_str());
        conf += "allow_anonymous false\npassword_file " + pw + "\n";
    }
    writeFile(dir_.file("mosquitto.conf"), conf);
}

MosquittoBroker::~MosquittoBroker() { stop(); }

bool MosquittoBroker::start() {
    if (pid_ > 0) return true;
    const std::string conf = dir_.file("mosquitto.conf");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid_ < 0) return false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (accepts(port_)) return true;
        int st;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void MosquittoBroker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int st;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
}

std::string MosquittoBroker::logText() const { return readFile(dir_.file("broker.log")); }

}  // namespace orvane::test
