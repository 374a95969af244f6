#pragma once
// Pieces shared by the command classes: starting and finishing a frame, and the DataCell
// wire form. Internal to the library.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orvane_ipc/data_cell.h"
#include "orvane_ipc/utilities.h"

namespace orvane_ipc::detail {

// Variable-length frame: 0 for a null buffer or fewer than 9 bytes. Otherwise writes the
// magic, leaves the length for finish_frame, writes the id and returns the position after it.
// `size` is cut to the largest frame the 16-bit length field can describe, so that a payload
// too large for it fails in the field writers instead of wrapping the length.
inline std::size_t begin_variable(uint8_t* buf, std::size_t& size, uint16_t id) {
    if (buf == nullptr || size < kFrameOverhead) return 0;
    size = std::min(size, kMaxFrame);
    std::size_t pos = 0;
    Utilities::fill_header(buf, size, pos);
    pos = kHeaderSize;
    Utilities::serial_u16(id, buf, size, pos);
    return pos;
}

// Fixed-length frame whose whole size was checked by the caller: header with L, then the id.
inline std::size_t begin_fixed(uint8_t* buf, std::size_t size, uint16_t payload_len, uint16_t id) {
    std::size_t pos = 0;
    Utilities::fill_header(buf, size, payload_len, pos);
    Utilities::serial_u16(id, buf, size, pos);
    return pos;
}

// Appends the CRC of the payload and stores its length; returns the frame length.
inline std::size_t finish_frame(uint8_t* buf, std::size_t size, std::size_t pos) {
    const std::size_t len = pos - kHeaderSize;
    Utilities::serial_u16(Utilities::crc_value(buf + kHeaderSize, len), buf, size, pos);
    buf[5] = static_cast<uint8_t>(len >> 8);
    buf[6] = static_cast<uint8_t>(len);
    return pos;
}

inline void write_cell(const DataCell& cell, uint8_t* buf, std::size_t size, std::size_t& pos) {
    Utilities::serial_u32(cell.timestamp, buf, size, pos);
    Utilities::serial_u16(static_cast<uint16_t>(cell.values.size()), buf, size, pos);
    for (const auto& [name, value] : cell.values) {
        Utilities::serial_measurement_name(name, buf, size, pos);
        Utilities::serial_f32(static_cast<float>(value), buf, size, pos);
    }
}

// Reads up to `count` pairs, stopping when fewer than 4 bytes remain.
inline void read_pairs(DataCell& cell, uint16_t count, const uint8_t* payload, std::size_t length,
                       std::size_t& pos) {
    // Room for the pairs the data can actually hold, never more than the count claims.
    const std::size_t room = pos < length ? (length - pos) / (kNameSize + 4) : 0;
    cell.values.reserve(cell.values.size() + std::min<std::size_t>(count, room));
    for (uint16_t k = 0; k < count; ++k) {
        if (pos > length || length - pos < 4) break;
        std::string name = Utilities::get_measurement_name(payload, length, pos);
        const float value = Utilities::get_f32_value(payload, length, pos);
        cell.values.emplace_back(std::move(name), static_cast<double>(value));
    }
}

// Shared by both sides: ModbusOperation.
inline std::size_t package_modbus(const std::vector<uint8_t>& frame, uint16_t id, uint8_t* buf,
                                  std::size_t size) {
    if (buf == nullptr || frame.size() > 0xFFFF - 4 || size < frame.size() + 13) return 0;
    const auto len = static_cast<uint16_t>(frame.size() + 4);
    std::size_t pos = begin_fixed(buf, size, len, id);
    Utilities::serial_u16(static_cast<uint16_t>(frame.size()), buf, size, pos);
    Utilities::serial_bytes(frame.data(), frame.size(), buf, size, pos);
    return finish_frame(buf, size, pos);
}

inline std::size_t unpackage_modbus(std::vector<uint8_t>& frame, const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const uint16_t n = Utilities::get_u16_value(payload, length, pos);
    std::vector<uint8_t> bytes;
    if (n <= length - pos) bytes.resize(n);  // no allocation for a count the data cannot hold
    Utilities::get_bytes(payload, length, pos, bytes.data(), n);
    frame = std::move(bytes);
    return pos;
}

inline void set_modbus(std::vector<uint8_t>& frame, uint16_t size, const uint8_t* bytes) {
    if (bytes == nullptr) size = 0;
    frame.assign(bytes, bytes + size);
}

inline std::size_t get_modbus(const std::vector<uint8_t>& frame, uint8_t* dst) {
    if (dst != nullptr && !frame.empty()) std::copy(frame.begin(), frame.end(), dst);
    return frame.size();
}

// Shared by both sides: SystemAlarm fields.
struct AlarmFields {
    uint32_t timestamp;
    uint16_t alarm_type;
    uint32_t pn;
    uint32_t sn;
};

inline std::size_t package_alarm(const AlarmFields& a, uint16_t id, uint8_t* buf, std::size_t size) {
    if (buf == nullptr || size < 25) return 0;
    std::size_t pos = begin_fixed(buf, size, 16, id);
    Utilities::serial_u32(a.timestamp, buf, size, pos);
    Utilities::serial_u16(a.alarm_type, buf, size, pos);
    Utilities::serial_u32(a.pn, buf, size, pos);
    Utilities::serial_u32(a.sn, buf, size, pos);
    return finish_frame(buf, size, pos);
}

inline std::size_t unpackage_alarm(AlarmFields& a, const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    a.timestamp = Utilities::get_u32_value(payload, length, pos);
    a.alarm_type = Utilities::get_u16_value(payload, length, pos);
    a.pn = Utilities::get_u32_value(payload, length, pos);
    a.sn = Utilities::get_u32_value(payload, length, pos);
    return pos;
}

}  // namespace orvane_ipc::detail
