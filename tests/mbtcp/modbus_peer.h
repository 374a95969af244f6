#pragma once
// A libmodbus TCP server standing in for a field controller: 65536 holding registers, any number
// of connections, stoppable and restartable on the same port. The listening socket is made in the
// network namespace of the constructing thread. Records every request (function, address, count).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

namespace orvane::test {

class ModbusPeer {
public:
    struct Request {
        int function;
        int address;
        int count;
    };

    explicit ModbusPeer(int port = 0) : port_(port) {
        map_ = modbus_mapping_new(0, 0, 65536, 0);
        if (!map_ || !listen()) throw std::runtime_error("modbus peer: cannot listen");
        thread_ = std::thread([this] { run(); });
    }
    ~ModbusPeer() {
        quit_ = true;
        thread_.join();
        closeAll();
        modbus_mapping_free(map_);
    }

    int port() const { return port_; }
    void set(int address, uint16_t v) {
        std::lock_guard lk(mutex_);
        map_->tab_registers[address] = v;
    }
    void setFloatABCD(int address, float f) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        set(address, static_cast<uint16_t>(u >> 16));
        set(address + 1, static_cast<uint16_t>(u));
    }
    uint16_t get(int address) const {
        std::lock_guard lk(mutex_);
        return map_->tab_registers[address];
    }
    std::vector<Request> requests() const {
        std::lock_guard lk(mutex_);
        return requests_;
    }
    int count(int function, int address) const {
        int n = 0;
        for (auto& r : requests()) n += r.function == function && r.address == address;
        return n;
    }
    void clearRequests() {
        std::lock_guard lk(mutex_);
        requests_.clear();
    }
    int accepted() const { return accepted_.load(); }

    // Closes the listener and every connection (the port refuses) / listens again on it.
    void stop() { request(false); }
    void restart() { request(true); }

private:
    void request(bool up) {
        want_ = up;
        for (int i = 0; i < 500 && up != (listenFd_.load() >= 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    bool listen() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
            ::close(fd);
            return false;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listenFd_ = fd;
        return true;
    }

    static void drop(modbus_t* c) {
        ::close(modbus_get_socket(c));
        modbus_free(c);
    }
    void closeAll() {
        for (auto* c : conns_) drop(c);
        conns_.clear();
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
    }

    void run() {
        std::vector<uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
        while (!quit_) {
            if (!want_ && listenFd_ >= 0) closeAll();
            if (want_ && listenFd_ < 0 && !listen()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::vector<pollfd> fds;
            if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
            for (auto* c : conns_) fds.push_back({modbus_get_socket(c), POLLIN, 0});
            if (fds.empty() || ::poll(fds.data(), fds.size(), 20) <= 0) {
                if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            size_t k = 0;
            if (listenFd_ >= 0) {
                if (fds[0].revents & POLLIN) {
                    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        modbus_t* c = modbus_new_tcp("127.0.0.1", port_);
                        modbus_set_socket(c, fd);
                        conns_.push_back(c);
                        ++accepted_;
                    }
                }
                k = 1;
            }
            std::vector<modbus_t*> dead;
            for (size_t i = 0; k < fds.size(); ++k, ++i) {
                if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                modbus_t* c = conns_[i];
                int rc = modbus_receive(c, query.data());
                if (rc < 0) dead.push_back(c);
                if (rc <= 0) continue;
                std::lock_guard lk(mutex_);
                requests_.push_back({query[7], (query[8] << 8) | query[9], (query[10] << 8) | query[11]});
                modbus_reply(c, query.data(), rc, map_);
            }
            for (auto* c : dead) {
                drop(c);
                std::erase(conns_, c);
            }
        }
    }

    int port_;
    modbus_mapping_t* map_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<modbus_t*> conns_;
    std::atomic<int> listenFd_{-1};
    std::atomic<bool> want_{true};
    std::atomic<bool> quit_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace orvane::test
