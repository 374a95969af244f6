#pragma once
// A test peer on liborvane_ipc: sends frames, collects every whole frame it receives.
#include <sys/ioctl.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/service.h"
#include "platform/local_socket.h"

namespace orvane::test {

class IpcClient {
public:
    explicit IpcClient(const std::string& path) : socket_(platform::local::connect(io_, path, ec_)) {}
    bool ok() const { return !ec_; }
    bool sendBytes(const std::vector<uint8_t>& b) { return platform::local::writeAll(socket_, b.data(), b.size()) == b.size(); }
    bool send(const orvane_ipc::request::CommandBase& request) { return sendBytes(orvane_ipc::to_frame(request)); }

    // The next whole frame, or empty when none arrives within `timeout` or the peer closed.
    std::optional<std::vector<uint8_t>> frame(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        using platform::local::ReadStatus;
        for (const auto end = std::chrono::steady_clock::now() + timeout;;) {
            if (auto f = frames_.next()) return f;
            if (closed_ || std::chrono::steady_clock::now() >= end) return std::nullopt;
            uint8_t buf[4096];
            auto r = platform::local::readFor(socket_, buf, sizeof buf, std::chrono::milliseconds(100));
            if (r.status == ReadStatus::Data) frames_.append(buf, r.bytes);
            closed_ = r.status == ReadStatus::Closed || r.status == ReadStatus::Error;
        }
    }
    std::optional<orvane_ipc::ResponseVariant> response(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        auto f = frame(timeout);
        return f ? orvane_ipc::Service::response_analyze(f->data(), f->size()) : std::nullopt;
    }
    bool closed() const { return closed_; }
    void close() { socket_.close(ec_); }
    // Bytes received and not yet read.
    int queued() {
        int n = 0;
        return ::ioctl(socket_.native_handle(), FIONREAD, &n) == 0 ? n : -1;
    }

private:
    boost::asio::io_context io_;
    boost::system::error_code ec_;
    platform::local::Socket socket_;
    orvane_ipc::FrameAccumulator frames_;
    bool closed_ = false;
};

}  // namespace orvane::test
