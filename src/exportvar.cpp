#include "exportvar.h"

#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/hmi_block.h"
#include "recipe/recipe_data.h"
#include "recipe/recipe_guard.h"

float gExportFloatRef = 123.45f;
uint32_t gExportIntRef1 = 0x01020304u;
uint32_t gExportIntRef2 = 0x01020304u;

namespace {

// A run of registrations of one group: name pattern with one "{}" per index, a base register,
// and the reference of item k.
struct Block {
    const char* pattern;
    int base;
    RegValType type;
    std::function<RegVal(int)> ref;
};

void begin(VarEngine& v, int base, RegValType type) {
    v.curReg = base;
    v.curType = type;
}

void registerBlock(VarEngine& v, const Block& b, int count) {
    begin(v, b.base, b.type);
    for (int k = 0; k < count; ++k) v.registerVal(fmt::format(fmt::runtime(b.pattern), k), b.ref(k), k);
}

}  // namespace

void attachStores(VarEngine& vars, RecipeDataGuard& recipe, LiveDataGuard& live) {
    vars.attachStore(RegOwner::RECIPE, &recipe.recipe, sizeof(ScadaRecipeData), recipe.mutex);
    vars.attachLive(live);
}

void fillGeneralVar(const ExportVarStores& s) {
    VarEngine& v = s.vars;
    SystemRecipeData& sys = s.recipe.system;
    begin(v, 1, RegValType::GENERAL);
    v.registerVal("floatRef", &gExportFloatRef, 0);
    v.registerVal("intRef", &gExportIntRef1, 1);
    v.registerVal("intRef", &gExportIntRef2, 2);
    v.curReg = 1001;
    v.registerVal("Model", &sys.model, 3);
    v.registerVal("Name", &sys.name, 4);
    v.registerVal("PN", &sys.pn, 5);
    v.registerVal("SN", &sys.sn, 6);
    v.registerVal("HwVer", &sys.hwVer, 7);
    v.registerVal("SwVer", &sys.swVer, 8);
    v.registerVal("Location", &sys.location, 9);
    v.registerVal("Timezone", &sys.timezone, 10);
    v.registerVal("EngineeringUnit", &sys.engUnit, 11);
    v.registerVal("Theme", &sys.theme, 12);
    v.registerVal("Uptime", &s.live.system.Uptime, 13);
    v.registerVal("HMICommand", &s.live.system.HMICommand, 14);
}

void fillProbeVar(const ExportVarStores& s) {
    auto& sensors = s.recipe.sensors;
    auto& items = s.live.probe.items;
    // Rows: pattern (probes 0-19), its base, pattern (probes 0-127), its base, group, reference.
    struct Row {
        const char* pattern20;
        int base20;
        const char* pattern128;
        int base128;
        RegValType type;
        std::function<RegVal(int)> ref;
    };
    const Row rows[] = {
        {"Probe{}", 2001, "ProbeExt{}", 20001, RegValType::PROBE_VAL, [&](int k) { return RegVal{&items[k].val}; }},
        {"ProbeID{}", 2051, "ProbeIDExt{}", 20301, RegValType::PROBE_ID, [&](int k) { return RegVal{&sensors[k].id}; }},
        {"ProbeAddr{}", 2081, "ProbeAddrExt{}", 20501, RegValType::PROBE_ADDR,
         [&](int k) { return RegVal{&sensors[k].modbusAddr}; }},
        {"ProbeCustName{}", 2101, "ProbeCustNameExt{}", 24601, RegValType::PROBE_CUSTNAME,
         [&](int k) { return RegVal{&sensors[k].custName}; }},
        {"ProbeCleanliness{}", 2451, "ProbeCleanlinessExt{}", 20701, RegValType::PROBE_CLEANLINESS,
         [&](int k) { return RegVal{&items[k].cleanliness}; }},
        {"ProbeTemperature{}", 1931, "ProbeTemperatureExt{}", 21001, RegValType::PROBE_TEMPERATURE,
         [&](int k) { return RegVal{&items[k].temperature}; }},
        {"ProbeTemperatureUnit{}", 1971, "ProbeTemperatureUnitExt{}", 21301, RegValType::PROBE_TEMPERATURE_UNIT,
         [&](int k) { return RegVal{&items[k].tempUnit}; }},
        {"ProbeUnit{}", 2501, "ProbeUnitExt{}", 23501, RegValType::PROBE_UNIT,
         [&](int k) { return RegVal{&sensors[k].displayUnit}; }},
        {"ProbeDecimal{}", 2701, "ProbeDecimalExt{}", 21501, RegValType::PROBE_DECIMAL,
         [&](int k) { return RegVal{&sensors[k].precision}; }},
        {"ProbePN{}", 2751, "ProbePNExt{}", 23201, RegValType::PROBE_PN, [&](int k) { return RegVal{&sensors[k].pn}; }},
        {"ProbeName{}", 10001, "ProbeNameExt{}", 26701, RegValType::PROBE_NAME,
         [&](int k) { return RegVal{&sensors[k].name}; }},
        {"ProbeEnable{}", 1301, "ProbeEnableExt{}", 21901, RegValType::PROBE_ENABLE,
         [&](int k) { return RegVal{&sensors[k].enable}; }},
        {"ProbeDisplay{}", 1331, "ProbeDisplayExt{}", 22101, RegValType::PROBE_DISPLAY,
         [&](int k) { return RegVal{&sensors[k].display}; }},
        {"Probe4mA{}", 1361, "Probe4mAExt{}", 22301, RegValType::PROBE_4mA, [&](int k) { return RegVal{&sensors[k].mA_4}; }},
        {"Probe20mA{}", 1401, "Probe20mAExt{}", 22601, RegValType::PROBE_20mA,
         [&](int k) { return RegVal{&sensors[k].mA_20}; }},
        {"ProbeSN{}", 1441, "ProbeSNExt{}", 22901, RegValType::PROBE_SN, [&](int k) { return RegVal{&sensors[k].sn}; }},
        {"ProbeDisplayId{}", 1481, "ProbeDisplayIdExt{}", 21701, RegValType::PROBE_DISPLAYID,
         [&](int k) { return RegVal{&sensors[k].displayId}; }},
    };
    for (const Row& r : rows) registerBlock(s.vars, Block{r.pattern20, r.base20, r.type, r.ref}, 20);

    // The 128-probe blocks, in their own order (row numbers of the table above).
    const int extOrder[] = {0, 1, 2, 4, 5, 6, 8, 16, 11, 12, 13, 14, 15, 9, 7, 3, 10};
    for (int i : extOrder) {
        const Row& r = rows[i];
        registerBlock(s.vars, Block{r.pattern128, r.base128, r.type, r.ref}, kProbeItemCount);
    }
}

void fillAnalogInput(const ExportVarStores& s) {
    auto& ai = s.recipe.ai;
    auto& live = s.live.analog.items;
    const Block blocks[] = {
        {"AI{}", 9001, RegValType::AI_RAW, [&](int k) { return RegVal{&live[k].raw}; }},
        {"AIRaw{}", 9101, RegValType::AI_VAL, [&](int k) { return RegVal{&live[k].val}; }},
        {"AIName{}", 9201, RegValType::AI_NAME, [&](int k) { return RegVal{&ai[k].custName}; }},
        {"AIUnit{}", 9401, RegValType::AI_UNIT, [&](int k) { return RegVal{&ai[k].unit}; }},
        {"AIEnable{}", 9471, RegValType::AI_ENABLE, [&](int k) { return RegVal{&ai[k].enable}; }},
        {"AIDisplay{}", 9481, RegValType::AI_DISPLAY, [&](int k) { return RegVal{&ai[k].display}; }},
        {"AIPrecision{}", 9501, RegValType::AI_PRECISION, [&](int k) { return RegVal{&ai[k].precision}; }},
        {"AIScaleLow{}", 9601, RegValType::AI_4mA, [&](int k) { return RegVal{&ai[k].mA_4}; }},
        {"AIScaleHigh{}", 9701, RegValType::AI_20mA, [&](int k) { return RegVal{&ai[k].mA_20}; }},
        {"AIDisplayId{}", 9801, RegValType::AI_DISPLAYID, [&](int k) { return RegVal{&ai[k].displayId}; }},
    };
    for (const Block& b : blocks) registerBlock(s.vars, b, kAnalogInputCount);
}

void fillLoraVar(const ExportVarStores& s) {
    VarEngine& v = s.vars;
    auto& devs = s.live.lora.items;
    struct LoraBlock {
        const char* pattern;
        int base;
        RegValType type;
        int firstDev;
        int field;  // 0 name, 1 unit, 2 value
    };
    const LoraBlock blocks[] = {
        {"Lora{}_Reg{}_Name", 3001, RegValType::LORA_NAME, 0, 0},
        {"Lora{}_Reg{}_Unit", 3513, RegValType::LORA_UNIT, 0, 1},
        {"Lora{}_Reg{}_Value", 3769, RegValType::LORA_VAL, 0, 2},
        {"Lora{}_Reg{}_Name", 16001, RegValType::LORA_NAME, 8, 0},
        {"Lora{}_Reg{}_Unit", 16513, RegValType::LORA_UNIT, 8, 1},
        {"Lora{}_Reg{}_Value", 16769, RegValType::LORA_VAL, 8, 2},
    };
    for (const LoraBlock& b : blocks) {
        begin(v, b.base, b.type);
        for (int d = b.firstDev; d < b.firstDev + 8; ++d) {
            for (int r = 0; r < kLoraRegs; ++r) {
                LoraRegLive& reg = devs[d].regs[r];
                RegVal ref = b.field == 0 ? RegVal{&reg.name} : b.field == 1 ? RegVal{&reg.unit} : RegVal{&reg.value};
                v.registerVal(fmt::format(fmt::runtime(b.pattern), d, r), ref, d * kLoraRegs + r);
            }
        }
    }
    LoraRecipe& lora = s.recipe.lora;
    begin(v, 3989, RegValType::GENERAL);
    v.registerVal("LoRaId", &lora.loraId, 0);
    v.registerVal("LoRaFreq", &lora.FREQ, 1);
    v.registerVal("LoRaBW", &lora.BW, 2);
    v.registerVal("LoRaSF", &lora.SF, 3);
    v.registerVal("LoRaCR", &lora.CR, 4);
    v.registerVal("LoRaTxPwr", &lora.txPower, 5);
}

void fillCellularVar(const ExportVarStores& s) {
    VarEngine& v = s.vars;
    ModemInfoRecipeData& lte = s.recipe.lte;
    LteLiveData& live = s.live.lte;
    begin(v, 4001, RegValType::CELLULAR_VAL);
    v.registerVal("Brand", &lte.brand, 0);
    v.registerVal("Module", &lte.model, 1);
    v.registerVal("Carrier", &live.carrier, 2);
    v.registerVal("SignalStrength", &live.lte_rssi, 3);
    v.registerVal("SignalPower", &live.lte_rsrp, 4);
    v.registerVal("SignalSINR", &live.lte_sinr, 5);
    v.registerVal("SignalQuality", &live.lte_rsrq, 6);
    v.registerVal("IP", &live.ip, 7);
    v.registerVal("Gateway", &live.gateway, 8);
    v.registerVal("ICCID", &lte.iccid, 9);
}

void fillWiFiVar(const ExportVarStores& s) {
    VarEngine& v = s.vars;
    WifiRecipeData& w = s.recipe.wifi;
    begin(v, 4101, RegValType::WIFI_VAL);
    v.registerVal("Enable", &w.enable, 0);
    v.registerVal("Mode", &w.mode, 1);
    v.registerVal("SSID", &w.ssid, 2);
    v.registerVal("Password", &w.key, 3);
    v.registerVal("IP", &w.ipaddr, 4);
    v.registerVal("STATION_SSID", &w.ssidStation, 5);
    v.registerVal("STATION_PASSWORD", &w.keyStation, 6);
    v.registerVal("STATION_IP", &w.ipaddrStation, 7);
}

namespace {

constexpr int kRegisteredIo = 16;  // inputs and outputs 0..15 of each client

void registerClientGeneral(const ExportVarStores& s, int c) {
    VarEngine& v = s.vars;
    MBTcpClientItem& cl = s.recipe.mbTcpClient[c];
    begin(v, c < 4 ? 501 + 100 * c : 22001 + 2000 * c, RegValType::CONTROLLER_VAL);
    const std::string p = fmt::format("Controller_{}", c);
    v.registerVal(p + "_Name", &cl.name, 0);
    v.registerVal(p + "_Brand", &cl.brand, 1);
    v.registerVal(p + "_Model", &cl.model, 2);
    v.registerVal(p + "_Role", &cl.role, 3);
    v.registerVal(p + "_ID", &cl.slaveId, 4);
    v.registerVal(p + "_IP", &cl.serverIP, 5);
    v.registerVal(p + "_Port", &cl.serverPort, 6);
    v.registerVal(p + "_Byteorder", &cl.byteOrder, 7);
    v.registerVal(p + "_Enable", &cl.enable, 8);
    v.registerVal(p + "_Connected", &s.live.controller.connected[c], 9);
}

void registerClientRows(const ExportVarStores& s, int c, bool inputs) {
    VarEngine& v = s.vars;
    MBTcpClientItem& cl = s.recipe.mbTcpClient[c];
    ControllerLiveData& live = s.live.controller;
    const bool low = c < 4;
    const int hi = 2000 * (c - 4);
    struct Row {
        int base;
        std::function<RegVal(int)> ref;
    };
    std::vector<Row> rows;
    if (inputs) {
        rows = {
            {low ? 5049 + 1000 * c : 30101 + hi, [&](int k) { return RegVal{&cl.inputs[k].regName}; }},
            {low ? 5177 + 1000 * c : 30251 + hi, [&](int k) { return RegVal{&cl.inputs[k].regAddr}; }},
            {low ? 5209 + 1000 * c : 30301 + hi, [&](int k) { return RegVal{&cl.inputs[k].regLen}; }},
            {low ? 5225 + 1000 * c : 30351 + hi, [&](int k) { return RegVal{&cl.inputs[k].dataType}; }},
            {low ? 5353 + 1000 * c : 30501 + hi, [&](int k) { return RegVal{&cl.inputs[k].unit}; }},
            {low ? 5481 + 1000 * c : 30651 + hi, [&](int k) { return RegVal{&cl.inputs[k].precision}; }},
            {low ? 5497 + 1000 * c : 30701 + hi, [&](int k) { return RegVal{&cl.inputs[k].enable}; }},
            {low ? 4301 + 32 * c : 30751 + hi, [&](int k) { return RegVal{&live.inputs[c].values[k]}; }},
        };
    } else {
        rows = {
            {low ? 11001 + 1000 * c : 30801 + hi, [&](int k) { return RegVal{&cl.outputs[k].outputName}; }},
            {low ? 5677 + 1000 * c : 31101 + hi, [&](int k) { return RegVal{&cl.outputs[k].outputAddr}; }},
            {low ? 5709 + 1000 * c : 31151 + hi, [&](int k) { return RegVal{&cl.outputs[k].virtualName}; }},
            {low ? 5837 + 1000 * c : 31301 + hi, [&](int k) { return RegVal{&cl.outputs[k].vRegAddr}; }},
            {low ? 5869 + 1000 * c : 31351 + hi, [&](int k) { return RegVal{&cl.outputs[k].dataType}; }},
            {low ? 4501 + 16 * c : 31501 + hi, [&](int k) { return RegVal{&cl.outputs[k].enable}; }},
            {low ? 4601 + 32 * c : 31551 + hi, [&](int k) { return RegVal{&live.outputs[c].values[k]}; }},
        };
    }
    for (const Row& r : rows) {
        begin(v, r.base, RegValType::CONTROLLER_VAL);
        for (int k = 0; k < kRegisteredIo; ++k)
            v.registerVal(fmt::format("Controller{}Output{}RegValue", c, k), r.ref(k), k);
    }
}

}  // namespace

void fillController(const ExportVarStores& s) {
    for (int c = 0; c < kMBTcpClientCount; ++c) registerClientGeneral(s, c);
    for (int c = 0; c < 4; ++c) registerClientRows(s, c, true);
    for (int c = 0; c < 4; ++c) registerClientRows(s, c, false);
    for (int c = 4; c < kMBTcpClientCount; ++c) {
        registerClientRows(s, c, true);
        registerClientRows(s, c, false);
    }
}

void fillHMIVar(const ExportVarStores& s) {
    VarEngine& v = s.vars;
    HmiCommandBlock& h = s.hmi;
    begin(v, 2991, RegValType::GENERAL);
    v.registerVal("probeId", &h.probeId, 0);
    v.registerVal("command", &h.command, 1);
    v.registerVal("parameter", &h.parameter, 2);
    v.registerVal("status", &h.status, 3);
    v.registerVal("result", &h.result, 4);
    v.curReg = 1201;
    v.registerVal("message", &h.message, 5);
    v.registerVal("custName", &h.custName, 6);
    v.curReg = 1501;
    v.registerVal("diagNum", &h.diagNum, 7);
    for (int i = 0; i < kHmiDiagnValues; ++i) v.registerVal(fmt::format("diagn{}", i), &h.diagn[i], 8 + i);
    v.curReg = 1551;
    v.registerVal("scanPercent", &h.scanPercent, 28);
    v.registerVal("scanNum", &h.scanNum, 29);
    v.curReg = 1601;
    for (int i = 0; i < kHmiRegisteredScanSlots; ++i) {
        HmiScanResultSlot& slot = h.scanResults[i];
        const int idx = 30 + 6 * i;
        v.registerVal(fmt::format("scanResultType{}", i), &slot.type, idx);
        v.registerVal(fmt::format("scanResultName{}", i), &slot.name, idx + 1);
        v.registerVal(fmt::format("scanResultSn{}", i), &slot.sn, idx + 2);
        v.registerVal(fmt::format("scanResultAddr{}", i), &slot.addr, idx + 3);
        v.registerVal(fmt::format("scanResultSuggestedAddr{}", i), &slot.suggestedAddr, idx + 4);
        v.registerVal(fmt::format("scanResultEnable{}", i), &slot.enable, idx + 5);
    }
    v.curReg = 1901;
    v.registerVal("oldPN", &h.oldPN, 90);
    v.registerVal("oldSN", &h.oldSN, 91);
    v.registerVal("newPN", &h.newPN, 92);
    v.registerVal("newSN", &h.newSN, 93);
    v.registerVal("newModbusAddr", &h.newModbusAddr, 94);
    v.curReg = 1910;
    v.registerVal("PN", &h.PN, 95);
    v.registerVal("modbusAddr", &h.modbusAddr, 96);
}

void fillAllVars(const ExportVarStores& s) {
    fillGeneralVar(s);
    fillProbeVar(s);
    fillAnalogInput(s);
    fillLoraVar(s);
    fillCellularVar(s);
    fillWiFiVar(s);
    fillController(s);
    fillHMIVar(s);
    s.vars.sortRegTab();
}
