#pragma once
// The twelve request classes. A sender builds one, sets its fields and packages it into a
// buffer it owns; a receiver gets a filled one from Service::request_analyze.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orvane_ipc/command_base.h"

namespace orvane_ipc::request {

// Requests that carry nothing but their id: payload of 2 bytes, frame of 11.
class FieldlessCommand : public CommandBase {
public:
    static constexpr std::size_t kFrameSize = 11;

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

protected:
    explicit FieldlessCommand(uint16_t id) noexcept : CommandBase(id) {}
};

// Requests for a time range: start_time u32, end_time u32 (Unix seconds), interval u16
// (seconds). Payload of 12 bytes, frame of 21.
class TimeRangeCommand : public CommandBase {
public:
    static constexpr std::size_t kFrameSize = 21;

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint32_t start_time() const noexcept { return start_time_; }
    void start_time(uint32_t v) noexcept { start_time_ = v; }
    uint32_t end_time() const noexcept { return end_time_; }
    void end_time(uint32_t v) noexcept { end_time_ = v; }
    uint16_t interval() const noexcept { return interval_; }
    void interval(uint16_t v) noexcept { interval_ = v; }

    bool operator==(const TimeRangeCommand&) const = default;

protected:
    explicit TimeRangeCommand(uint16_t id) noexcept : CommandBase(id) {}

private:
    uint32_t start_time_ = 0;
    uint32_t end_time_ = 0;
    uint16_t interval_ = 0;
};

class LatestSensorData : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 1;
    LatestSensorData() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const LatestSensorData&) const = default;
};

class HistoricalSensorData : public TimeRangeCommand {
public:
    static constexpr uint16_t kCommandId = 2;
    HistoricalSensorData() noexcept : TimeRangeCommand(kCommandId) {}
    bool operator==(const HistoricalSensorData&) const = default;
};

class LatestControllerData : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 3;
    LatestControllerData() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const LatestControllerData&) const = default;
};

class HistoricalControllerData : public TimeRangeCommand {
public:
    static constexpr uint16_t kCommandId = 4;
    HistoricalControllerData() noexcept : TimeRangeCommand(kCommandId) {}
    bool operator==(const HistoricalControllerData&) const = default;
};

class SystemLiveValue : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 5;
    SystemLiveValue() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemLiveValue&) const = default;
};

class LTEInformation : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 10;
    LTEInformation() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const LTEInformation&) const = default;
};

class SystemReload : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 17;
    SystemReload() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemReload&) const = default;
};

// A Modbus frame carried as it is: size u16, then the bytes. Frame of size + 13 bytes.
class ModbusOperation : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 33;
    // Largest frame whose payload (size + 4) still fits the 16-bit length field.
    static constexpr std::size_t kMaxModbusFrame = 0xFFFF - 4;

    ModbusOperation() noexcept : CommandBase(kCommandId) {}

    // 0 for a null buffer, a buffer below modbus_frame_size() + 13, or a frame too long for
    // the length field (more than kMaxModbusFrame bytes).
    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint16_t modbus_frame_size() const noexcept { return static_cast<uint16_t>(frame_.size()); }
    // Copies the bytes to dst (when dst is not null) and returns their count.
    std::size_t get_modbus_frame(uint8_t* dst) const;
    // Replaces the bytes with a copy of size bytes (none when bytes is null).
    void set_modbus_frame(uint16_t size, const uint8_t* bytes);
    const std::vector<uint8_t>& modbus_frame() const noexcept { return frame_; }

    bool operator==(const ModbusOperation&) const = default;

private:
    std::vector<uint8_t> frame_;
};

// timestamp u32, alarm_type u16, alarm_device_pn u32, alarm_device_sn u32. Frame of 25 bytes.
class SystemAlarm : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 49;
    static constexpr std::size_t kFrameSize = 25;

    SystemAlarm() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint32_t timestamp() const noexcept { return timestamp_; }
    void timestamp(uint32_t v) noexcept { timestamp_ = v; }
    uint16_t alarm_type() const noexcept { return alarm_type_; }
    void alarm_type(uint16_t v) noexcept { alarm_type_ = v; }
    uint32_t alarm_device_pn() const noexcept { return alarm_device_pn_; }
    void alarm_device_pn(uint32_t v) noexcept { alarm_device_pn_ = v; }
    uint32_t alarm_device_sn() const noexcept { return alarm_device_sn_; }
    void alarm_device_sn(uint32_t v) noexcept { alarm_device_sn_ = v; }

    bool operator==(const SystemAlarm&) const = default;

private:
    uint32_t timestamp_ = 0;
    uint16_t alarm_type_ = 0;
    uint32_t alarm_device_pn_ = 0;
    uint32_t alarm_device_sn_ = 0;
};

// firmware_source u16 (2 = scp, 3 = tftp), then the file name as a 32-byte raw text field.
// Frame of 45 bytes.
class SystemUpdate : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 97;
    static constexpr std::size_t kFrameSize = 45;
    static constexpr std::size_t kFileNameSize = 32;

    SystemUpdate() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint16_t firmware_source() const noexcept { return firmware_source_; }
    void firmware_source(uint16_t v) noexcept { firmware_source_ = v; }

    // The 32-byte field; no terminating zero when the name fills it: read at most 32 bytes up
    // to the first zero (or use file_name_string()).
    const char* file_name() const noexcept { return file_name_.data(); }
    // Copies min(length, 32) bytes like strncpy: stops at a zero byte of the text and zero
    // fills the rest of that count; bytes of the field past the count are kept. A null text
    // counts as an empty one.
    void file_name(const char* text, unsigned length) noexcept;
    // The name as a string: at most 32 bytes, up to the first zero.
    std::string file_name_string() const;

    bool operator==(const SystemUpdate&) const = default;

private:
    uint16_t firmware_source_ = 0;
    std::array<char, kFileNameSize> file_name_{};
};

class SystemUpdateStatus : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 98;
    SystemUpdateStatus() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemUpdateStatus&) const = default;
};

class SystemReboot : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 81;
    SystemReboot() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemReboot&) const = default;
};

}  // namespace orvane_ipc::request
