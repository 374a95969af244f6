#pragma once
// The CRC-16/ARC loop that every CRC-16/ARC of the library goes through. Its table is known to
// crc16_arc.cpp alone, so no other code of the library can compute this CRC without passing its
// bytes through these functions, which count them.
#include <cstddef>
#include <cstdint>

namespace orvane_ipc::detail {

// Bytes this thread has fed to crc16_arc. One counter for every CRC-16/ARC of the library,
// whichever function computes it, so a reader can tell what its work cost; a thread's own
// counter needs no synchronisation and costs one add per call. Not exported.
[[gnu::visibility("hidden"), gnu::tls_model("initial-exec")]] extern constinit thread_local std::size_t
    crc16_arc_bytes;

// Feeds n bytes to the CRC-16/ARC register `crc` and returns it.
[[gnu::visibility("hidden")]] uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n) noexcept;
// The same, writing the register after each byte to registers[0, n).
[[gnu::visibility("hidden")]] uint16_t crc16_arc(uint16_t crc, const uint8_t* p, std::size_t n,
                                                 uint16_t* registers) noexcept;

}  // namespace orvane_ipc::detail
