#pragma once
// The twelve response classes. A sender builds one, sets its fields and packages it into a
// buffer it owns; a receiver gets a filled one from Service::response_analyze.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orvane_ipc/command_base.h"
#include "orvane_ipc/data_cell.h"

namespace orvane_ipc::response {

// Responses that carry nothing but their id. package needs 9 bytes to start and then room
// for each field (the whole frame is 11 bytes).
class FieldlessCommand : public CommandBase {
public:
    static constexpr std::size_t kFrameSize = 11;

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

protected:
    explicit FieldlessCommand(uint16_t id) noexcept : CommandBase(id) {}
};

// One DataCell: timestamp u32, pair count u16, then per pair a 32-byte name and an f32.
// Payload 8 + 36 per pair.
class CellCommand : public CommandBase {
public:
    std::size_t package(uint8_t* buf, std::size_t size) const override;
    // Pairs are appended to those already held; reading stops early (keeping what was read)
    // when fewer than 4 bytes remain.
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    const DataCell& cell() const noexcept { return cell_; }
    void cell(DataCell c) { cell_ = std::move(c); }

    bool operator==(const CellCommand&) const = default;

protected:
    explicit CellCommand(uint16_t id) noexcept : CommandBase(id) {}
    CellCommand(uint16_t id, DataCell c) : CommandBase(id), cell_(std::move(c)) {}

private:
    DataCell cell_;
};

// A list of DataCells: cell count u16, then each cell as in CellCommand.
// Payload 4 + per cell 6 + 36 per pair.
class CellListCommand : public CommandBase {
public:
    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    std::size_t count() const noexcept { return cells_.size(); }
    // Throw std::out_of_range for i outside [0, count()).
    const DataCell& cell(int i) const { return cells_.at(static_cast<std::size_t>(i)); }
    void cell(int i, DataCell c) { cells_.at(static_cast<std::size_t>(i)) = std::move(c); }
    // Appends a cell.
    void cell(DataCell c) { cells_.push_back(std::move(c)); }
    const std::vector<DataCell>& cells() const noexcept { return cells_; }

    bool operator==(const CellListCommand&) const = default;

protected:
    explicit CellListCommand(uint16_t id) noexcept : CommandBase(id) {}

private:
    std::vector<DataCell> cells_;
};

class LatestSensorData : public CellCommand {
public:
    static constexpr uint16_t kCommandId = 1;
    LatestSensorData() noexcept : CellCommand(kCommandId) {}
    explicit LatestSensorData(DataCell c) : CellCommand(kCommandId, std::move(c)) {}
    bool operator==(const LatestSensorData&) const = default;
};

class HistoricalSensorData : public CellListCommand {
public:
    static constexpr uint16_t kCommandId = 2;
    HistoricalSensorData() noexcept : CellListCommand(kCommandId) {}
    bool operator==(const HistoricalSensorData&) const = default;
};

class LatestControllerData : public CellCommand {
public:
    static constexpr uint16_t kCommandId = 3;
    LatestControllerData() noexcept : CellCommand(kCommandId) {}
    explicit LatestControllerData(DataCell c) : CellCommand(kCommandId, std::move(c)) {}
    bool operator==(const LatestControllerData&) const = default;
};

class HistoricalControllerData : public CellListCommand {
public:
    static constexpr uint16_t kCommandId = 4;
    HistoricalControllerData() noexcept : CellListCommand(kCommandId) {}
    bool operator==(const HistoricalControllerData&) const = default;
};

// uptime u32, cpu_usage f32, memory_remaining f32, storage_remaining f32 (payload 18).
class SystemLiveValue : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 5;
    static constexpr std::size_t kPayloadSize = 18;

    SystemLiveValue() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    // 0 (nothing read) for a payload below 18 bytes.
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint32_t uptime() const noexcept { return uptime_; }
    void uptime(uint32_t v) noexcept { uptime_ = v; }
    float cpu_usage() const noexcept { return cpu_usage_; }
    void cpu_usage(float v) noexcept { cpu_usage_ = v; }
    float memory_remaining() const noexcept { return memory_remaining_; }
    void memory_remaining(float v) noexcept { memory_remaining_ = v; }
    float storage_remaining() const noexcept { return storage_remaining_; }
    void storage_remaining(float v) noexcept { storage_remaining_ = v; }

    bool operator==(const SystemLiveValue&) const = default;

private:
    uint32_t uptime_ = 0;
    float cpu_usage_ = 0;
    float memory_remaining_ = 0;
    float storage_remaining_ = 0;
};

// carrier_name, imsi, sw_version (32-byte raw text fields), sys_uptime u32, then ten f32.
// Payload 142, frame 151.
class LTEInformation : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 10;
    static constexpr std::size_t kPayloadSize = 142;
    static constexpr std::size_t kMinUnpackage = 130;

    LTEInformation() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    // 0 (nothing read) for a payload below 130 bytes. Each text comes back as exactly 32
    // characters, zero padding included.
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    std::string carrier_name() const { return carrier_name_; }
    void carrier_name(std::string v) { carrier_name_ = std::move(v); }
    std::string imsi() const { return imsi_; }
    void imsi(std::string v) { imsi_ = std::move(v); }
    std::string sw_version() const { return sw_version_; }
    void sw_version(std::string v) { sw_version_ = std::move(v); }
    uint32_t sys_uptime() const noexcept { return sys_uptime_; }
    void sys_uptime(uint32_t v) noexcept { sys_uptime_ = v; }
    float signal_rssi() const noexcept { return signal_rssi_; }
    void signal_rssi(float v) noexcept { signal_rssi_ = v; }
    float signal_rsrp() const noexcept { return signal_rsrp_; }
    void signal_rsrp(float v) noexcept { signal_rsrp_ = v; }
    float signal_sinr() const noexcept { return signal_sinr_; }
    void signal_sinr(float v) noexcept { signal_sinr_ = v; }
    float signal_rsrq() const noexcept { return signal_rsrq_; }
    void signal_rsrq(float v) noexcept { signal_rsrq_ = v; }
    float data_usage_cycle_rx_mb() const noexcept { return data_usage_cycle_rx_mb_; }
    void data_usage_cycle_rx_mb(float v) noexcept { data_usage_cycle_rx_mb_ = v; }
    float data_usage_cycle_tx_mb() const noexcept { return data_usage_cycle_tx_mb_; }
    void data_usage_cycle_tx_mb(float v) noexcept { data_usage_cycle_tx_mb_ = v; }
    float data_usage_total_rx_mb() const noexcept { return data_usage_total_rx_mb_; }
    void data_usage_total_rx_mb(float v) noexcept { data_usage_total_rx_mb_ = v; }
    float data_usage_total_tx_mb() const noexcept { return data_usage_total_tx_mb_; }
    void data_usage_total_tx_mb(float v) noexcept { data_usage_total_tx_mb_ = v; }
    float latitude() const noexcept { return latitude_; }
    void latitude(float v) noexcept { latitude_ = v; }
    float longitude() const noexcept { return longitude_; }
    void longitude(float v) noexcept { longitude_ = v; }

    bool operator==(const LTEInformation&) const = default;

private:
    std::string carrier_name_;
    std::string imsi_;
    std::string sw_version_;
    uint32_t sys_uptime_ = 0;
    float signal_rssi_ = 0;
    float signal_rsrp_ = 0;
    float signal_sinr_ = 0;
    float signal_rsrq_ = 0;
    float data_usage_cycle_rx_mb_ = 0;
    float data_usage_cycle_tx_mb_ = 0;
    float data_usage_total_rx_mb_ = 0;
    float data_usage_total_tx_mb_ = 0;
    float latitude_ = 0;
    float longitude_ = 0;
};

class SystemReload : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 17;
    SystemReload() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemReload&) const = default;
};

// Same fields and frame as request::ModbusOperation.
class ModbusOperation : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 33;
    static constexpr std::size_t kMaxModbusFrame = 0xFFFF - 4;

    ModbusOperation() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    uint16_t modbus_frame_size() const noexcept { return static_cast<uint16_t>(frame_.size()); }
    std::size_t get_modbus_frame(uint8_t* dst) const;
    void set_modbus_frame(uint16_t size, const uint8_t* bytes);
    const std::vector<uint8_t>& modbus_frame() const noexcept { return frame_; }

    bool operator==(const ModbusOperation&) const = default;

private:
    std::vector<uint8_t> frame_;
};

// Same fields and frame as request::SystemAlarm.
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

// The upgrade order gets no reply; the class exists for completeness.
class SystemUpdate : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 97;
    SystemUpdate() noexcept : FieldlessCommand(kCommandId) {}
    bool operator==(const SystemUpdate&) const = default;
};

// progress f32 (percent, 0 to 100), then error_code u32 (0 none, 1 download, 2 checksum,
// 3 unpack, 4 command, 5 work folder). Payload 10.
class SystemUpdateStatus : public CommandBase {
public:
    static constexpr uint16_t kCommandId = 98;

    SystemUpdateStatus() noexcept : CommandBase(kCommandId) {}

    std::size_t package(uint8_t* buf, std::size_t size) const override;
    std::size_t unpackage(const uint8_t* payload, std::size_t length) override;

    float progress() const noexcept { return progress_; }
    void progress(float v) noexcept { progress_ = v; }
    uint32_t error_code() const noexcept { return error_code_; }
    void error_code(uint32_t v) noexcept { error_code_ = v; }

    bool operator==(const SystemUpdateStatus&) const = default;

private:
    float progress_ = 0;
    uint32_t error_code_ = 0;
};

// Nobody sends it: package writes nothing and returns 0. A received frame (payload = the id
// alone) is analysed like any field-less response.
class SystemReboot : public FieldlessCommand {
public:
    static constexpr uint16_t kCommandId = 81;
    SystemReboot() noexcept : FieldlessCommand(kCommandId) {}
    std::size_t package(uint8_t* buf, std::size_t size) const override;
    bool operator==(const SystemReboot&) const = default;
};

}  // namespace orvane_ipc::response
