#include "orvane_ipc/crc.h"

#include "crc_tables.h"

using namespace orvane_ipc::detail;

namespace orvane_ipc::detail {
constinit thread_local std::size_t crc16_arc_bytes = 0;
}  // namespace orvane_ipc::detail

extern "C" {

uint16_t update_crc_16(uint16_t crc, unsigned char c) { return crc16_arc(crc, &c, 1); }

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
