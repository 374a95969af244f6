#pragma once
// The frame layout and the big-endian field codec of the messages exchanged between the
// gateway programs.
//
// Frame (all multi-byte integers big-endian):
//   FF FF 5A A5 01 | L (u16) | payload: command id (u16) + fields, L bytes | CRC-16/ARC of payload (u16)
// A frame is L + 9 bytes long.
//
// Field writers and readers take the buffer, its total size and a position that they advance.
// Each checks first that the field fits (a null buffer never fits) and otherwise throws
// std::out_of_range, naming the operation, the position and the buffer size, without writing
// or reading anything.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvane_ipc {

inline constexpr uint8_t kFrameMagic[5] = {0xFF, 0xFF, 0x5A, 0xA5, 0x01};
inline constexpr std::size_t kHeaderSize = 7;      // magic (5) + length (2)
inline constexpr std::size_t kCrcSize = 2;
inline constexpr std::size_t kFrameOverhead = 9;   // header + CRC
inline constexpr std::size_t kMaxPayload = 0xFFFF; // the length field is 16 bits
inline constexpr std::size_t kMaxFrame = kMaxPayload + kFrameOverhead;
inline constexpr std::size_t kNameSize = 32;       // name and raw text fields

class Utilities {
public:
    // Header with its length: FF FF 5A A5 01 L; pos += 7.
    static void fill_header(uint8_t* buf, std::size_t size, uint16_t length, std::size_t& pos);
    // Magic only (FF FF 5A A5 01); pos += 5; the caller patches the length later.
    // Demands room for the whole 7-byte header.
    static void fill_header(uint8_t* buf, std::size_t size, std::size_t& pos);

    static void serial_char(uint8_t c, uint8_t* buf, std::size_t size, std::size_t& pos);
    static void serial_u16(uint16_t v, uint8_t* buf, std::size_t size, std::size_t& pos);
    static void serial_u32(uint32_t v, uint8_t* buf, std::size_t size, std::size_t& pos);
    static void serial_f32(float v, uint8_t* buf, std::size_t size, std::size_t& pos);
    // 32-byte name field: zero filled, then the first min(length, 32) bytes of the text.
    static void serial_measurement_name(std::string_view text, uint8_t* buf, std::size_t size,
                                        std::size_t& pos);
    // 32-byte raw text field written like strncpy with a count of 32: the text up to its
    // first zero byte (at most 32 bytes), the rest of the field zero.
    static void serial_raw_text(std::string_view text, uint8_t* buf, std::size_t size, std::size_t& pos);
    // n bytes copied as they are (src may be null only when n is 0).
    static void serial_bytes(const uint8_t* src, std::size_t n, uint8_t* buf, std::size_t size,
                             std::size_t& pos);
    // u16 at buf[0], no position.
    static void serial_u16(uint16_t v, uint8_t* buf, std::size_t size);

    static uint8_t get_char_value(const uint8_t* buf, std::size_t size, std::size_t& pos);
    static uint16_t get_u16_value(const uint8_t* buf, std::size_t size, std::size_t& pos);
    static uint32_t get_u32_value(const uint8_t* buf, std::size_t size, std::size_t& pos);
    static float get_f32_value(const uint8_t* buf, std::size_t size, std::size_t& pos);
    // 32-byte name field, trailing control bytes (0x00-0x1F, 0x7F) removed.
    static std::string get_measurement_name(const uint8_t* buf, std::size_t size, std::size_t& pos);
    // 32-byte raw text field as a string of exactly 32 characters, padding included.
    static std::string get_raw_text(const uint8_t* buf, std::size_t size, std::size_t& pos);
    // n bytes copied to dst.
    static void get_bytes(const uint8_t* buf, std::size_t size, std::size_t& pos, uint8_t* dst,
                          std::size_t n);

    // CRC-16/ARC (initial 0, no final XOR); 0 for a null pointer or a length of 0.
    static uint16_t crc_value(const void* data, std::size_t length);

    // Offset of the length field (magic + 5) of the first frame in data[0, n) whose declared
    // payload fits and whose CRC matches, or -1. A rejected magic is passed over one byte at a
    // time, so a frame that starts inside a rejected one is still found.
    static std::ptrdiff_t find_frame(const void* data, std::size_t n);
};

}  // namespace orvane_ipc
