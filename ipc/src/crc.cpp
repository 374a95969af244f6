#include "orvane_ipc/crc.h"

#include <array>

#include "crc16_arc.h"

namespace {

// Tables of the other devices' CRCs, computed at compile time (complete before any use on any
// thread). The CRC-16/ARC table is not among them: it belongs to crc16_arc.cpp alone.

// Table of a reflected (least significant bit first) CRC.
template <typename T>
constexpr std::array<T, 256> reflected_table(T poly) {
    std::array<T, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int b = 0; b < 8; ++b) c = (c & 1u) ? static_cast<T>((c >> 1) ^ poly) : static_cast<T>(c >> 1);
        t[i] = c;
    }
    return t;
}

// Table of a 16-bit CRC processed most significant bit first.
constexpr std::array<uint16_t, 256> msb_first_table(uint16_t poly) {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000u) ? static_cast<uint16_t>((c << 1) ^ poly) : static_cast<uint16_t>(c << 1);
        t[i] = c;
    }
    return t;
}

constexpr auto kTableKermit = reflected_table<uint16_t>(0x8408);
constexpr auto kTableDnp = reflected_table<uint16_t>(0xA6BC);
constexpr auto kTable32 = reflected_table<uint32_t>(0xEDB88320u);
constexpr auto kTableCcitt = msb_first_table(0x1021);

static_assert(kTable32[1] == 0x77073096u);
static_assert(kTableCcitt[1] == 0x1021);

}  // namespace

extern "C" {

uint16_t update_crc_16(uint16_t crc, unsigned char c) { return orvane_ipc::detail::crc16_arc(crc, &c, 1); }

uint16_t update_crc_ccitt(uint16_t crc, unsigned char c) {
    return static_cast<uint16_t>((crc << 8) ^ kTableCcitt[((crc >> 8) ^ c) & 0xFFu]);
}

uint16_t update_crc_sick(uint16_t crc, unsigned char c, unsigned char prev_byte) {
    const uint16_t short_c = static_cast<uint16_t>(c);
    const uint16_t short_p = static_cast<uint16_t>(prev_byte << 8);
    if (crc & 0x8000u)
        crc = static_cast<uint16_t>((crc << 1) ^ 0x8005u);
    else
        crc = static_cast<uint16_t>(crc << 1);
    return static_cast<uint16_t>(crc ^ (short_c | short_p));
}

uint16_t update_crc_kermit(uint16_t crc, unsigned char c) {
    return static_cast<uint16_t>((crc >> 8) ^ kTableKermit[(crc ^ c) & 0xFFu]);
}

uint16_t update_crc_dnp(uint16_t crc, unsigned char c) {
    return static_cast<uint16_t>((crc >> 8) ^ kTableDnp[(crc ^ c) & 0xFFu]);
}

uint32_t update_crc_32(uint32_t crc, unsigned char c) {
    return (crc >> 8) ^ kTable32[(crc ^ c) & 0xFFu];
}

}  // extern "C"
