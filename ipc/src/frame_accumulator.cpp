#include "orvane_ipc/frame_accumulator.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "crc16_arc.h"

namespace orvane_ipc {

namespace {

// CRC-16/ARC without a final XOR is linear: the register after bytes B, started from state s,
// is the register after B started from 0, XOR the register after as many zero bytes started
// from s. So with the running register r[k] over the first k buffered bytes, the CRC of the
// bytes [a, b) is r[b] XOR zeros(r[a], b - a), and checking a candidate costs no pass over its
// payload. zeros() is a 16x16 bit matrix power, applied from the powers of two below.
using Matrix = std::array<uint16_t, 16>;  // column b: the image of the state 1 << b

constexpr uint16_t apply(const Matrix& m, uint16_t s) {
    uint16_t out = 0;
    for (int b = 0; b < 16; ++b)
        if (s & (1u << b)) out ^= m[b];
    return out;
}

constexpr Matrix squared(const Matrix& m) {
    Matrix r{};
    for (int b = 0; b < 16; ++b) r[b] = apply(m, m[b]);
    return r;
}

// kZeros[j]: the effect of 2^j zero bytes on the register, from that of one zero bit: the
// register shifts right, and the polynomial 0xA001 comes in when bit 0 falls out.
constexpr std::array<Matrix, 16> zero_byte_powers() {
    Matrix bit{};
    bit[0] = 0xA001;
    for (int b = 1; b < 16; ++b) bit[b] = static_cast<uint16_t>(1u << (b - 1));
    std::array<Matrix, 16> p{};
    p[0] = squared(squared(squared(bit)));
    for (int j = 1; j < 16; ++j) p[j] = squared(p[j - 1]);
    return p;
}
constexpr auto kZeros = zero_byte_powers();
static_assert(kZeros[0][0] == 0xC0C1 && kZeros[0][15] == 0x0080, "one zero byte from 0x0001 and from 0x8000");

// The register s after n zero bytes (n < 65536).
constexpr uint16_t after_zeros(uint16_t s, std::size_t n) {
    for (int j = 0; n != 0; ++j, n >>= 1)
        if (n & 1u) s = apply(kZeros[j], s);
    return s;
}

inline std::size_t length_at(const uint8_t* header) noexcept {
    return (std::size_t{header[5]} << 8) | header[6];
}

// Adds to `total` the bytes this thread feeds to the CRC-16/ARC loop while it lives, whichever
// function of the library feeds them.
class CrcBytesTally {
public:
    explicit CrcBytesTally(std::size_t& total) noexcept : total_(total), from_(detail::crc16_arc_bytes) {}
    ~CrcBytesTally() { total_ += detail::crc16_arc_bytes - from_; }
    CrcBytesTally(const CrcBytesTally&) = delete;
    CrcBytesTally& operator=(const CrcBytesTally&) = delete;

private:
    std::size_t& total_;
    std::size_t from_;
};

}  // namespace

void FrameAccumulator::compact() {
    // Moving the kept bytes costs their number, so it waits until the consumed ones are as many.
    if (start_ == 0 || start_ < buf_.size() - start_) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    register_.erase(register_.begin(), register_.begin() + static_cast<std::ptrdiff_t>(start_));
    scan_ -= start_;
    for (Candidate& c : open_) {
        c.at -= start_;
        c.end -= start_;
    }
    if (open_end_ != kNone) open_end_ -= start_;
    start_ = 0;
}

void FrameAccumulator::append(const void* data, std::size_t n) {
    if (n == 0 || data == nullptr) return;
    const CrcBytesTally tally(crc_bytes_);
    compact();
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + n);
    if (register_.empty()) register_.push_back(0);
    const std::size_t k = register_.size();
    register_.resize(k + n);
    detail::crc16_arc(register_[k - 1], p, n, register_.data() + k);
}

bool FrameAccumulator::crc_matches(std::size_t at, std::size_t length) {
    ++crc_checks_;
    const std::size_t from = at + kHeaderSize;
    const uint8_t* payload = buf_.data() + from;
    const auto crc = static_cast<uint16_t>(register_[from + length] ^ after_zeros(register_[from], length));
    return payload[length] == static_cast<uint8_t>(crc >> 8) && payload[length + 1] == static_cast<uint8_t>(crc);
}

std::vector<uint8_t> FrameAccumulator::take(std::size_t at, std::size_t end) {
    std::vector<uint8_t> frame(buf_.begin() + static_cast<std::ptrdiff_t>(at),
                               buf_.begin() + static_cast<std::ptrdiff_t>(end));
    // Bytes up to the frame's end are consumed, with every candidate that starts among them.
    open_.erase(open_.begin(), std::find_if(open_.begin(), open_.end(), [end](const Candidate& c) { return c.at >= end; }));
    open_end_ = kNone;
    for (const Candidate& c : open_) open_end_ = std::min(open_end_, c.end);
    start_ = end;
    scan_ = std::max(scan_, end);
    if (start_ == buf_.size()) clear();
    return frame;
}

std::optional<std::vector<uint8_t>> FrameAccumulator::next() {
    const CrcBytesTally tally(crc_bytes_);
    const std::size_t n = buf_.size();

    // Open candidates whose frame is now whole, earliest first. They all lie before the bytes not
    // searched yet, so the first good one is the first frame in the buffer.
    std::size_t kept = 0;
    for (std::size_t k = 0; n >= open_end_ && k < open_.size(); ++k) {
        const Candidate c = open_[k];
        if (c.end <= n) {
            if (crc_matches(c.at, c.end - c.at - kFrameOverhead)) {
                open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(kept), open_.begin() + static_cast<std::ptrdiff_t>(k));
                return take(c.at, c.end);
            }
            continue;  // rejected for good
        }
        open_[kept++] = c;
    }
    if (n >= open_end_) {
        open_.resize(kept);
        open_end_ = kNone;
        for (const Candidate& c : open_) open_end_ = std::min(open_end_, c.end);
    }

    // Headers in the bytes not searched yet. A header needs its 7 bytes before it can be judged.
    std::size_t i = std::max(scan_, start_);
    for (; i + kHeaderSize <= n; ++i) {
        if (buf_[i] != kFrameMagic[0]) {
            const void* ff = std::memchr(buf_.data() + i, kFrameMagic[0], n - kHeaderSize + 1 - i);
            if (ff == nullptr) {
                i = n - kHeaderSize + 1;
                break;
            }
            i = static_cast<std::size_t>(static_cast<const uint8_t*>(ff) - buf_.data());
        }
        if (std::memcmp(buf_.data() + i, kFrameMagic, sizeof kFrameMagic) != 0) continue;
        const std::size_t length = length_at(buf_.data() + i);
        const std::size_t end = i + length + kFrameOverhead;
        if (length + kFrameOverhead > max_frame_) continue;
        if (end > n) {
            open_.push_back({i, end});
            open_end_ = std::min(open_end_, end);
            continue;
        }
        if (crc_matches(i, length)) {
            scan_ = i + 1;
            return take(i, end);
        }
    }
    scan_ = i;

    // Nothing before the earliest open candidate (or the search point) can begin a frame.
    start_ = std::max(start_, open_.empty() ? scan_ : std::min(scan_, open_.front().at));
    if (start_ == n) clear();
    return std::nullopt;
}

}  // namespace orvane_ipc
