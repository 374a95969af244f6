#pragma once
// An EtherNet/IP controller stand-in on an ephemeral loopback port. It answers RegisterSession
// and SendRRData carrying Read Tag (0x4C) or Read Tag Fragmented (0x52), bare or wrapped in an
// Unconnected Send to the Connection Manager, and nothing else. Replies hold at most ~480 data
// bytes, so larger reads come back partial (status 0x06) and continue fragmented. Unknown tags
// answer status 0x04. Behaviour can be scripted (slow, silent, dropping the connection), the
// listener closed and reopened on the same port, and every request is recorded with its reply.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvane::test {

class CipResponder {
public:
    enum class Behaviour { Normal, Slow, Silent, Drop };

    struct Request {
        uint16_t command = 0;
        uint8_t service = 0;       // the tag service (inside an Unconnected Send when routed)
        std::string tag;           // dotted symbolic name, "[i]" appended for an element segment
        uint16_t count = 0;
        int64_t offset = -1;       // byte offset of a fragmented read
        bool routed = false;
        std::vector<uint8_t> frame;  // the whole request frame
        std::vector<uint8_t> reply;  // the whole reply frame (empty when none was sent)
    };

    CipResponder();
    ~CipResponder();
    CipResponder(const CipResponder&) = delete;
    CipResponder& operator=(const CipResponder&) = delete;

    uint16_t port() const { return port_; }

    // A tag of elemSize-byte elements with its CIP type code; data holds every element.
    void addTag(const std::string& name, uint16_t typeCode, int elemSize, std::vector<uint8_t> data);
    template <typename T>
    void addValues(const std::string& name, uint16_t typeCode, const std::vector<T>& values) {
        std::vector<uint8_t> d(values.size() * sizeof(T));
        if (!values.empty()) std::memcpy(d.data(), values.data(), d.size());
        addTag(name, typeCode, static_cast<int>(sizeof(T)), std::move(d));
    }

    // Slow: each reply waits `delay` first. Silent: requests get no reply. Drop: a request
    // closes its connection.
    void setBehaviour(Behaviour b, std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // RegisterSession replies wait `delay` first (nothing else is served meanwhile).
    void setRegisterDelay(std::chrono::milliseconds delay);
    // Closes the listener and every connection / listens again on the same port.
    void goAway();
    void comeBack();

    std::vector<Request> requests() const;
    void clearRequests();

private:
    struct Conn {
        int fd = -1;
        std::vector<uint8_t> in;
    };
    void run();
    bool listen();
    // False when the connection is to be closed.
    bool handleFrame(Conn& c, const std::vector<uint8_t>& frame);
    std::vector<uint8_t> answerRead(Request& r, const uint8_t* cip, size_t n);

    struct TagData {
        uint16_t type = 0;
        int elemSize = 1;
        std::vector<uint8_t> bytes;
    };

    mutable std::mutex mutex_;
    std::map<std::string, TagData> tags_;
    std::vector<Request> requests_;
    Behaviour behaviour_ = Behaviour::Normal;
    std::chrono::milliseconds delay_{0};
    std::chrono::milliseconds registerDelay_{0};
    std::atomic<int> sessions_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> away_{false};
    std::atomic<bool> listening_{false};
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::vector<Conn> conns_;
    std::thread thread_;
};

}  // namespace orvane::test
