#pragma once
// A libmodbus TCP field controller on loopback recording every request; a new one on the same port is a restart.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <modbus/modbus.h>

namespace orvane::test {

class ModbusPeer {
public:
    struct Request { int function, address, count; };

    explicit ModbusPeer(int port = 0) : map_(modbus_mapping_new(0, 0, 65536, 0)) {
        int one = 1;
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (!map_ || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(listenFd_);
            modbus_mapping_free(map_);
            throw std::runtime_error("modbus peer: cannot listen");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ModbusPeer() {
        quit_ = true;
        thread_.join();
        ::close(listenFd_);
        modbus_mapping_free(map_);
    }

    int port() const { return port_; }
    void set(int address, uint16_t v) {
        std::lock_guard lk(mutex_);
        map_->tab_registers[address] = v;
    }
    void setFloatABCD(int address, float f) {
        const uint32_t u = std::bit_cast<uint32_t>(f);
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

private:
    // One connection at a time (the client holds one per controller), served until it closes.
    void run() {
        std::vector<uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
        for (pollfd p{listenFd_, POLLIN, 0}; !quit_;) {
            if (::poll(&p, 1, 20) <= 0) continue;
            modbus_t* c = modbus_new_tcp("127.0.0.1", port_);
            modbus_set_socket(c, ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
            ++accepted_;
            for (pollfd q{modbus_get_socket(c), POLLIN, 0}; !quit_;) {
                if (::poll(&q, 1, 20) <= 0) continue;
                const int rc = modbus_receive(c, query.data());
                if (rc < 0) break;
                std::lock_guard lk(mutex_);
                requests_.push_back({query[7], (query[8] << 8) | query[9], (query[10] << 8) | query[11]});
                modbus_reply(c, query.data(), rc, map_);
            }
            ::close(modbus_get_socket(c));
            modbus_free(c);
        }
    }

    modbus_mapping_t* map_;
    int listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::atomic<bool> quit_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace orvane::test
