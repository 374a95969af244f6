#pragma once
// What the data collector holds between uploads.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cloud_daemon::domain::entities {

// One set of readings: local time text and the (name, value) pairs in the order received.
struct DeviceValue {
    std::string time;
    std::vector<std::pair<std::string, double>> values;
};

// The last cellular status pushed by the gateway program.
struct CellularSnapshot {
    std::string carrier;
    std::string imsi;
    std::string swver;
    uint32_t uptime = 0;
    float rssi = 0;
    float rsrp = 0;
    float sinr = 0;
    float rsrq = 0;
    float cycleRxMB = 0;
    float cycleTxMB = 0;
    float totalRxMB = 0;
    float totalTxMB = 0;
    float latitude = 0;
    float longitude = 0;
};

// The source of a firmware upgrade order, as it travels in SystemUpdate.
enum class SystemUpgradeMethod : uint16_t { scp = 2, tftp = 3 };

constexpr std::string_view systemUpgradeMethodName(SystemUpgradeMethod m) {
    switch (m) {
        case SystemUpgradeMethod::scp: return "scp";
        case SystemUpgradeMethod::tftp: return "tftp";
    }
    return {};
}

}  // namespace cloud_daemon::domain::entities
