#include "orvane_ipc/request.h"

#include <algorithm>
#include <cstring>

#include "frame_parts.h"

namespace orvane_ipc::request {

using detail::begin_fixed;
using detail::finish_frame;

CommandBase::~CommandBase() = default;

// ---- field-less requests ------------------------------------------------------------------

std::size_t FieldlessCommand::package(uint8_t* buf, std::size_t size) const {
    if (buf == nullptr || size < kFrameSize) return 0;
    const std::size_t pos = begin_fixed(buf, size, 2, command_id());
    return finish_frame(buf, size, pos);
}

std::size_t FieldlessCommand::unpackage(const uint8_t* payload, std::size_t length) {
    return (payload == nullptr || length < 2) ? 0 : 2;
}

// ---- time-range requests ------------------------------------------------------------------

std::size_t TimeRangeCommand::package(uint8_t* buf, std::size_t size) const {
    if (buf == nullptr || size < kFrameSize) return 0;
    std::size_t pos = begin_fixed(buf, size, 12, command_id());
    Utilities::serial_u32(start_time_, buf, size, pos);
    Utilities::serial_u32(end_time_, buf, size, pos);
    Utilities::serial_u16(interval_, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t TimeRangeCommand::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const uint32_t start = Utilities::get_u32_value(payload, length, pos);
    const uint32_t end = Utilities::get_u32_value(payload, length, pos);
    const uint16_t interval = Utilities::get_u16_value(payload, length, pos);
    start_time_ = start;
    end_time_ = end;
    interval_ = interval;
    return pos;
}

// ---- ModbusOperation ----------------------------------------------------------------------

std::size_t ModbusOperation::package(uint8_t* buf, std::size_t size) const {
    return detail::package_modbus(frame_, command_id(), buf, size);
}

std::size_t ModbusOperation::unpackage(const uint8_t* payload, std::size_t length) {
    return detail::unpackage_modbus(frame_, payload, length);
}

std::size_t ModbusOperation::get_modbus_frame(uint8_t* dst) const { return detail::get_modbus(frame_, dst); }

void ModbusOperation::set_modbus_frame(uint16_t size, const uint8_t* bytes) {
    detail::set_modbus(frame_, size, bytes);
}

// ---- SystemAlarm --------------------------------------------------------------------------

std::size_t SystemAlarm::package(uint8_t* buf, std::size_t size) const {
    return detail::package_alarm({timestamp_, alarm_type_, alarm_device_pn_, alarm_device_sn_}, command_id(),
                                 buf, size);
}

std::size_t SystemAlarm::unpackage(const uint8_t* payload, std::size_t length) {
    detail::AlarmFields a{};
    const std::size_t pos = detail::unpackage_alarm(a, payload, length);
    if (pos == 0) return 0;
    timestamp_ = a.timestamp;
    alarm_type_ = a.alarm_type;
    alarm_device_pn_ = a.pn;
    alarm_device_sn_ = a.sn;
    return pos;
}

// ---- SystemUpdate -------------------------------------------------------------------------

std::size_t SystemUpdate::package(uint8_t* buf, std::size_t size) const {
    if (buf == nullptr || size < kFrameSize) return 0;
    std::size_t pos = begin_fixed(buf, size, 36, command_id());
    Utilities::serial_u16(firmware_source_, buf, size, pos);
    // Written like strncpy with a count of 32: whatever the field holds after its first zero
    // goes out as zeros.
    Utilities::serial_raw_text(std::string_view(file_name_.data(), kFileNameSize), buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t SystemUpdate::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const uint16_t source = Utilities::get_u16_value(payload, length, pos);
    std::array<char, kFileNameSize> name{};
    for (auto& c : name) c = static_cast<char>(Utilities::get_char_value(payload, length, pos));
    firmware_source_ = source;
    file_name_ = name;
    return pos;
}

void SystemUpdate::file_name(const char* text, unsigned length) noexcept {
    const std::size_t count = std::min<std::size_t>(length, kFileNameSize);
    std::size_t n = 0;
    if (text != nullptr)
        while (n < count && text[n] != '\0') ++n;
    if (n > 0) std::memcpy(file_name_.data(), text, n);
    std::fill(file_name_.begin() + static_cast<std::ptrdiff_t>(n),
              file_name_.begin() + static_cast<std::ptrdiff_t>(count), '\0');
}

std::string SystemUpdate::file_name_string() const {
    const auto end = std::find(file_name_.begin(), file_name_.end(), '\0');
    return std::string(file_name_.begin(), end);
}

}  // namespace orvane_ipc::request
