#pragma once
// Operator-panel (HMI) command block of the Modbus TCP server. Its members are registered by
// name in the register table (fillHMIVar in exportvar.h): probeId at register 2991, command at
// 2992, the result texts from 1201, the diagnosis values from 1501, the scan progress at 1551,
// the first ten scan-result slots from 1601, the replacement arguments from 1901 and the
// manual-add arguments from 1910. An HMI writes the arguments and then the command register.
// The block is plain data owned by the server; only the server thread touches it.
#include <array>
#include <cstdint>

#include "utils/fss.h"

inline constexpr int kHmiDiagnValues = 20;
inline constexpr int kHmiScanSlots = 20;
// Scan-result slots that have register addresses (slots 10 and above would overlap oldPN).
inline constexpr int kHmiRegisteredScanSlots = 10;

// One probe found by a bus scan, as the HMI sees it.
struct HmiScanResultSlot {
    fss::basic_str<char, 16> type;   // model type text
    fss::basic_str<char, 32> name;   // model name
    uint32_t sn = 0;                 // serial number
    uint16_t addr = 0;               // address at which the scan found the probe
    uint16_t suggestedAddr = 0;      // address the probe is to get
    uint16_t enable = 0;             // non-zero: take this probe in an add-batch command
    uint32_t pn = 0;                 // part number the scan read (not a register)
};

struct HmiCommandBlock {
    uint16_t probeId = 0;    // probe slot counted from 1
    uint16_t command = 0;    // command code (HMIProbeCmdType values and calibrations)
    float parameter = 0;     // the command's numeric argument
    fss::basic_str<char, 32> custName;  // new custom name
    uint16_t status = 0;     // 0 idle or refused, 1 accepted and running, 2 finished
    uint16_t result = 0;     // with status 2: 2 success, 1 failure, 20 no matching calibration
    fss::basic_str<char, 128> message;  // text result of the last calibration
    uint16_t diagNum = 0;    // number of diagnosis values available
    std::array<float, kHmiDiagnValues> diagn{};
    uint16_t scanPercent = 0;
    uint16_t scanNum = 0;
    std::array<HmiScanResultSlot, kHmiScanSlots> scanResults{};
    uint32_t oldPN = 0;      // probe replacement arguments
    uint32_t oldSN = 0;
    uint32_t newPN = 0;
    uint32_t newSN = 0;
    uint16_t newModbusAddr = 0;
    uint32_t PN = 0;         // manual-add arguments
    uint16_t modbusAddr = 0;
};
