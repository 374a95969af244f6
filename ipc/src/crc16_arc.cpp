// The counted CRC-16/ARC loop and its table (see crc16_arc.h). Nothing else belongs here: the
// table must stay out of reach of the rest of the library.
#include "crc16_arc.h"

#include <array>

namespace orvane_ipc::detail {

constinit thread_local std::size_t crc16_arc_bytes = 0;

namespace {

// Reflected polynomial 0xA001 (0x8005), computed at compile time: complete before any use on
// any thread.
constexpr std::array<uint16_t, 256> kTable = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        auto c = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1u) ? static_cast<uint16_t>((c >> 1) ^ 0xA001u) : static_cast<uint16_t>(c >> 1);
        t[i] = c;
    }
    return t;
}();
static_assert(kTable[1] == 0xC0C1 && kTable[255] == 0x4040);

inline uint16_t step(uint16_t crc, uint8_t c) noexcept {
    return static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ c) & 0xFFu]);
}

}  // namespace

uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n) noexcept {
    crc16_arc_bytes += n;
    for (std::size_t i = 0; i < n; ++i) crc = step(crc, p[i]);
    return crc;
}

uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n, uint16_t* registers) noexcept {
    crc16_arc_bytes += n;
    for (std::size_t i = 0; i < n; ++i) registers[i] = crc = step(crc, p[i]);
    return crc;
}

}  // namespace orvane_ipc::detail
