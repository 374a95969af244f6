#pragma once
// A small HTTP/1.1 server on 127.0.0.1 (ephemeral port) for download tests: serves replies by
// the last path component, one connection at a time. A stalled reply sends its headers and part
// of the body, then nothing more until the client gives up or the server stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane::test {

class HttpStub {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool stall = false;
    };

    HttpStub() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~HttpStub() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    HttpStub(const HttpStub&) = delete;
    HttpStub& operator=(const HttpStub&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/fw"; }
    void set(const std::string& name, Reply reply) {
        std::lock_guard lock(mutex_);
        replies_[name] = std::move(reply);
    }
    // Called on the server thread with each request's path, before the reply goes out.
    void onRequest(std::function<void(const std::string&)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 100) > 0;
    }
    void send(int fd, const std::string& s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }

    void serve() {
        while (!stop_) {
            if (!readable(fd_)) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            handle(c);
            ::close(c);
        }
    }

    void handle(int c) {
        std::string head;
        char buf[1024];
        while (!stop_ && head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
            if (!readable(c)) continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            head.append(buf, static_cast<size_t>(n));
        }
        const size_t sp = head.find(' ');
        const std::string path = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
        const std::string name = path.substr(path.rfind('/') + 1);
        Reply reply{404, "<html><body>404 Not Found</body></html>\n", false};
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(path);
            if (auto it = replies_.find(name); it != replies_.end()) reply = it->second;
            hook = hook_;
        }
        if (hook) hook(path);
        const size_t length = reply.body.size() + (reply.stall ? 100000 : 0);
        send(c, "HTTP/1.1 " + std::to_string(reply.status) + " Stub\r\nContent-Length: " + std::to_string(length) +
                    "\r\nConnection: close\r\n\r\n" + reply.body);
        if (!reply.stall) return;
        while (!stop_) {  // until the client hangs up
            if (readable(c) && ::recv(c, buf, sizeof buf, 0) <= 0) return;
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<std::string> requests_;
    std::function<void(const std::string&)> hook_;
};

}  // namespace orvane::test
