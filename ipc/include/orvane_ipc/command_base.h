#pragma once
// The two abstract bases of the command classes, and the command ids with their names.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvane_ipc {

// Command ids as they travel in the first two bytes of the payload.
enum class CommandId : uint16_t {
    LatestSensorData = 1,
    HistoricalSensorData = 2,
    LatestControllerData = 3,
    HistoricalControllerData = 4,
    SystemLiveValue = 5,
    LTEInformation = 10,
    SystemReload = 17,
    ModbusOperation = 33,
    SystemAlarm = 49,
    SystemReboot = 81,
    SystemUpdate = 97,
    SystemUpdateStatus = 98,
};

// Every command id, in the index order of RequestVariant / ResponseVariant.
inline constexpr CommandId kCommandIds[] = {
    CommandId::LatestSensorData,   CommandId::HistoricalSensorData, CommandId::LatestControllerData,
    CommandId::HistoricalControllerData, CommandId::SystemLiveValue, CommandId::LTEInformation,
    CommandId::SystemReload,       CommandId::ModbusOperation,      CommandId::SystemAlarm,
    CommandId::SystemUpdate,       CommandId::SystemUpdateStatus,   CommandId::SystemReboot,
};

// Name of a command id for logs; "Unknown" for any other value.
constexpr std::string_view command_name(uint16_t id) {
    switch (static_cast<CommandId>(id)) {
        case CommandId::LatestSensorData: return "LatestSensorData";
        case CommandId::HistoricalSensorData: return "HistoricalSensorData";
        case CommandId::LatestControllerData: return "LatestControllerData";
        case CommandId::HistoricalControllerData: return "HistoricalControllerData";
        case CommandId::SystemLiveValue: return "SystemLiveValue";
        case CommandId::LTEInformation: return "LTEInformation";
        case CommandId::SystemReload: return "SystemReload";
        case CommandId::ModbusOperation: return "ModbusOperation";
        case CommandId::SystemAlarm: return "SystemAlarm";
        case CommandId::SystemReboot: return "SystemReboot";
        case CommandId::SystemUpdate: return "SystemUpdate";
        case CommandId::SystemUpdateStatus: return "SystemUpdateStatus";
    }
    return "Unknown";
}

namespace request {

class CommandBase {
public:
    explicit CommandBase(uint16_t id) noexcept : command_id_(id) {}
    virtual ~CommandBase();

    // Writes one whole frame at buf[0] and returns its length; 0 (nothing written) for a null
    // buffer or a buffer below the class's minimum. Variable-length commands may throw
    // std::out_of_range partway through when the buffer is too small for their fields.
    virtual std::size_t package(uint8_t* buf, std::size_t size) const = 0;
    // Reads the fields from a payload (command id first, not checked against the class).
    // Returns the position after the last field read; 0 for a null payload or length < 2.
    // Throws std::out_of_range when the payload is shorter than its fields.
    virtual std::size_t unpackage(const uint8_t* payload, std::size_t length) = 0;

    uint16_t command_id() const noexcept { return command_id_; }
    void command_id(uint16_t id) noexcept { command_id_ = id; }

    bool operator==(const CommandBase&) const = default;

protected:
    CommandBase(const CommandBase&) = default;
    CommandBase(CommandBase&&) = default;
    CommandBase& operator=(const CommandBase&) = default;
    CommandBase& operator=(CommandBase&&) = default;

private:
    uint16_t command_id_;
};

}  // namespace request

namespace response {

class CommandBase {
public:
    explicit CommandBase(uint16_t id) noexcept : command_id_(id) {}
    virtual ~CommandBase();

    // Same contract as request::CommandBase.
    virtual std::size_t package(uint8_t* buf, std::size_t size) const = 0;
    virtual std::size_t unpackage(const uint8_t* payload, std::size_t length) = 0;

    uint16_t command_id() const noexcept { return command_id_; }
    void command_id(uint16_t id) noexcept { command_id_ = id; }

    bool operator==(const CommandBase&) const = default;

protected:
    CommandBase(const CommandBase&) = default;
    CommandBase(CommandBase&&) = default;
    CommandBase& operator=(const CommandBase&) = default;
    CommandBase& operator=(CommandBase&&) = default;

private:
    uint16_t command_id_;
};

}  // namespace response
}  // namespace orvane_ipc
