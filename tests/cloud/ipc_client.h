#pragma once
// A test peer on liborvane_ipc and the platform socket helpers: sends frames, collects every
// whole frame it receives.
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
    explicit IpcClient(const std::string& path) : socket_(orvane::platform::local::connect(io_, path, ec_)) {}
    bool ok() const { return !ec_; }

    bool sendBytes(const std::vector<uint8_t>& bytes) {
        return orvane::platform::local::writeAll(socket_, bytes.data(), bytes.size()) == bytes.size();
    }
    bool send(const orvane_ipc::request::CommandBase& request) { return sendBytes(orvane_ipc::to_frame(request)); }

    // The next whole frame, or empty when none arrives within `timeout` or the peer closed.
    std::optional<std::vector<uint8_t>> frame(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto f = frames_.next()) return f;
            if (closed_ || std::chrono::steady_clock::now() >= end) return std::nullopt;
            uint8_t buf[4096];
            auto r = orvane::platform::local::readFor(socket_, buf, sizeof buf, std::chrono::milliseconds(100));
            if (r.status == orvane::platform::local::ReadStatus::Data) frames_.append(buf, r.bytes);
            if (r.status == orvane::platform::local::ReadStatus::Closed ||
                r.status == orvane::platform::local::ReadStatus::Error)
                closed_ = true;
        }
    }
    std::optional<orvane_ipc::ResponseVariant> response(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        auto f = frame(timeout);
        if (!f) return std::nullopt;
        return orvane_ipc::Service::response_analyze(f->data(), f->size());
    }
    bool closed() const { return closed_; }
    void close() {
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

private:
    boost::asio::io_context io_;
    boost::system::error_code ec_;
    orvane::platform::local::Socket socket_;
    orvane_ipc::FrameAccumulator frames_;
    bool closed_ = false;
};

}  // namespace orvane::test
