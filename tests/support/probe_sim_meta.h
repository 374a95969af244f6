#pragma once
// Builds the register map of a simulated probe from its probe definition. Header-only: include
// it from targets that see the gateway's sources (sensors/probe_meta.h).
#include <cstring>
#include <map>
#include <string>

#include "probe_bus_sim.h"
#include "sensors/probe_meta.h"

namespace orvane::test {

struct SimProbeValues {
    uint32_t serial = 1234567;
    std::string softwareVersion = "205";
    std::string hardwareVersion = "HW1.0";
    std::map<std::string, float> readings;   // by reading Name; missing ones read 0
    std::map<std::string, float> diagnosis;  // by diagnosis Name
    float span4 = 0.0f;                      // value of the 4 mA and 20 mA span registers
    float span20 = 100.0f;
};

inline int simRegisterCount(std::string_view type, int regLen) {
    if (type == "uint" || type == "UINT32" || type == "float" || type == "FLOAT") return 2;
    if (type == "ushort" || type == "UINT16") return 1;
    return regLen > 0 ? regLen : 1;
}

// Puts a value of the given register type at reg (floats in the probe's byte order).
inline void simPutValue(ProbeBusSim::RegisterMap& m, uint32_t reg, std::string_view type, double value, SimFloatOrder order) {
    if (type == "float" || type == "FLOAT") {
        uint16_t w[2];
        simEncodeFloat(static_cast<float>(value), order, w);
        m[reg] = w[0];
        m[reg + 1] = w[1];
    } else if (type == "uint" || type == "UINT32") {
        uint32_t v = static_cast<uint32_t>(static_cast<int64_t>(value));
        m[reg] = static_cast<uint16_t>(v & 0xFFFF);
        m[reg + 1] = static_cast<uint16_t>(v >> 16);
    } else if (type == "ushort" || type == "UINT16") {
        m[reg] = static_cast<uint16_t>(static_cast<int64_t>(value));
    } else {
        m[reg] = 0;
    }
}

// Text over regLen registers, two characters a register, the first in the low-order byte.
inline void simPutText(ProbeBusSim::RegisterMap& m, uint32_t reg, int regLen, const std::string& text) {
    for (int i = 0; i < regLen; ++i) {
        size_t k = static_cast<size_t>(2 * i);
        uint16_t lo = k < text.size() ? static_cast<uint8_t>(text[k]) : 0;
        uint16_t hi = k + 1 < text.size() ? static_cast<uint8_t>(text[k + 1]) : 0;
        m[reg + static_cast<uint32_t>(i)] = static_cast<uint16_t>(lo | (hi << 8));
    }
}

inline void simReserve(ProbeBusSim::RegisterMap& m, int32_t reg, int count) {
    if (reg < 1) return;
    for (int i = 0; i < count; ++i) m.try_emplace(static_cast<uint32_t>(reg + i), 0);
}

inline ProbeBusSim::RegisterMap simRegistersFromMeta(const ProbeMeta& meta, const SimProbeValues& v = {}) {
    ProbeBusSim::RegisterMap m;
    const SimFloatOrder order = simFloatOrderOf(meta.DataFmt.str());
    for (const InfoItem& it : meta.Info) {
        if (it.RegAddress < 1) continue;
        const uint32_t reg = static_cast<uint32_t>(it.RegAddress);
        const std::string_view name = it.Name.view();
        const std::string_view type = it.RegType.view();
        // The gateway reads RegLen values of the item's type: reserve all of them.
        simReserve(m, it.RegAddress, (it.RegLen > 0 ? it.RegLen : 1) * simRegisterCount(type, 1));
        if (name == "Serial Number") {
            if ((type == "uint") && it.RegLen <= 2) simPutValue(m, reg, "uint", v.serial, order);
            else simPutText(m, reg, it.RegLen, std::to_string(v.serial));
        } else if (name == "Software Version") {
            if (it.RegLen == 1) m[reg] = static_cast<uint16_t>(std::stoul(v.softwareVersion));
            else simPutText(m, reg, it.RegLen, v.softwareVersion);
        } else if (name == "Hardware Version") {
            simPutText(m, reg, it.RegLen, v.hardwareVersion);
        } else if (name == "Product Number") {
            simPutValue(m, reg, "uint", static_cast<double>(meta.PN), order);
        } else {
            simReserve(m, it.RegAddress, it.RegLen > 0 ? it.RegLen : 1);
        }
    }
    auto reserveCalb = [&](const CalbCmd_Like& c) {
        simReserve(m, c.RegAddress, simRegisterCount(c.RegType.view(), 1));
        simReserve(m, c.ResultRegAddress, simRegisterCount(c.ResultRegType.view(), 1));
    };
    for (const ReadingItem& r : meta.Readings) {
        auto it = v.readings.find(r.Name.str());
        if (r.RegAddress > 0)
            simPutValue(m, static_cast<uint32_t>(r.RegAddress), r.RegType.view(), it == v.readings.end() ? 0.0 : it->second, order);
        for (const CalibrationItem& cal : r.Calibrations)
            for (const CalbCmd_Like& c : cal.Cmds) reserveCalb(c);
    }
    for (const DiagnosisItem& d : meta.Diagnosis) {
        auto it = v.diagnosis.find(d.Name.str());
        if (d.RegAddress > 0)
            simPutValue(m, static_cast<uint32_t>(d.RegAddress), d.RegType.view(), it == v.diagnosis.end() ? 0.0 : it->second, order);
    }
    for (const ConfigItem& c : meta.Config)
        for (const auto& cmd : c.Cmds) simReserve(m, cmd.RegAddress, simRegisterCount(cmd.RegType.view(), cmd.RegLen));
    for (const Span4_20mA_Meta& s : meta.Span4_20mA) {
        for (const CalbCmd_Like& c : s.mA4.Cmds)
            if (c.RegAddress > 0) simPutValue(m, static_cast<uint32_t>(c.RegAddress), c.RegType.view(), v.span4, order);
        for (const CalbCmd_Like& c : s.mA20.Cmds)
            if (c.RegAddress > 0) simPutValue(m, static_cast<uint32_t>(c.RegAddress), c.RegType.view(), v.span20, order);
    }
    for (const ControlCmd& c : meta.Control)
        for (const auto& cmd : c.Cmds) simReserve(m, cmd.RegAddress, simRegisterCount(cmd.RegType.view(), cmd.RegLen));
    for (const RestoreCmd& c : meta.RestoreFactory.Cmds) {
        simReserve(m, c.RegAddress, simRegisterCount(c.RegType.view(), c.RegLen));
        simReserve(m, c.ResultRegAddress, simRegisterCount(c.ResultRegType.view(), 1));
    }
    if (meta.Brushing.RegAddress > 0)
        simReserve(m, meta.Brushing.RegAddress, simRegisterCount(meta.Brushing.RegType.view(), meta.Brushing.RegLen));
    // Part number: one u32 at register 41005 on every probe, whatever else the map holds.
    simPutValue(m, 41005, "uint", static_cast<double>(meta.PN), order);
    return m;
}

// Adds a probe built from a definition at addr; its "Modbus Address" configuration register
// moves it, at the next write to its "Reboot" control register when it has one.
inline void addSimProbe(ProbeBusSim& bus, int addr, const ProbeMeta& meta, const SimProbeValues& v = {}) {
    bus.addProbe(addr, simRegistersFromMeta(meta, v));
    uint32_t addressReg = 0, rebootReg = 0;
    for (const ConfigItem& c : meta.Config)
        if (c.Name == "Modbus Address" && !c.Cmds.empty() && c.Cmds[0].RegAddress > 0) addressReg = static_cast<uint32_t>(c.Cmds[0].RegAddress);
    for (const ControlCmd& c : meta.Control)
        if (c.Name == "Reboot" && !c.Cmds.empty() && c.Cmds[0].RegAddress > 0) rebootReg = static_cast<uint32_t>(c.Cmds[0].RegAddress);
    if (addressReg) bus.setAddressRegister(addr, addressReg, rebootReg);
}

}  // namespace orvane::test
