#include "orvane_ipc/frame_accumulator.h"

#include "orvane_ipc/utilities.h"

namespace orvane_ipc {

void FrameAccumulator::compact() {
    if (start_ == 0) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
}

void FrameAccumulator::append(const void* data, std::size_t n) {
    if (n == 0 || data == nullptr) return;
    compact();
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + n);
    // A frame is at most kMaxFrame bytes, so bytes further back than that from the end can only
    // belong to a frame that is already complete (and would be found) or to none.
    if (buf_.size() > 2 * kMaxFrame) {
        const std::ptrdiff_t at = Utilities::find_frame(buf_.data(), buf_.size());
        if (at < 0) buf_.erase(buf_.begin(), buf_.end() - static_cast<std::ptrdiff_t>(kMaxFrame - 1));
    }
}

std::optional<std::vector<uint8_t>> FrameAccumulator::next() {
    const uint8_t* base = buf_.data() + start_;
    const std::size_t n = buf_.size() - start_;
    const std::ptrdiff_t at = Utilities::find_frame(base, n);
    if (at < 0) return std::nullopt;
    const auto lenPos = static_cast<std::size_t>(at);
    const std::size_t length = (std::size_t{base[lenPos]} << 8) | base[lenPos + 1];
    const std::size_t begin = lenPos - sizeof kFrameMagic;
    const std::size_t end = lenPos + 2 + length + kCrcSize;
    std::vector<uint8_t> frame(base + begin, base + end);
    start_ += end;
    if (start_ == buf_.size()) clear();
    return frame;
}

}  // namespace orvane_ipc
