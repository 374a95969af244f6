#pragma once
// Collects the bytes of a stream connection and hands out every whole frame, in order. A frame
// may arrive over several reads, and one read may hold several frames; bytes that belong to no
// frame are dropped, and consumed bytes are never analysed again.
//
// The search resumes where the previous one stopped: every header candidate (FF FF 5A A5 01 and
// a length) is looked at once, and its CRC is checked once, as soon as its whole declared frame
// has arrived; until then it waits in a list of open candidates while later bytes are searched,
// so a short frame behind a header that declares a long one is still found at once. Each
// received byte goes through the CRC step once, whatever the number of candidates that cover
// it, so a check costs the same for any declared length. The frame
// handed out is always the one Utilities::find_frame would find in the bytes not yet consumed
// (among frames no longer than the reader's largest).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orvane_ipc/utilities.h"

namespace orvane_ipc {

class FrameAccumulator {
public:
    // `max_frame`: the largest frame this reader takes; a header that declares a longer frame is
    // passed over at once, without waiting for its bytes or checking its CRC.
    explicit FrameAccumulator(std::size_t max_frame = kMaxFrame) noexcept : max_frame_(max_frame) {}

    // Appends received bytes.
    void append(const void* data, std::size_t n);
    // The next whole frame (header to CRC), with the bytes before it dropped; empty while no
    // whole frame is buffered.
    std::optional<std::vector<uint8_t>> next();
    // Bytes kept: those of open candidates and the last few that may still begin a header.
    std::size_t buffered() const noexcept { return buf_.size() - start_; }
    void clear() noexcept {
        buf_.clear();
        register_.clear();
        open_.clear();
        open_end_ = kNone;
        start_ = 0;
        scan_ = 0;
    }
    // CRC checks run so far; each candidate is checked at most once.
    std::size_t crc_checks() const noexcept { return crc_checks_; }
    // Bytes this reader has passed through the library's CRC-16/ARC step so far, by whichever
    // function: each appended byte once, however many candidates cover it.
    std::size_t crc_bytes() const noexcept { return crc_bytes_; }

private:
    void compact();
    // True when the frame whose header starts at `at` (wholly buffered) has a matching CRC.
    bool crc_matches(std::size_t at, std::size_t length);
    std::vector<uint8_t> take(std::size_t at, std::size_t end);

    struct Candidate {
        std::size_t at;   // offset of the header in buf_
        std::size_t end;  // offset just past its declared frame
    };

    std::size_t max_frame_;
    std::vector<uint8_t> buf_;
    std::vector<uint16_t> register_;  // CRC register over buf_[0, k) at k; buf_.size() + 1 entries
    std::size_t start_ = 0;        // first unconsumed byte
    std::size_t scan_ = 0;         // where the search for headers resumes
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<Candidate> open_;  // headers before scan_ whose frame is not whole yet, in order
    std::size_t open_end_ = kNone; // the earliest end among them
    std::size_t crc_checks_ = 0;
    std::size_t crc_bytes_ = 0;
};

}  // namespace orvane_ipc
