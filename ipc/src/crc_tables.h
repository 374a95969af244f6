#pragma once
// CRC tables, computed at compile time (complete before any use on any thread).
#include <array>
#include <cstdint>

namespace orvane_ipc::detail {

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

constexpr auto kTable16 = reflected_table<uint16_t>(0xA001);
constexpr auto kTableKermit = reflected_table<uint16_t>(0x8408);
constexpr auto kTableDnp = reflected_table<uint16_t>(0xA6BC);
constexpr auto kTable32 = reflected_table<uint32_t>(0xEDB88320u);
constexpr auto kTableCcitt = msb_first_table(0x1021);

static_assert(kTable16[1] == 0xC0C1 && kTable16[255] == 0x4040);
static_assert(kTable32[1] == 0x77073096u);
static_assert(kTableCcitt[1] == 0x1021);

}  // namespace orvane_ipc::detail
