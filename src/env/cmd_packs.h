#pragma once
// Probe command packs that travel through the one-slot mailbox of EnvGuard, the status values
// the probe service writes back, and the records of a bus scan and of an address-change batch.
// All packs are plain data, copied by value.
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <variant>
#include <vector>

#include "utils/fss.h"

// The empty mailbox slot.
struct NoneCmdPack {};

struct CalbCmdPack {
    uint32_t probeId = 0;   // index of the probe item in the recipe probe list, 0..127
    int32_t idxCal = -1;    // calibration index inside the probe definition
    float solution = 0.0f;  // value of the calibration solution
};

struct RestoreCmdPack {
    uint32_t probeId = 0;  // probe item index
};

// Kinds of ConfigCmdPack::cmdType.
inline constexpr uint32_t CONFIG_CMD_CHANGE_ADDR = 4;  // change the Modbus address to newAddr
inline constexpr uint32_t CONFIG_CMD_SPAN_4_20MA = 5;  // write the 4-20 mA span (mA_4, mA_20)
inline constexpr uint32_t CONFIG_CMD_CUSTOM_NAME = 7;  // custom name (applied to the recipe only)
inline constexpr uint32_t CONFIG_CMD_WRITE_VALUE = 8;  // write value to the Config item param

struct ConfigCmdPack {
    uint32_t probeId = 0;   // probe item index
    int32_t param = -1;     // Config item index of the definition, -1 none
    float value = 0.0f;     // value to write (kind 8)
    fss::str32 custName;    // custom name (kind 7)
    uint32_t cmdType = 0;   // CONFIG_CMD_...
    int32_t newAddr = -1;   // address to set for kind 4, else -1
    int32_t curAddr = -1;   // present address of the probe (-1 = that of the probe list entry)
    uint32_t reserved = 0;  // part number of the probe whose address changed (see updateProbeConfig)
    float mA_4 = std::numeric_limits<float>::quiet_NaN();   // NaN = leave unchanged
    float mA_20 = std::numeric_limits<float>::quiet_NaN();  // NaN = leave unchanged
    int32_t resultAddr = -1;  // written by the probe service: the probe's address afterwards
    uint32_t resultPN = 0;    // written by the probe service: the probe item's part number
};

struct ChangeAddrItemPack {
    int32_t addr = 0;     // address at which the scan found the probe; 0 ends the batch
    int32_t newAddr = 0;  // address the probe is to get (0 or less: leave it)
    int64_t pn = 0;       // part number
};

inline constexpr size_t kChangeAddrBatchSize = 20;
using ChangeAddrBatch = std::array<ChangeAddrItemPack, kChangeAddrBatchSize>;

struct ReplaceProbeCmdPack {
    uint32_t oldPN = 0;
    uint32_t oldSN = 0;
    uint32_t newPN = 0;
    uint32_t newSN = 0;
    int16_t newModbusAddr = 0;  // address the replacement probe answers at now
};

// Never placed in the mailbox: EnvGuard::set_probeAddManual edits the recipe directly.
struct ManualAddProbePack {
    uint32_t pn = 0;
    uint16_t modbusAddr = 0;
};

// The mailbox slot; alternative indices 0..6 in this order.
using ProbeCmd = std::variant<NoneCmdPack, CalbCmdPack, RestoreCmdPack, ConfigCmdPack, ChangeAddrBatch,
                              ReplaceProbeCmdPack, ManualAddProbePack>;

inline constexpr std::array<std::string_view, std::variant_size_v<ProbeCmd>> kProbeCmdNames = {
    "NoneCmdPack", "CalbCmdPack", "RestoreCmdPack", "ConfigCmdPack", "ChangeAddrItemPack",
    "ReplaceProbeCmdPack", "ManualAddProbePack"};

constexpr std::string_view probeCmdName(size_t index) {
    return index < kProbeCmdNames.size() ? kProbeCmdNames[index] : std::string_view{};
}

// A copy of the mailbox with the sequence number of the store that put it there. The consumer
// hands the number back to EnvGuard::clearProbeCmd, which empties the slot only when it still
// holds that very store.
struct ProbeCmdTicket {
    ProbeCmd cmd;
    uint64_t seq = 0;
};

// Outcome values of the 16-bit status words.
enum CmdRetStatus : int16_t {
    CMD_RET_PENDING = -1,  // requested, not finished
    CMD_RET_FAILED = 0,
    CMD_RET_SUCCESS = 1,
};

// One probe found by a bus scan.
struct ProbeScanResultItem {
    fss::str16 modelName;         // ModelName of its definition
    fss::str32 modelDescription;  // ModelDescription of its definition
    uint32_t sn = 0;              // serial number read from the probe
    uint16_t modbusAddr = 0;      // address at which it answered
    int16_t suggestedAddr = -1;   // -1 when no address is free
    uint16_t enable = 1;
    uint32_t pn = 0;  // part number read from the probe
};

// Outcome of the last address-change batch.
struct ProbeChangeAddrResult {
    struct ProbeChangeAddrItem {
        int32_t modbusAddr = 0;  // address before the change
        int32_t status = 0;      // 1 done or nothing to do, 2 failed
    };
    int32_t status = 0;  // progress 0..100
    std::vector<ProbeChangeAddrItem> items;
};

struct ScanProbeStatus {
    uint32_t scanState = 0;   // 0 idle, 1 scanning, 2 finished
    int32_t scanProgress = 0;  // 0..100
    std::vector<ProbeScanResultItem> results;
};

// Bits of the accumulated system error word.
enum SystemErrorCode : uint32_t {
    SYS_ERR_NONE = 0,
    SYS_ERR_OPDATA_UNREADABLE = 0x1,  // opdata.json exists but could not be read
    SYS_ERR_OPDATA_WRITE = 0x2,       // opdata.json could not be stored
    SYS_ERR_PROBE_LIBRARY = 0x4,      // no probe definition could be loaded
};
