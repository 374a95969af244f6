#pragma once
// Live data store: every value the gateway measures or computes at run time, in one fixed-size
// record (ScadaLiveData, no heap storage) behind one mutex (LiveDataGuard).
//
// Writers copy their block in under the mutex; readers copy what they need out under it.
// Lock order: the live mutex may be held while the recipe mutex is taken, never the reverse.
// Absent numeric values are NaN.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "live/loop_live.h"
#include "live/var_engine.h"
#include "orvane_ipc/data_cell.h"
#include "utils/fss.h"

class RecipeDataGuard;
class ExpDriver;

inline constexpr int kProbeSlots = 128;
inline constexpr int kDiagnValues = 20;
inline constexpr int kLoraSlots = 16;
inline constexpr int kLoraRegs = 8;
inline constexpr int kControllers = 8;
inline constexpr int kControllerValues = 128;
inline constexpr int kAnalogInputs = 8;

inline constexpr float kLiveNaN = std::numeric_limits<float>::quiet_NaN();

// ---- System health -----------------------------------------------------------------------------
struct SystemLiveData {
    uint32_t Uptime = 0;  // seconds
    float CpuUsage = 0;
    uint32_t MemUsed = 0;
    float MemUsage = 0;
    uint32_t DiskUsed = 0;
    float DiskUsage = 0;
    uint32_t DbDiskUsed = 0;  // MiB
    float DbDiskUsage = 0;    // percent
    float Temperature = 45.2f;
    fss::basic_str<char, 64> timestamp;
    uint16_t HMICommand = 0;  // system-command register (1071)
    bool Connected = false;
};

// ---- Probes ------------------------------------------------------------------------------------
struct MeasureDataItem {
    // Type word: first byte the measure type, second byte the probe type, two more bytes for the
    // probe service. The whole word is 0 while the slot holds no reading.
    uint32_t type = 0;
    float val = kLiveNaN;
    CleanStatus cleanliness = CleanStatus::UNKNOWN;
    float temperature = kLiveNaN;
    uint32_t id = 0;       // slot number 1..128
    int16_t status = 0;    // 2 last read answered, 0 not
    uint32_t SN = 0;
    fss::basic_str<char, 32> swVer;
    fss::basic_str<char, 16> hwVer;
    float mA_4 = 0;
    float mA_20 = 100;
    uint16_t tempUnit = 2;  // 0 none, 1 Fahrenheit, 2 Celsius
    uint8_t fresh = 0;      // 1 when the last poll pass read the value

    uint8_t measureType() const { return static_cast<uint8_t>(type & 0xffu); }
    uint8_t probeType() const { return static_cast<uint8_t>((type >> 8) & 0xffu); }
    void setTypes(uint8_t measure, uint8_t probe) {
        type = (type & 0xffff0000u) | measure | (static_cast<uint32_t>(probe) << 8);
    }
};

struct ProbeLiveData {
    ProbeLiveData();

    std::array<MeasureDataItem, kProbeSlots> items;
    fss::basic_str<char, 64> cmdRetMsg;
    std::array<float, kDiagnValues> diagn;
    std::array<fss::basic_str<char, 32>, kDiagnValues> diagnKeys;
    int32_t calibSourceIdx = -1;
    int16_t calibRet = -1;
    int32_t diagnSourceIdx = -1;
    int16_t diagnRet = -1;
    int32_t diagNum = 0;
    int32_t pingSourceIdx = -1;
    int16_t pingRet = -1;
    int32_t restoreSourceIdx = -1;
    int16_t restoreRet = -1;
    int32_t configSourceIdx = -1;
    int16_t configRet = -1;
    bool available = true;  // no probe command pending
    uint32_t timestamp = 0;

    // Appends (probe name, val) for every slot with a type and a value; names[id - 1] names the
    // slot. Sets the cell's timestamp.
    void getDataCell(orvane_ipc::DataCell& cell, const std::array<fss::basic_str<char, 32>, kProbeSlots>& names) const;
    // Appends a flat JSON object of readings ({"key":value,...} and a newline). byType keys by
    // "<probe type name>.<measure type name>", else by slot id.
    void buildReadingJsonStr(std::string& out, bool byType) const;
};

// ---- LoRa --------------------------------------------------------------------------------------
struct LoraRegLive {
    fss::basic_str<char, 16> name;  // empty when the register is not in use
    fss::basic_str<char, 8> unit;
    float value = 0;
};

struct LoraLiveDataItem {
    int16_t id = 0;  // 0 while the slot is empty
    fss::basic_str<char, 16> uid;
    fss::basic_str<char, 32> cust_name;
    std::array<LoraRegLive, kLoraRegs> regs{};
    uint32_t timestamp = 0;  // time of the device's values
};

struct LoraLiveData {
    std::array<LoraLiveDataItem, kLoraSlots> items{};
    void getDataCell(orvane_ipc::DataCell& cell) const;
};

// ---- Modem -------------------------------------------------------------------------------------
struct LteLiveData {
    int16_t lte_rssi = 0;
    int16_t lte_rsrp = 0;
    int16_t lte_sinr = 0;
    int16_t lte_rsrq = 0;
    fss::basic_str<char, 32> carrier;
    fss::basic_str<char, 32> imsi;
    fss::basic_str<char, 16> ip;  // address of the data interface
    fss::basic_str<char, 16> gateway;
    float dataUsageCycleRxMB = 0;
    float dataUsageCycleTxMB = 0;
    float dataUsageTotalRxMB = 0;
    float dataUsageTotalTxMB = 0;
};

// ---- Controllers -------------------------------------------------------------------------------
struct ControllerBlock {
    ControllerBlock();
    int16_t id = 0;
    std::array<float, kControllerValues> values;
    std::array<fss::basic_str<char, 64>, kControllerValues> names;
    std::array<bool, kControllerValues> used{};
};

struct ControllerLiveData {
    std::array<ControllerBlock, kControllers> inputs;
    std::array<ControllerBlock, kControllers> outputs;
    std::array<bool, kControllers> connected{};
    void getDataCell(orvane_ipc::DataCell& cell) const;
};

// ---- Analog inputs -----------------------------------------------------------------------------
struct AnalogLiveItem {
    int16_t id = 0;  // 1..8
    float raw = kLiveNaN;
    float val = kLiveNaN;
    int16_t status = 0;
};

struct AnalogLiveData {
    AnalogLiveData();
    std::array<AnalogLiveItem, kAnalogInputs> items;
    std::array<fss::basic_str<char, 32>, kAnalogInputs> names;
    void getDataCell(orvane_ipc::DataCell& cell) const;
};

// ---- The record --------------------------------------------------------------------------------
struct ScadaLiveData {
    SystemLiveData system;
    ProbeLiveData probe;
    LoraLiveData lora;
    LteLiveData lte;
    ControllerLiveData controller;
    std::array<LoopLiveVariant, kLoopCount> loops{};
    AnalogLiveData analog;
};

// Controller-output reference table: one row per Modbus TCP client, one entry per output.
using ControllerOutputRefs = std::array<std::array<RegVal, kControllerValues>, kControllers>;

class LiveDataGuard {
public:
    // recipe: the store whose probe names label the probe pairs of getDataCell (may be set later
    // with attachRecipe; without one the probe names are empty).
    explicit LiveDataGuard(RecipeDataGuard* recipe = nullptr);
    ~LiveDataGuard();
    LiveDataGuard(const LiveDataGuard&) = delete;
    LiveDataGuard& operator=(const LiveDataGuard&) = delete;

    // The owner object's instance (defined with the owner object).
    static LiveDataGuard& getInstance();

    void attachRecipe(RecipeDataGuard* recipe) { recipe_ = recipe; }

    // Start-up hook; does nothing.
    void init() {}

    // The record and its mutex. Hold the mutex for every access of the record.
    ScadaLiveData& data() { return data_; }
    const ScadaLiveData& data() const { return data_; }
    StoreMutex& mutex() { return mutex_; }

    // Runs f(data) under the live mutex and returns its result.
    template <typename F>
    auto withLock(F&& f) {
        std::lock_guard<StoreMutex> lk(mutex_);
        return f(data_);
    }

    // True when p lies within the record (first byte up to one past the last). Takes no lock.
    bool isLiveReg(const char* p) const;

    // Copies, for controller i and value j, the float that refs[i][j] references (when it holds a
    // float reference) into outputs[i].values[j]; other entries leave the output unchanged.
    // The table is copied first; the copy is read under the live mutex alone.
    void broadcastToControllerOutput(const ControllerOutputRefs& refs);
    // As above, copying the table under refsMutex (the lock of the table's owner), which is
    // released before the live mutex is taken.
    void broadcastToControllerOutput(const ControllerOutputRefs& refs, std::mutex& refsMutex);

    // One cell of all current readings (probes, LoRa, controllers, analog inputs).
    orvane_ipc::DataCell getDataCell();

    // The expression engine this store owns. No operation of the store uses it.
    ExpDriver& expDriver() { return *expDriver_; }

private:
    void broadcastFromCopy();

    ScadaLiveData data_;
    StoreMutex mutex_;
    std::unique_ptr<ExpDriver> expDriver_;
    RecipeDataGuard* recipe_ = nullptr;
    std::mutex broadcastMutex_;  // guards refsCopy_
    std::unique_ptr<ControllerOutputRefs> refsCopy_;
};

// ---- JSON text forms (recipe codec rules; indentation of the calling thread) -------------------
// One reading as an object; returns the count up to the closing "}" as the codec's writers do,
// or -1 when it does not fit.
int writeJsonP(const MeasureDataItem& item, char* dst, int room, const char* name);
// The probe block as an object.
int writeJsonP(const ProbeLiveData& block, char* dst, int room, const char* name);
