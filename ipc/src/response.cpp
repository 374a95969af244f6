#include "orvane_ipc/response.h"

#include "frame_parts.h"

namespace orvane_ipc::response {

using detail::begin_variable;
using detail::finish_frame;

CommandBase::~CommandBase() = default;

// ---- field-less responses -----------------------------------------------------------------

std::size_t FieldlessCommand::package(uint8_t* buf, std::size_t size) const {
    const std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    return finish_frame(buf, size, pos);
}

std::size_t FieldlessCommand::unpackage(const uint8_t* payload, std::size_t length) {
    return (payload == nullptr || length < 2) ? 0 : 2;
}

std::size_t SystemReboot::package(uint8_t*, std::size_t) const { return 0; }

// ---- one cell -----------------------------------------------------------------------------

std::size_t CellCommand::package(uint8_t* buf, std::size_t size) const {
    std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    detail::write_cell(cell_, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t CellCommand::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const uint32_t timestamp = Utilities::get_u32_value(payload, length, pos);
    const uint16_t count = Utilities::get_u16_value(payload, length, pos);
    const uint32_t old_timestamp = cell_.timestamp;
    const std::size_t old_size = cell_.values.size();
    cell_.timestamp = timestamp;
    try {
        detail::read_pairs(cell_, count, payload, length, pos);
    } catch (...) {  // leave the object as it was
        cell_.timestamp = old_timestamp;
        cell_.values.resize(old_size);
        throw;
    }
    return pos;
}

// ---- list of cells ------------------------------------------------------------------------

std::size_t CellListCommand::package(uint8_t* buf, std::size_t size) const {
    std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    Utilities::serial_u16(static_cast<uint16_t>(cells_.size()), buf, size, pos);
    for (const DataCell& c : cells_) detail::write_cell(c, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t CellListCommand::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const uint16_t cells = Utilities::get_u16_value(payload, length, pos);
    const std::size_t old_size = cells_.size();
    try {
        for (uint16_t k = 0; k < cells; ++k) {
            DataCell cell;
            cell.timestamp = Utilities::get_u32_value(payload, length, pos);
            const uint16_t count = Utilities::get_u16_value(payload, length, pos);
            detail::read_pairs(cell, count, payload, length, pos);
            cells_.push_back(std::move(cell));
        }
    } catch (...) {  // leave the object as it was
        cells_.resize(old_size);
        throw;
    }
    return pos;
}

// ---- SystemLiveValue ----------------------------------------------------------------------

std::size_t SystemLiveValue::package(uint8_t* buf, std::size_t size) const {
    std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    Utilities::serial_u32(uptime_, buf, size, pos);
    Utilities::serial_f32(cpu_usage_, buf, size, pos);
    Utilities::serial_f32(memory_remaining_, buf, size, pos);
    Utilities::serial_f32(storage_remaining_, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t SystemLiveValue::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < kPayloadSize) return 0;
    std::size_t pos = 2;
    uptime_ = Utilities::get_u32_value(payload, length, pos);
    cpu_usage_ = Utilities::get_f32_value(payload, length, pos);
    memory_remaining_ = Utilities::get_f32_value(payload, length, pos);
    storage_remaining_ = Utilities::get_f32_value(payload, length, pos);
    return pos;
}

// ---- LTEInformation -----------------------------------------------------------------------

std::size_t LTEInformation::package(uint8_t* buf, std::size_t size) const {
    std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    Utilities::serial_raw_text(carrier_name_, buf, size, pos);
    Utilities::serial_raw_text(imsi_, buf, size, pos);
    Utilities::serial_raw_text(sw_version_, buf, size, pos);
    Utilities::serial_u32(sys_uptime_, buf, size, pos);
    for (float v : {signal_rssi_, signal_rsrp_, signal_sinr_, signal_rsrq_, data_usage_cycle_rx_mb_,
                    data_usage_cycle_tx_mb_, data_usage_total_rx_mb_, data_usage_total_tx_mb_, latitude_,
                    longitude_})
        Utilities::serial_f32(v, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t LTEInformation::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < kMinUnpackage) return 0;
    std::size_t pos = 2;
    LTEInformation r;
    r.carrier_name_ = Utilities::get_raw_text(payload, length, pos);
    r.imsi_ = Utilities::get_raw_text(payload, length, pos);
    r.sw_version_ = Utilities::get_raw_text(payload, length, pos);
    r.sys_uptime_ = Utilities::get_u32_value(payload, length, pos);
    for (float* f : {&r.signal_rssi_, &r.signal_rsrp_, &r.signal_sinr_, &r.signal_rsrq_,
                     &r.data_usage_cycle_rx_mb_, &r.data_usage_cycle_tx_mb_, &r.data_usage_total_rx_mb_,
                     &r.data_usage_total_tx_mb_, &r.latitude_, &r.longitude_})
        *f = Utilities::get_f32_value(payload, length, pos);
    r.command_id(command_id());
    *this = std::move(r);
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

// ---- SystemUpdateStatus -------------------------------------------------------------------

std::size_t SystemUpdateStatus::package(uint8_t* buf, std::size_t size) const {
    std::size_t pos = begin_variable(buf, size, command_id());
    if (pos == 0) return 0;
    Utilities::serial_f32(progress_, buf, size, pos);
    Utilities::serial_u32(error_code_, buf, size, pos);
    return finish_frame(buf, size, pos);
}

std::size_t SystemUpdateStatus::unpackage(const uint8_t* payload, std::size_t length) {
    if (payload == nullptr || length < 2) return 0;
    std::size_t pos = 2;
    const float progress = Utilities::get_f32_value(payload, length, pos);
    const uint32_t code = Utilities::get_u32_value(payload, length, pos);
    progress_ = progress;
    error_code_ = code;
    return pos;
}

}  // namespace orvane_ipc::response
