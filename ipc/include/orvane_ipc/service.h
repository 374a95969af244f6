#pragma once
// Turning received bytes into command objects.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "orvane_ipc/request.h"
#include "orvane_ipc/response.h"

namespace orvane_ipc {

// The index order is part of the interface: receivers switch on index().
//   0 LatestSensorData (1)      4 SystemLiveValue (5)    8 SystemAlarm (49)
//   1 HistoricalSensorData (2)  5 LTEInformation (10)    9 SystemUpdate (97)
//   2 LatestControllerData (3)  6 SystemReload (17)     10 SystemUpdateStatus (98)
//   3 HistoricalControllerData (4) 7 ModbusOperation (33) 11 SystemReboot (81)
using RequestVariant =
    std::variant<request::LatestSensorData, request::HistoricalSensorData, request::LatestControllerData,
                 request::HistoricalControllerData, request::SystemLiveValue, request::LTEInformation,
                 request::SystemReload, request::ModbusOperation, request::SystemAlarm,
                 request::SystemUpdate, request::SystemUpdateStatus, request::SystemReboot>;

using ResponseVariant =
    std::variant<response::LatestSensorData, response::HistoricalSensorData, response::LatestControllerData,
                 response::HistoricalControllerData, response::SystemLiveValue, response::LTEInformation,
                 response::SystemReload, response::ModbusOperation, response::SystemAlarm,
                 response::SystemUpdate, response::SystemUpdateStatus, response::SystemReboot>;

class Service {
public:
    // Finds the first valid frame in data[0, n) and decodes it. Empty when there is no valid
    // frame, when its payload is too short to hold a command id, or when the id is unknown.
    // Throws std::out_of_range when a frame of a known id passed its CRC but its payload is
    // too short for the command's fields: the caller catches it at its edge.
    static std::optional<RequestVariant> request_analyze(const void* data, std::size_t n);
    static std::optional<ResponseVariant> response_analyze(const void* data, std::size_t n);
};

// One command packaged into a frame of its own size; empty when the command does not
// package (the response SystemReboot, a Modbus frame too long to send). Throws
// std::out_of_range when the payload is too large for the 16-bit length field.
std::vector<uint8_t> to_frame(const request::CommandBase& command);
std::vector<uint8_t> to_frame(const response::CommandBase& command);

// The held command through its base (for command_id() or package()).
inline const request::CommandBase& command_of(const RequestVariant& v) {
    return std::visit([](const auto& c) -> const request::CommandBase& { return c; }, v);
}
inline const response::CommandBase& command_of(const ResponseVariant& v) {
    return std::visit([](const auto& c) -> const response::CommandBase& { return c; }, v);
}

}  // namespace orvane_ipc
