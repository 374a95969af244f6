#pragma once
// Single-step CRC routines. Each takes the running CRC and the next byte and returns the new
// CRC; the caller chooses the initial value and any final XOR. Frames use update_crc_16
// (CRC-16/ARC); the others are offered for protocols of other devices.
//
// Every table is computed at compile time, so the routines are safe to call from any thread
// from the first call on.
#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

// CRC-16/ARC step: reflected polynomial 0xA001 (0x8005).
uint16_t update_crc_16(uint16_t crc, unsigned char c);
// CRC-16 step, polynomial 0x1021, most significant bit first.
uint16_t update_crc_ccitt(uint16_t crc, unsigned char c);
// Table-less 16-bit step that also folds in the previous byte of the message.
uint16_t update_crc_sick(uint16_t crc, unsigned char c, unsigned char prev_byte);
// CRC-16 step, reflected polynomial 0x8408 (0x1021).
uint16_t update_crc_kermit(uint16_t crc, unsigned char c);
// CRC-16 step, reflected polynomial 0xA6BC (0x3D65).
uint16_t update_crc_dnp(uint16_t crc, unsigned char c);
// CRC-32 step, reflected polynomial 0xEDB88320 (0x04C11DB7).
uint32_t update_crc_32(uint32_t crc, unsigned char c);

#ifdef __cplusplus
}
#endif
