#include "eip/eip.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "eip/cip_codec.h"
#include "utils/log.h"

namespace eip {

namespace {

using Clock = std::chrono::steady_clock;
using codec::Bytes;
using namespace std::chrono_literals;

constexpr size_t kMaxTagBytes = 65536;
constexpr auto kSlice = 100ms;  // longest wait before a worker looks at its stop flag

struct Attributes {
    std::string host;
    uint16_t port = codec::kDefaultPort;
    std::string pathText;
    Bytes route;
    Bytes tagPath;
    int elemSize = 0;
    int elemCount = 1;
    std::string name;
};

bool parseInt(std::string_view s, int& v) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

bool parseAttributes(std::string_view text, Attributes& a) {
    bool protocol = false;
    bool haveSize = false;
    if (text.size() > 1024) return false;
    while (!text.empty()) {
        size_t amp = text.find('&');
        std::string_view pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos) {
            if (pair.empty()) continue;
            return false;
        }
        std::string_view key = pair.substr(0, eq);
        std::string_view value = pair.substr(eq + 1);
        if (key == "protocol") {
            protocol = value == "ab_eip" || value == "ab-eip";
            if (!protocol) return false;
        } else if (key == "gateway") {
            size_t colon = value.rfind(':');
            std::string_view host = value.substr(0, colon);
            if (colon != std::string_view::npos) {
                int port = 0;
                if (!parseInt(value.substr(colon + 1), port) || port < 1 || port > 65535) return false;
                a.port = static_cast<uint16_t>(port);
            }
            if (host.empty() || host.size() > 253) return false;
            for (char c : host)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
            a.host = std::string(host);
        } else if (key == "path") {
            if (!value.empty() && !codec::encodeRoutePath(value, a.route)) return false;
            a.pathText = std::string(value);
        } else if (key == "elem_size") {
            if (!parseInt(value, a.elemSize) || a.elemSize < 1 || a.elemSize > 8) return false;
            haveSize = true;
        } else if (key == "elem_count") {
            if (!parseInt(value, a.elemCount) || a.elemCount < 1 || a.elemCount > 4096) return false;
        } else if (key == "name") {
            if (!codec::encodeTagPath(value, a.tagPath)) return false;
            a.name = std::string(value);
        }
        // cpu and keys of other client options do not change the framing.
    }
    return protocol && haveSize && !a.host.empty() && !a.name.empty();
}

struct Session {
    std::string key;
    std::string host;
    uint16_t port = 0;
    Bytes route;
    enum class State { Connecting, Up, Down } state = State::Connecting;
    std::deque<int32_t> queue;
    std::condition_variable cv;
    std::atomic<bool> stop{false};
    int tags = 0;
    bool attempted = false;
    Clock::time_point lastAttempt;
    std::thread worker;
    // Used by the worker only.
    int fd = -1;
    uint32_t handle = 0;
    uint64_t context = 0;
};

struct Tag {
    std::shared_ptr<Session> session;
    Bytes path;
    int elemSize = 0;
    int elemCount = 1;
    std::string name;
    int status = STATUS_PENDING;
    bool busy = false;
    Bytes data;
};

// Outcome of one exchange: a status and whether the session is still usable.
struct Outcome {
    int status = STATUS_OK;
    bool sessionLost = false;
};

class Driver {
public:
    int32_t create(const char* text, int timeoutMs) {
        Attributes a;
        if (!text || !parseAttributes(text, a)) return ERR_BAD_PARAM;
        std::unique_lock lk(mutex_);
        const std::string key = a.host + ":" + std::to_string(a.port) + "|" + a.pathText;
        auto& s = sessions_[key];
        if (!s) {
            s = std::make_shared<Session>();
            s->key = key;
            s->host = a.host;
            s->port = a.port;
            s->route = a.route;
            s->worker = std::thread([this, session = s] { work(*session); });
        }
        const int32_t h = nextHandle_++;
        if (nextHandle_ <= 0) nextHandle_ = 1;
        Tag& t = tags_[h];
        t.session = s;
        t.path = a.tagPath;
        t.elemSize = a.elemSize;
        t.elemCount = a.elemCount;
        t.name = a.name;
        t.status = s->state == Session::State::Up ? STATUS_OK
                   : s->state == Session::State::Down ? ERR_NO_CONNECTION
                                                       : STATUS_PENDING;
        ++s->tags;
        if (timeoutMs > 0) waitWhilePending(lk, h, timeoutMs);
        return h;
    }

    int status(int32_t h) {
        std::lock_guard lk(mutex_);
        auto it = tags_.find(h);
        return it == tags_.end() ? ERR_NOT_FOUND : it->second.status;
    }

    int read(int32_t h, int timeoutMs) {
        std::unique_lock lk(mutex_);
        auto it = tags_.find(h);
        if (it == tags_.end()) return ERR_NOT_FOUND;
        Tag& t = it->second;
        if (t.busy) return ERR_BUSY;
        Session& s = *t.session;
        if (s.state == Session::State::Down) {
            t.status = ERR_NO_CONNECTION;
            return t.status;
        }
        t.busy = true;
        t.status = STATUS_PENDING;
        s.queue.push_back(h);
        s.cv.notify_all();
        if (timeoutMs > 0) return waitWhilePending(lk, h, timeoutMs);
        return STATUS_PENDING;
    }

    int destroy(int32_t h) {
        std::unique_lock lk(mutex_);
        auto it = tags_.find(h);
        if (it == tags_.end()) return ERR_NOT_FOUND;
        std::shared_ptr<Session> s = it->second.session;
        tags_.erase(it);
        if (--s->tags > 0) return STATUS_OK;
        sessions_.erase(s->key);
        s->stop = true;
        s->cv.notify_all();
        lk.unlock();
        if (s->worker.joinable()) s->worker.join();
        return STATUS_OK;
    }

    int size(int32_t h) {
        std::lock_guard lk(mutex_);
        auto it = tags_.find(h);
        return it == tags_.end() ? 0 : static_cast<int>(it->second.data.size());
    }

    bool copyOut(int32_t h, int offset, void* dst, size_t n) {
        std::lock_guard lk(mutex_);
        auto it = tags_.find(h);
        if (it == tags_.end() || offset < 0) return false;
        const Bytes& d = it->second.data;
        if (static_cast<size_t>(offset) + n > d.size()) return false;
        std::memcpy(dst, d.data() + offset, n);
        return true;
    }

    void setTiming(const Timing& t) {
        std::lock_guard lk(mutex_);
        timing_ = t;
    }
    Timing timing() {
        std::lock_guard lk(mutex_);
        return timing_;
    }

private:
    int waitWhilePending(std::unique_lock<std::mutex>& lk, int32_t h, int timeoutMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        done_.wait_until(lk, deadline, [&] {
            auto it = tags_.find(h);
            return it == tags_.end() || it->second.status != STATUS_PENDING;
        });
        auto it = tags_.find(h);
        return it == tags_.end() ? ERR_NOT_FOUND : it->second.status;
    }

    // Caller holds the mutex. Ends every wait of the session's tags with status.
    void failSession(Session& s, int queuedStatus) {
        s.state = Session::State::Down;
        s.queue.clear();
        for (auto& [h, t] : tags_) {
            if (t.session.get() != &s) continue;
            if (t.busy || t.status == STATUS_PENDING) {
                t.busy = false;
                t.status = queuedStatus;
            }
        }
        done_.notify_all();
    }

    void work(Session& s) {
        std::unique_lock lk(mutex_);
        while (!s.stop) {
            if (s.state != Session::State::Up) {
                auto next = s.lastAttempt + timing_.reconnect;
                if (s.attempted && Clock::now() < next) {
                    s.cv.wait_until(lk, std::min(next, Clock::now() + kSlice));
                    continue;
                }
                s.attempted = true;
                s.lastAttempt = Clock::now();
                s.state = Session::State::Connecting;
                const auto replyTimeout = timing_.reply;
                lk.unlock();
                int rc = connectSession(s, replyTimeout);
                lk.lock();
                if (rc != STATUS_OK) {
                    SLOG_WARN(EIP, "EIP session to {}:{} failed: {}", s.host, s.port, decode_error(rc));
                    failSession(s, rc == ERR_BAD_GATEWAY ? rc : ERR_NO_CONNECTION);
                    continue;
                }
                SLOG_INFO(EIP, "EIP session to {}:{} registered, handle {}", s.host, s.port, s.handle);
                s.state = Session::State::Up;
                for (auto& [h, t] : tags_)
                    if (t.session.get() == &s && !t.busy && t.status == STATUS_PENDING) t.status = STATUS_OK;
                done_.notify_all();
                continue;
            }
            if (s.queue.empty()) {
                s.cv.wait_for(lk, kSlice);
                continue;
            }
            const int32_t h = s.queue.front();
            s.queue.pop_front();
            auto it = tags_.find(h);
            if (it == tags_.end()) continue;
            const Bytes path = it->second.path;
            const size_t need = static_cast<size_t>(it->second.elemSize) * static_cast<size_t>(it->second.elemCount);
            const uint16_t count = static_cast<uint16_t>(it->second.elemCount);
            const auto replyTimeout = timing_.reply;
            lk.unlock();
            Bytes data;
            Outcome o = readTag(s, path, count, need, replyTimeout, data);
            lk.lock();
            it = tags_.find(h);
            if (it != tags_.end()) {
                it->second.busy = false;
                it->second.status = o.status;
                if (o.status == STATUS_OK) it->second.data = std::move(data);
            }
            if (o.sessionLost) {
                SLOG_WARN(EIP, "EIP session to {}:{} lost: {}", s.host, s.port, decode_error(o.status));
                closeSocket(s);
                failSession(s, ERR_NO_CONNECTION);
                s.lastAttempt = Clock::now();  // the next attempt waits a whole reconnect interval
            }
            done_.notify_all();
        }
        lk.unlock();
        closeSocket(s);
    }

    static void closeSocket(Session& s) {
        if (s.fd < 0) return;
        Bytes bye = codec::encapsulate(codec::kCmdUnregisterSession, s.handle, 0, {});
        (void)!::send(s.fd, bye.data(), bye.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(s.fd);
        s.fd = -1;
    }

    // Waits for the socket in slices; false on time-out, stop or error.
    static bool waitFor(Session& s, short events, Clock::time_point deadline) {
        while (!s.stop) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            pollfd p{s.fd, events, 0};
            int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), kSlice.count())));
            if (rc > 0) return true;
            if (rc < 0 && errno != EINTR) return false;
        }
        return false;
    }

    static int sendAll(Session& s, const Bytes& b, Clock::time_point deadline) {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t n = ::send(s.fd, b.data() + done, b.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return ERR_IO;
            if (!waitFor(s, POLLOUT, deadline)) return s.stop ? ERR_IO : ERR_TIMEOUT;
        }
        return STATUS_OK;
    }

    static int recvExact(Session& s, uint8_t* dst, size_t n, Clock::time_point deadline) {
        size_t done = 0;
        while (done < n) {
            ssize_t r = ::recv(s.fd, dst + done, n - done, MSG_DONTWAIT);
            if (r > 0) {
                done += static_cast<size_t>(r);
                continue;
            }
            if (r == 0) return ERR_IO;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return ERR_IO;
            if (!waitFor(s, POLLIN, deadline)) return s.stop ? ERR_IO : ERR_TIMEOUT;
        }
        return STATUS_OK;
    }

    // Sends a frame and reads the whole reply frame (header and its length).
    static int exchange(Session& s, const Bytes& frame, std::chrono::milliseconds timeout, codec::Header& h,
                        Bytes& body) {
        auto deadline = Clock::now() + timeout;
        if (int rc = sendAll(s, frame, deadline); rc != STATUS_OK) return rc;
        uint8_t head[codec::kHeaderSize];
        if (int rc = recvExact(s, head, sizeof head, deadline); rc != STATUS_OK) return rc;
        h = codec::parseHeader(head);
        body.resize(h.length);
        if (h.length > 0)
            if (int rc = recvExact(s, body.data(), body.size(), deadline); rc != STATUS_OK) return rc;
        return STATUS_OK;
    }

    static int connectSession(Session& s, std::chrono::milliseconds timeout) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        const std::string port = std::to_string(s.port);
        if (::getaddrinfo(s.host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return ERR_BAD_GATEWAY;
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(res, ::freeaddrinfo);
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) return ERR_NO_CONNECTION;
        int one = 1;
        ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto deadline = Clock::now() + timeout;
        if (::connect(s.fd, res->ai_addr, res->ai_addrlen) != 0) {
            if (errno != EINPROGRESS || !waitFor(s, POLLOUT, deadline)) {
                closeSocket(s);
                return ERR_NO_CONNECTION;
            }
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                closeSocket(s);
                return ERR_NO_CONNECTION;
            }
        }
        codec::Header h;
        Bytes body;
        int rc = exchange(s, codec::registerSession(), timeout, h, body);
        if (rc == STATUS_OK && (h.command != codec::kCmdRegisterSession || h.status != 0 || h.session == 0))
            rc = ERR_BAD_REPLY;
        if (rc != STATUS_OK) {
            ::close(s.fd);
            s.fd = -1;
            return rc;
        }
        s.handle = h.session;
        return STATUS_OK;
    }

    static int cipStatusCode(uint8_t status) { return status == 0x04 || status == 0x05 ? ERR_NO_TAG : ERR_REMOTE; }

    static Outcome readTag(Session& s, const Bytes& path, uint16_t count, size_t need,
                           std::chrono::milliseconds timeout, Bytes& out) {
        int64_t offset = -1;
        while (true) {
            Bytes cip = codec::readTagRequest(path, count, offset);
            if (!s.route.empty()) cip = codec::unconnectedSend(cip, s.route);
            const uint64_t context = ++s.context;
            codec::Header h;
            Bytes body;
            if (int rc = exchange(s, codec::sendRRData(s.handle, context, cip), timeout, h, body); rc != STATUS_OK)
                return {rc, true};
            if (h.command != codec::kCmdSendRRData || h.context != context || h.session != s.handle)
                return {ERR_BAD_REPLY, true};
            if (h.status != 0) return {ERR_REMOTE, true};
            Bytes reply;
            codec::CipReply r;
            if (!codec::unconnectedReply(body.data(), body.size(), reply) || !codec::parseReadReply(reply, r))
                return {ERR_BAD_REPLY, false};
            if (r.status != 0 && r.status != codec::kStatusPartial) return {cipStatusCode(r.status), false};
            out.insert(out.end(), r.data.begin(), r.data.end());
            if (out.size() > kMaxTagBytes) return {ERR_BAD_REPLY, false};
            if (r.status == 0) break;
            if (r.data.empty()) return {ERR_BAD_REPLY, false};  // a partial reply must make progress
            offset = static_cast<int64_t>(out.size());
        }
        if (out.size() < need) return {ERR_TOO_SHORT, false};
        out.resize(need);
        return {STATUS_OK, false};
    }

    std::mutex mutex_;
    std::condition_variable done_;
    std::map<int32_t, Tag> tags_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
    int32_t nextHandle_ = 1;
    Timing timing_;
};

// Never destroyed: tags may still be destroyed by other objects' destructors at exit.
Driver& driver() {
    static Driver* d = new Driver;
    return *d;
}

template <typename T>
std::optional<T> get(int32_t h, int offset) {
    T v{};
    if (!driver().copyOut(h, offset, &v, sizeof v)) return std::nullopt;
    return v;  // the host is little-endian, as the wire
}

}  // namespace

const char* decode_error(int code) {
    switch (code) {
        case STATUS_OK: return "OK";
        case STATUS_PENDING: return "operation pending";
        case ERR_BAD_PARAM: return "bad attribute text";
        case ERR_NOT_FOUND: return "no such tag handle";
        case ERR_BAD_GATEWAY: return "gateway address cannot be resolved";
        case ERR_NO_CONNECTION: return "no session with the controller";
        case ERR_TIMEOUT: return "no reply in time";
        case ERR_BAD_REPLY: return "malformed reply";
        case ERR_TOO_SHORT: return "reply shorter than the tag";
        case ERR_NO_TAG: return "tag not found on the controller";
        case ERR_REMOTE: return "request refused by the controller";
        case ERR_BUSY: return "read already in progress";
        case ERR_OUT_OF_BOUNDS: return "offset outside the tag data";
        case ERR_IO: return "connection lost";
        default: return "unknown error";
    }
}

int32_t create(const char* attributes, int timeoutMs) { return driver().create(attributes, timeoutMs); }
int status(int32_t handle) { return driver().status(handle); }
int read(int32_t handle, int timeoutMs) { return driver().read(handle, timeoutMs); }
int destroy(int32_t handle) { return driver().destroy(handle); }
int size(int32_t handle) { return driver().size(handle); }

std::optional<int8_t> get_int8(int32_t h, int off) { return get<int8_t>(h, off); }
std::optional<uint8_t> get_uint8(int32_t h, int off) { return get<uint8_t>(h, off); }
std::optional<int16_t> get_int16(int32_t h, int off) { return get<int16_t>(h, off); }
std::optional<uint16_t> get_uint16(int32_t h, int off) { return get<uint16_t>(h, off); }
std::optional<int32_t> get_int32(int32_t h, int off) { return get<int32_t>(h, off); }
std::optional<uint32_t> get_uint32(int32_t h, int off) { return get<uint32_t>(h, off); }
std::optional<int64_t> get_int64(int32_t h, int off) { return get<int64_t>(h, off); }
std::optional<uint64_t> get_uint64(int32_t h, int off) { return get<uint64_t>(h, off); }
std::optional<float> get_float32(int32_t h, int off) { return get<float>(h, off); }
std::optional<double> get_float64(int32_t h, int off) { return get<double>(h, off); }

void setTimingForTest(const Timing& t) { driver().setTiming(t); }
Timing timing() { return driver().timing(); }

}  // namespace eip
