#pragma once
// One timestamped set of readings: the record that travels in LatestSensorData and
// HistoricalSensorData. Plain data, no operations.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orvane_ipc {

struct DataCell {
    uint32_t timestamp = 0;                               // Unix seconds of the readings
    std::vector<std::pair<std::string, double>> values;  // name and value, in insertion order

    bool operator==(const DataCell&) const = default;
};

}  // namespace orvane_ipc
