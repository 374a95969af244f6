#pragma once
// CRC tables, computed at compile time (complete before any use on any thread), and the
// CRC-16/ARC loop that every CRC-16/ARC of the library goes through.
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

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

// Bytes this thread has fed to crc16_arc. One counter for every CRC-16/ARC of the library,
// whichever function computes it, so a reader can tell what its work cost; a thread's own
// counter needs no synchronisation and costs one add per call. Not exported.
[[gnu::visibility("hidden"), gnu::tls_model("initial-exec")]] extern constinit thread_local std::size_t
    crc16_arc_bytes;

// Feeds n bytes to the CRC-16/ARC register `crc` and returns it; `each` sees the register after
// every byte. Works at compile time too (uncounted there).
template <typename Each>
[[gnu::visibility("hidden")]] constexpr uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n,
                                                           Each&& each) noexcept {
    if (!std::is_constant_evaluated()) crc16_arc_bytes += n;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable16[(crc ^ p[i]) & 0xFFu]);
        each(crc);
    }
    return crc;
}

[[gnu::visibility("hidden")]] constexpr uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n) noexcept {
    return crc16_arc(crc, p, n, [](uint16_t) {});
}

}  // namespace orvane_ipc::detail
