#include "orvane_ipc/utilities.h"

#include <bit>
#include <cstring>
#include <stdexcept>

#include "crc16_arc.h"

namespace orvane_ipc {

namespace {

// True when n bytes from pos lie inside a buffer of size bytes (never for a null buffer).
// Written so that no sum can wrap.
inline bool fits(const void* buf, std::size_t size, std::size_t pos, std::size_t n) noexcept {
    return buf != nullptr && pos <= size && n <= size - pos;
}

[[noreturn]] void fail(const char* words, std::size_t pos, std::size_t size) {
    std::string text(words);
    text += std::to_string(pos);
    text += "; size:";
    text += std::to_string(size);
    throw std::out_of_range(text);
}

inline void check(const void* buf, std::size_t size, std::size_t pos, std::size_t n, const char* words) {
    if (!fits(buf, size, pos, n)) fail(words, pos, size);
}

inline void put_u16(uint8_t* p, uint16_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put_u32(uint8_t* p, uint32_t v) noexcept {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint16_t read_u16(const uint8_t* p) noexcept { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t read_u32(const uint8_t* p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Control characters as the "C" locale classifies them; bytes >= 0x80 are not.
inline bool is_control(uint8_t b) noexcept { return b < 0x20 || b == 0x7F; }

}  // namespace

void Utilities::fill_header(uint8_t* buf, std::size_t size, uint16_t length, std::size_t& pos) {
    check(buf, size, pos, kHeaderSize, "Fail to set header. Pos:");
    std::memcpy(buf + pos, kFrameMagic, sizeof kFrameMagic);
    put_u16(buf + pos + 5, length);
    pos += kHeaderSize;
}

void Utilities::fill_header(uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, kHeaderSize, "Fail to set header. Pos:");
    std::memcpy(buf + pos, kFrameMagic, sizeof kFrameMagic);
    pos += sizeof kFrameMagic;
}

void Utilities::serial_char(uint8_t c, uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 1, "Fail to set char. Pos:");
    buf[pos++] = c;
}

void Utilities::serial_u16(uint16_t v, uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 2, "Fail to set u16. Pos:");
    put_u16(buf + pos, v);
    pos += 2;
}

void Utilities::serial_u32(uint32_t v, uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 4, "Fail to set u32. Pos:");
    put_u32(buf + pos, v);
    pos += 4;
}

void Utilities::serial_f32(float v, uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 4, "Fail to set f32. Pos:");
    put_u32(buf + pos, std::bit_cast<uint32_t>(v));
    pos += 4;
}

void Utilities::serial_measurement_name(std::string_view text, uint8_t* buf, std::size_t size,
                                        std::size_t& pos) {
    check(buf, size, pos, kNameSize, "Fail to set string. Pos:");
    const std::size_t n = text.size() < kNameSize ? text.size() : kNameSize;
    std::memcpy(buf + pos, text.data(), n);
    std::memset(buf + pos + n, 0, kNameSize - n);
    pos += kNameSize;
}

void Utilities::serial_raw_text(std::string_view text, uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, kNameSize, "Fail to set text. Pos:");
    std::size_t n = 0;
    while (n < kNameSize && n < text.size() && text[n] != '\0') ++n;
    std::memcpy(buf + pos, text.data(), n);
    std::memset(buf + pos + n, 0, kNameSize - n);
    pos += kNameSize;
}

void Utilities::serial_bytes(const uint8_t* src, std::size_t n, uint8_t* buf, std::size_t size,
                             std::size_t& pos) {
    check(buf, size, pos, n, "Fail to set bytes. Pos:");
    if (n == 0) return;
    if (src == nullptr) fail("Fail to set bytes. Pos:", pos, size);
    std::memcpy(buf + pos, src, n);
    pos += n;
}

void Utilities::serial_u16(uint16_t v, uint8_t* buf, std::size_t size) {
    if (buf == nullptr || size < 2) throw std::out_of_range("Fail to set u16. size:" + std::to_string(size));
    put_u16(buf, v);
}

uint8_t Utilities::get_char_value(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 1, "Fail to get char. Pos:");
    return buf[pos++];
}

uint16_t Utilities::get_u16_value(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 2, "Fail to get u16. Pos:");
    const uint16_t v = read_u16(buf + pos);
    pos += 2;
    return v;
}

uint32_t Utilities::get_u32_value(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 4, "Fail to get u32. Pos:");
    const uint32_t v = read_u32(buf + pos);
    pos += 4;
    return v;
}

float Utilities::get_f32_value(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, 4, "Fail to get f32. Pos:");
    const uint32_t v = read_u32(buf + pos);
    pos += 4;
    return std::bit_cast<float>(v);
}

std::string Utilities::get_measurement_name(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, kNameSize, "Fail to get string. Pos:");
    const uint8_t* p = buf + pos;
    std::size_t n = kNameSize;
    while (n > 0 && is_control(p[n - 1])) --n;
    pos += kNameSize;
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Utilities::get_raw_text(const uint8_t* buf, std::size_t size, std::size_t& pos) {
    check(buf, size, pos, kNameSize, "Fail to get text. Pos:");
    std::string s(reinterpret_cast<const char*>(buf + pos), kNameSize);
    pos += kNameSize;
    return s;
}

void Utilities::get_bytes(const uint8_t* buf, std::size_t size, std::size_t& pos, uint8_t* dst, std::size_t n) {
    check(buf, size, pos, n, "Fail to get bytes. Pos:");
    if (n == 0) return;
    if (dst == nullptr) fail("Fail to get bytes. Pos:", pos, size);
    std::memcpy(dst, buf + pos, n);
    pos += n;
}

uint16_t Utilities::crc_value(const void* data, std::size_t length) {
    if (data == nullptr || length == 0) return 0;
    return detail::crc16_arc(0, static_cast<const uint8_t*>(data), length);
}

std::ptrdiff_t Utilities::find_frame(const void* data, std::size_t n) {
    if (data == nullptr || n <= kHeaderSize) return -1;
    const auto* p = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < n - kHeaderSize; ++i) {
        // The magic is 5 bytes; i < n - 7 leaves room for it and the length field.
        if (p[i] != 0xFF) {
            // Skip quickly to the next candidate start.
            const void* next = std::memchr(p + i, 0xFF, n - kHeaderSize - i);
            if (next == nullptr) break;
            i = static_cast<std::size_t>(static_cast<const uint8_t*>(next) - p);
        }
        if (std::memcmp(p + i, kFrameMagic, sizeof kFrameMagic) != 0) continue;
        const std::size_t len = read_u16(p + i + 5);
        // Frame end i + len + 9 must not exceed n; no sum can wrap (len <= 0xFFFF, i < n).
        if (len + kFrameOverhead > n - i) continue;
        const uint16_t crc = crc_value(p + i + kHeaderSize, len);
        const std::size_t at = i + kHeaderSize + len;
        if (p[at] == static_cast<uint8_t>(crc >> 8) && p[at + 1] == static_cast<uint8_t>(crc))
            return static_cast<std::ptrdiff_t>(i + 5);
    }
    return -1;
}

}  // namespace orvane_ipc
