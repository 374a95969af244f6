#pragma once
// Collects the bytes of a stream connection and hands out every whole frame, in order. A frame
// may arrive over several reads, and one read may hold several frames; bytes that belong to no
// frame are dropped, and consumed bytes are never analysed again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvane_ipc {

class FrameAccumulator {
public:
    // Appends received bytes. The buffer never holds more than one largest frame's worth of
    // bytes that could still start a frame: older bytes are dropped.
    void append(const void* data, std::size_t n);
    // The next whole frame (header to CRC) that Utilities::find_frame finds, with the bytes before
    // it dropped; empty while no whole frame is buffered.
    std::optional<std::vector<uint8_t>> next();
    std::size_t buffered() const noexcept { return buf_.size() - start_; }
    void clear() noexcept {
        buf_.clear();
        start_ = 0;
    }

private:
    void compact();

    std::vector<uint8_t> buf_;
    std::size_t start_ = 0;  // first unconsumed byte
};

}  // namespace orvane_ipc
