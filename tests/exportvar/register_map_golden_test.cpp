// Every registration of the named-variable map, compared with a list built here from the block
// bases, name patterns, value types, groups and indexes that Modbus clients depend on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "register_map_fixture.h"

namespace {

// Variant indexes of the reference types.
enum Ty : int { S16 = 1, U16 = 2, I32 = 3, U32 = 4, F32 = 6, CLEAN = 7, BOOL = 10, T8 = 11, T16 = 12, T32 = 13, T128 = 15 };
constexpr int kRegs[] = {0, 1, 1, 2, 2, 4, 2, 1, 1, 1, 1, 4, 8, 16, 32, 64};

struct Want {
    std::string name;
    int reg;
    int ty;
    RegValType group;
    int index;
};

class Expected {
public:
    void at(int base, RegValType g) {
        cur_ = base;
        group_ = g;
    }
    void add(std::string name, int ty, int index) {
        list.push_back(Want{std::move(name), cur_, ty, group_, index});
        cur_ += kRegs[ty];
    }
    std::vector<Want> list;

private:
    int cur_ = 0;
    RegValType group_ = RegValType::NONE;
};

std::vector<Want> expectedMap() {
    Expected x;
    using G = RegValType;
    // General.
    x.at(1, G::GENERAL);
    x.add("floatRef", F32, 0);
    x.add("intRef", U32, 1);
    x.add("intRef", U32, 2);
    x.at(1001, G::GENERAL);
    const std::pair<const char*, int> sys[] = {{"Model", T16}, {"Name", T16}, {"PN", I32}, {"SN", T16},
                                               {"HwVer", T16}, {"SwVer", T32}, {"Location", T16}, {"Timezone", S16},
                                               {"EngineeringUnit", S16}, {"Theme", T16}, {"Uptime", U32},
                                               {"HMICommand", U16}};
    int idx = 3;
    for (auto& [n, t] : sys) x.add(n, t, idx++);

    // Probes.
    struct P {
        const char* p20;
        int b20;
        const char* p128;
        int b128;
        G g;
        int ty;
    };
    const P probes[] = {
        {"Probe{}", 2001, "ProbeExt{}", 20001, G::PROBE_VAL, F32},
        {"ProbeID{}", 2051, "ProbeIDExt{}", 20301, G::PROBE_ID, S16},
        {"ProbeAddr{}", 2081, "ProbeAddrExt{}", 20501, G::PROBE_ADDR, S16},
        {"ProbeCustName{}", 2101, "ProbeCustNameExt{}", 24601, G::PROBE_CUSTNAME, T32},
        {"ProbeCleanliness{}", 2451, "ProbeCleanlinessExt{}", 20701, G::PROBE_CLEANLINESS, CLEAN},
        {"ProbeTemperature{}", 1931, "ProbeTemperatureExt{}", 21001, G::PROBE_TEMPERATURE, F32},
        {"ProbeTemperatureUnit{}", 1971, "ProbeTemperatureUnitExt{}", 21301, G::PROBE_TEMPERATURE_UNIT, U16},
        {"ProbeUnit{}", 2501, "ProbeUnitExt{}", 23501, G::PROBE_UNIT, T16},
        {"ProbeDecimal{}", 2701, "ProbeDecimalExt{}", 21501, G::PROBE_DECIMAL, S16},
        {"ProbePN{}", 2751, "ProbePNExt{}", 23201, G::PROBE_PN, U32},
        {"ProbeName{}", 10001, "ProbeNameExt{}", 26701, G::PROBE_NAME, T32},
        {"ProbeEnable{}", 1301, "ProbeEnableExt{}", 21901, G::PROBE_ENABLE, BOOL},
        {"ProbeDisplay{}", 1331, "ProbeDisplayExt{}", 22101, G::PROBE_DISPLAY, BOOL},
        {"Probe4mA{}", 1361, "Probe4mAExt{}", 22301, G::PROBE_4mA, F32},
        {"Probe20mA{}", 1401, "Probe20mAExt{}", 22601, G::PROBE_20mA, F32},
        {"ProbeSN{}", 1441, "ProbeSNExt{}", 22901, G::PROBE_SN, U32},
        {"ProbeDisplayId{}", 1481, "ProbeDisplayIdExt{}", 21701, G::PROBE_DISPLAYID, S16},
    };
    for (const P& p : probes) {
        x.at(p.b20, p.g);
        for (int k = 0; k < 20; ++k) x.add(fmt::format(fmt::runtime(p.p20), k), p.ty, k);
        x.at(p.b128, p.g);
        for (int k = 0; k < 128; ++k) x.add(fmt::format(fmt::runtime(p.p128), k), p.ty, k);
    }

    // Analog inputs.
    const std::tuple<const char*, int, G, int> ai[] = {
        {"AI{}", 9001, G::AI_RAW, F32},          {"AIRaw{}", 9101, G::AI_VAL, F32},
        {"AIName{}", 9201, G::AI_NAME, T32},     {"AIUnit{}", 9401, G::AI_UNIT, T16},
        {"AIEnable{}", 9471, G::AI_ENABLE, BOOL}, {"AIDisplay{}", 9481, G::AI_DISPLAY, BOOL},
        {"AIPrecision{}", 9501, G::AI_PRECISION, S16}, {"AIScaleLow{}", 9601, G::AI_4mA, F32},
        {"AIScaleHigh{}", 9701, G::AI_20mA, F32}, {"AIDisplayId{}", 9801, G::AI_DISPLAYID, S16},
    };
    for (auto& [p, b, g, t] : ai) {
        x.at(b, g);
        for (int k = 0; k < 8; ++k) x.add(fmt::format(fmt::runtime(p), k), t, k);
    }

    // LoRa.
    const std::tuple<const char*, int, G, int, int> lora[] = {
        {"Lora{}_Reg{}_Name", 3001, G::LORA_NAME, T16, 0},  {"Lora{}_Reg{}_Unit", 3513, G::LORA_UNIT, T8, 0},
        {"Lora{}_Reg{}_Value", 3769, G::LORA_VAL, F32, 0},  {"Lora{}_Reg{}_Name", 16001, G::LORA_NAME, T16, 8},
        {"Lora{}_Reg{}_Unit", 16513, G::LORA_UNIT, T8, 8},  {"Lora{}_Reg{}_Value", 16769, G::LORA_VAL, F32, 8},
    };
    for (auto& [p, b, g, t, d0] : lora) {
        x.at(b, g);
        for (int d = d0; d < d0 + 8; ++d)
            for (int r = 0; r < 8; ++r) x.add(fmt::format(fmt::runtime(p), d, r), t, d * 8 + r);
    }
    x.at(3989, G::GENERAL);
    x.add("LoRaId", S16, 0);
    x.add("LoRaFreq", I32, 1);
    x.add("LoRaBW", I32, 2);
    x.add("LoRaSF", S16, 3);
    x.add("LoRaCR", S16, 4);
    x.add("LoRaTxPwr", S16, 5);

    // Cellular and Wi-Fi.
    x.at(4001, G::CELLULAR_VAL);
    const std::pair<const char*, int> cell[] = {{"Brand", T16}, {"Module", T16}, {"Carrier", T32},
                                                {"SignalStrength", S16}, {"SignalPower", S16}, {"SignalSINR", S16},
                                                {"SignalQuality", S16}, {"IP", T16}, {"Gateway", T16}, {"ICCID", T32}};
    idx = 0;
    for (auto& [n, t] : cell) x.add(n, t, idx++);
    x.at(4101, G::WIFI_VAL);
    const std::pair<const char*, int> wifi[] = {{"Enable", BOOL}, {"Mode", S16}, {"SSID", T32}, {"Password", T32},
                                                {"IP", T32}, {"STATION_SSID", T32}, {"STATION_PASSWORD", T32},
                                                {"STATION_IP", T32}};
    idx = 0;
    for (auto& [n, t] : wifi) x.add(n, t, idx++);

    // Modbus TCP clients.
    for (int c = 0; c < 8; ++c) {
        x.at(c < 4 ? 501 + 100 * c : 22001 + 2000 * c, G::CONTROLLER_VAL);
        const std::pair<const char*, int> gen[] = {{"_Name", T16}, {"_Brand", T16}, {"_Model", T16}, {"_Role", T16},
                                                   {"_ID", S16}, {"_IP", T16}, {"_Port", I32}, {"_Byteorder", T8},
                                                   {"_Enable", BOOL}, {"_Connected", BOOL}};
        idx = 0;
        for (auto& [n, t] : gen) x.add(fmt::format("Controller_{}{}", c, n), t, idx++);
        const int lo = 1000 * c, hi = 2000 * (c - 4);
        const bool low = c < 4;
        const std::pair<int, int> rows[] = {
            {T16, low ? 5049 + lo : 30101 + hi}, {I32, low ? 5177 + lo : 30251 + hi},
            {S16, low ? 5209 + lo : 30301 + hi}, {T16, low ? 5225 + lo : 30351 + hi},
            {T16, low ? 5353 + lo : 30501 + hi}, {S16, low ? 5481 + lo : 30651 + hi},
            {BOOL, low ? 5497 + lo : 30701 + hi}, {F32, low ? 4301 + 32 * c : 30751 + hi},
            {T32, low ? 11001 + lo : 30801 + hi}, {I32, low ? 5677 + lo : 31101 + hi},
            {T16, low ? 5709 + lo : 31151 + hi}, {I32, low ? 5837 + lo : 31301 + hi},
            {T16, low ? 5869 + lo : 31351 + hi}, {BOOL, low ? 4501 + 16 * c : 31501 + hi},
            {F32, low ? 4601 + 32 * c : 31551 + hi},
        };
        for (auto& [t, b] : rows) {
            x.at(b, G::CONTROLLER_VAL);
            for (int k = 0; k < 16; ++k) x.add(fmt::format("Controller{}Output{}RegValue", c, k), t, k);
        }
    }

    // Operator-panel block.
    x.at(2991, G::GENERAL);
    x.add("probeId", U16, 0);
    x.add("command", U16, 1);
    x.add("parameter", F32, 2);
    x.add("status", U16, 3);
    x.add("result", U16, 4);
    x.at(1201, G::GENERAL);
    x.add("message", T128, 5);
    x.add("custName", T32, 6);
    x.at(1501, G::GENERAL);
    x.add("diagNum", U16, 7);
    for (int i = 0; i < 20; ++i) x.add(fmt::format("diagn{}", i), F32, 8 + i);
    x.at(1551, G::GENERAL);
    x.add("scanPercent", U16, 28);
    x.add("scanNum", U16, 29);
    x.at(1601, G::GENERAL);
    for (int s = 0; s < 10; ++s) {
        x.add(fmt::format("scanResultType{}", s), T16, 30 + 6 * s);
        x.add(fmt::format("scanResultName{}", s), T32, 31 + 6 * s);
        x.add(fmt::format("scanResultSn{}", s), U32, 32 + 6 * s);
        x.add(fmt::format("scanResultAddr{}", s), U16, 33 + 6 * s);
        x.add(fmt::format("scanResultSuggestedAddr{}", s), U16, 34 + 6 * s);
        x.add(fmt::format("scanResultEnable{}", s), U16, 35 + 6 * s);
    }
    x.at(1901, G::GENERAL);
    x.add("oldPN", U32, 90);
    x.add("oldSN", U32, 91);
    x.add("newPN", U32, 92);
    x.add("newSN", U32, 93);
    x.add("newModbusAddr", U16, 94);
    x.at(1910, G::GENERAL);
    x.add("PN", U32, 95);
    x.add("modbusAddr", U16, 96);

    std::sort(x.list.begin(), x.list.end(), [](const Want& a, const Want& b) { return a.reg < b.reg; });
    return x.list;
}

TEST_F(RegisterMap, EveryRegistrationMatchesTheMap) {
    const std::vector<Want> want = expectedMap();
    ASSERT_EQ(want.size(), 5116u);
    ASSERT_EQ(vars->tabLen(), static_cast<int>(want.size()));
    int mismatches = 0;
    for (int i = 0; i < vars->tabLen() && mismatches < 20; ++i) {
        const RegEntry& e = vars->entry(i);
        const Want& w = want[static_cast<size_t>(i)];
        const bool same = e.name.str() == w.name && e.reg == w.reg && static_cast<int>(e.val.index()) == w.ty &&
                          e.type == w.group && e.index == w.index && e.num == kRegs[w.ty];
        if (!same) {
            ++mismatches;
            ADD_FAILURE() << "slot " << i << ": got " << e.name.str() << " reg " << e.reg << " type "
                          << e.val.index() << " group " << regValTypeName(e.type) << " index " << e.index
                          << "; want " << w.name << " reg " << w.reg << " type " << w.ty << " group "
                          << regValTypeName(w.group) << " index " << w.index;
        }
    }
}

}  // namespace
