#include "support/cip_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace orvane::test {

namespace {

constexpr size_t kDataCap = 480;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) { return u16(p) | (static_cast<uint32_t>(u16(p + 2)) << 16); }
void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}

// Waits for the serving thread to get there; it ends as soon as it has.
template <typename Pred>
void waitFor(Pred p) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!p() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

CipResponder::CipResponder() {
    if (!listen()) throw std::runtime_error("cip responder: cannot listen");
    thread_ = std::thread([this] { run(); });
}

CipResponder::~CipResponder() {
    stop_ = true;
    thread_.join();
    for (auto& c : conns_) ::close(c.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool CipResponder::listen() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    listening_ = true;
    return true;
}

void CipResponder::addTag(const std::string& name, uint16_t typeCode, int elemSize, std::vector<uint8_t> data) {
    std::lock_guard lk(mutex_);
    tags_[name] = TagData{typeCode, elemSize, std::move(data)};
}

void CipResponder::setBehaviour(Behaviour b, std::chrono::milliseconds delay) {
    std::lock_guard lk(mutex_);
    behaviour_ = b;
    delay_ = delay;
}

void CipResponder::setRegisterDelay(std::chrono::milliseconds delay) {
    std::lock_guard lk(mutex_);
    registerDelay_ = delay;
}

void CipResponder::goAway() {
    away_ = true;
    waitFor([this] { return !listening_.load(); });
}

void CipResponder::comeBack() {
    away_ = false;
    waitFor([this] { return listening_.load(); });
}

std::vector<CipResponder::Request> CipResponder::requests() const {
    std::lock_guard lk(mutex_);
    return requests_;
}

void CipResponder::clearRequests() {
    std::lock_guard lk(mutex_);
    requests_.clear();
}

void CipResponder::run() {
    while (!stop_) {
        if (away_ && listening_) {
            for (auto& c : conns_) ::close(c.fd);
            conns_.clear();
            ::close(listenFd_);
            listenFd_ = -1;
            listening_ = false;
        }
        if (!away_ && !listening_ && !listen()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<pollfd> fds;
        if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
        for (auto& c : conns_) fds.push_back({c.fd, POLLIN, 0});
        if (fds.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
        size_t k = 0;
        if (listenFd_ >= 0) {
            if (fds[0].revents & POLLIN) {
                int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) conns_.push_back({fd, {}});
            }
            k = 1;
        }
        for (size_t i = 0; k < fds.size(); ++k, ++i) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Conn& c = conns_[i];
            uint8_t buf[4096];
            ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            bool keep = n > 0;
            if (keep) c.in.insert(c.in.end(), buf, buf + n);
            while (keep && c.in.size() >= 24 && c.in.size() >= 24u + u16(c.in.data() + 2)) {
                size_t whole = 24u + u16(c.in.data() + 2);
                std::vector<uint8_t> frame(c.in.begin(), c.in.begin() + static_cast<long>(whole));
                c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(whole));
                keep = handleFrame(c, frame);
            }
            if (!keep) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
    }
}

bool CipResponder::handleFrame(Conn& c, const std::vector<uint8_t>& frame) {
    Request r;
    r.command = u16(frame.data());
    r.frame = frame;
    auto record = [&](bool keep) {
        std::lock_guard lk(mutex_);
        requests_.push_back(r);
        return keep;
    };
    Behaviour behaviour;
    std::chrono::milliseconds delay;
    {
        std::lock_guard lk(mutex_);
        behaviour = behaviour_;
        delay = r.command == 0x65 ? registerDelay_ : delay_;
    }
    std::vector<uint8_t> data;
    uint32_t session = u32(frame.data() + 4);
    if (r.command == 0x65) {
        session = 0x1000u + static_cast<uint32_t>(++sessions_);
        put32(data, 1);
    } else if (r.command != 0x6F || frame.size() < 24 + 16 || behaviour == Behaviour::Drop) {
        return record(false);
    } else {
        // Items: interface handle, timeout, count, then (type, length, data) each.
        const uint8_t* p = frame.data() + 24;
        size_t n = frame.size() - 24, pos = 8;
        std::vector<uint8_t> cip;
        for (uint16_t i = 0, count = u16(p + 6); i < count && pos + 4 <= n; ++i) {
            uint16_t type = u16(p + pos), len = u16(p + pos + 2);
            if (type == 0x00B2 && pos + 4 + len <= n) cip.assign(p + pos + 4, p + pos + 4 + len);
            pos += 4u + len;
        }
        std::vector<uint8_t> reply = answerRead(r, cip.data(), cip.size());
        for (uint16_t v : std::initializer_list<uint16_t>{0, 0, 0, 2, 0, 0, 0xB2}) put16(data, v);
        put16(data, static_cast<uint16_t>(reply.size()));
        data.insert(data.end(), reply.begin(), reply.end());
        if (behaviour == Behaviour::Silent) return record(true);
        if (behaviour != Behaviour::Slow) delay = std::chrono::milliseconds(0);
    }
    std::this_thread::sleep_for(delay);
    std::vector<uint8_t> out;
    put16(out, r.command);
    put16(out, static_cast<uint16_t>(data.size()));
    put32(out, session);
    put32(out, 0);
    out.insert(out.end(), frame.begin() + 12, frame.begin() + 24);  // context and options
    out.insert(out.end(), data.begin(), data.end());
    r.reply = out;
    record(true);
    return ::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
}

// The CIP reply to a (possibly routed) read; fills the request's record.
std::vector<uint8_t> CipResponder::answerRead(Request& r, const uint8_t* cip, size_t n) {
    auto refuse = [](uint8_t service, uint8_t status) { return std::vector<uint8_t>{uint8_t(service | 0x80), 0, status, 0}; };
    if (n < 2) return refuse(0, 0x08);
    // Unconnected Send: 0x52, path 20 06 24 01, tick, ticks, size, request, pad, route.
    if (cip[0] == 0x52 && n >= 6 && cip[1] == 2 && cip[2] == 0x20 && cip[3] == 0x06 && cip[4] == 0x24 && cip[5] == 0x01) {
        if (n < 10) return refuse(0x52, 0x13);
        size_t size = u16(cip + 8);
        size_t pos = 10 + size + (size % 2);
        if (pos + 2 > n) return refuse(0x52, 0x13);
        size_t routeBytes = static_cast<size_t>(cip[pos]) * 2;
        if (pos + 2 + routeBytes > n) return refuse(0x52, 0x13);
        r.routed = true;
        cip += 10;
        n = size;
    }
    r.service = cip[0];
    if (r.service != 0x4C && r.service != 0x52) return refuse(r.service, 0x08);
    size_t pathBytes = static_cast<size_t>(cip[1]) * 2;
    if (2 + pathBytes + 2 > n) return refuse(r.service, 0x13);
    const uint8_t* p = cip + 2;
    std::string name;
    size_t index = 0;
    for (size_t i = 0; i < pathBytes;) {
        if (p[i] == 0x91 && i + 2 <= pathBytes) {
            size_t len = p[i + 1];
            if (!name.empty()) name += '.';
            name.append(reinterpret_cast<const char*>(p + i + 2), len);
            i += 2 + len + (len % 2);
        } else if (p[i] == 0x28) {
            index = p[i + 1];
            r.tag = name + "[" + std::to_string(index) + "]";
            i += 2;
        } else {
            return refuse(r.service, 0x04);
        }
    }
    if (r.tag.empty()) r.tag = name;
    r.count = u16(cip + 2 + pathBytes);
    if (r.service == 0x52) {
        if (2 + pathBytes + 6 > n) return refuse(r.service, 0x13);
        r.offset = u32(cip + 2 + pathBytes + 2);
    }
    std::lock_guard lk(mutex_);
    auto it = tags_.find(name);
    if (it == tags_.end()) return refuse(r.service, 0x04);
    const TagData& t = it->second;
    size_t start = index * static_cast<size_t>(t.elemSize);
    size_t total = static_cast<size_t>(r.count) * static_cast<size_t>(t.elemSize);
    if (start + total > t.bytes.size()) return refuse(r.service, 0x05);
    size_t from = r.offset < 0 ? 0 : static_cast<size_t>(r.offset);
    if (from > total) return refuse(r.service, 0x05);
    size_t cap = kDataCap - kDataCap % static_cast<size_t>(t.elemSize);
    size_t take = std::min(cap, total - from);
    std::vector<uint8_t> out{uint8_t(r.service | 0x80), 0, uint8_t(from + take < total ? 0x06 : 0x00), 0};
    put16(out, t.type);
    out.insert(out.end(), t.bytes.begin() + static_cast<long>(start + from),
               t.bytes.begin() + static_cast<long>(start + from + take));
    return out;
}

}  // namespace orvane::test
