// The full named-variable register map over real recipe and live records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "exportvar.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/hmi_block.h"
#include "recipe/recipe_data.h"
#include "register_map_fixture.h"

namespace {

TEST_F(RegisterMap, CountHighestRegisterAndNoOverlap) {
    ASSERT_EQ(vars->tabLen(), 5116);
    int highest = 0;
    std::map<RegValType, int> perGroup;
    for (int i = 0; i < vars->tabLen(); ++i) {
        const RegEntry& e = vars->entry(i);
        ASSERT_GT(e.num, 0) << e.name.str();
        highest = std::max(highest, e.reg + e.num - 1);
        ++perGroup[e.type];
        if (i > 0) {
            const RegEntry& prev = vars->entry(i - 1);
            ASSERT_LE(prev.reg + prev.num, e.reg) << prev.name.str() << " / " << e.name.str();
        }
    }
    EXPECT_EQ(highest, 37582);
    EXPECT_EQ(perGroup[RegValType::GENERAL], 15 + 6 + 97);
    EXPECT_EQ(perGroup[RegValType::CONTROLLER_VAL], 2000);
    EXPECT_EQ(perGroup[RegValType::CELLULAR_VAL], 10);
    EXPECT_EQ(perGroup[RegValType::WIFI_VAL], 8);
    EXPECT_EQ(perGroup[RegValType::LORA_VAL] + perGroup[RegValType::LORA_NAME] + perGroup[RegValType::LORA_UNIT], 384);
    EXPECT_EQ(perGroup[RegValType::PROBE_VAL], 148);
    EXPECT_EQ(perGroup[RegValType::AI_RAW] + perGroup[RegValType::AI_VAL], 16);
}

TEST_F(RegisterMap, AddressesOfNamedVariables) {
    struct Spot {
        const char* name;
        int reg;
    };
    // First registration of each name (lowest address).
    const Spot spots[] = {
        {"floatRef", 1},          {"Model", 1001},           {"PN", 1017},
        {"HMICommand", 1071},     {"Uptime", 1069},          {"probeId", 2991},
        {"command", 2992},        {"message", 1201},         {"custName", 1265},
        {"diagn19", 1540},        {"scanResultType0", 1601}, {"scanResultEnable9", 1890},
        {"oldPN", 1901},          {"newModbusAddr", 1909},   {"modbusAddr", 1912},
        {"IP", 4037},             {"ICCID", 4053},           {"Enable", 4101},
        {"STATION_IP", 4183},     {"LoRaId", 3989},          {"LoRaTxPwr", 3996},
        {"Lora15_Reg7_Value", 16895}, {"Lora0_Reg0_Name", 3001}, {"Lora7_Reg7_Value", 3895},
        {"Lora8_Reg0_Unit", 16513},   {"ProbeNameExt127", 28733}, {"ProbeName19", 10305},
        {"AIDisplayId7", 9808},   {"Controller_0_Name", 501}, {"Controller_5_Name", 32001},
        {"Controller_7_Connected", 36049},
    };
    std::map<std::string, int> firstReg;
    for (int i = 0; i < vars->tabLen(); ++i) {
        const RegEntry& e = vars->entry(i);
        firstReg.emplace(e.name.str(), e.reg);  // sorted: the first seen is the lowest
    }
    for (const Spot& s : spots) {
        ASSERT_TRUE(firstReg.count(s.name)) << s.name;
        EXPECT_EQ(firstReg[s.name], s.reg) << s.name;
    }
    EXPECT_EQ(firstReg.count("ProbeName20"), 0u);
    EXPECT_EQ(vars->findRegByGroupIndex(RegValType::GENERAL, 0), 1);
    EXPECT_EQ(vars->findRegByGroupIndex(RegValType::LORA_VAL, 127), 16895);
    EXPECT_EQ(vars->findRegByGroupIndex(RegValType::PROBE_VAL, 0), 2001);
    EXPECT_EQ(vars->findRegByGroupIndex(RegValType::AI_VAL, 3), 9107);
    // Client 2: first input name and first output name; client 5: first input name.
    EXPECT_EQ(std::get<text16*>(vars->findByReg(7049).second), &recipe->mbTcpClient[2].inputs[0].regName);
    EXPECT_EQ(std::get<text32*>(vars->findByReg(13001).second), &recipe->mbTcpClient[2].outputs[0].outputName);
    EXPECT_EQ(std::get<text16*>(vars->findByReg(32101).second), &recipe->mbTcpClient[5].inputs[0].regName);
    EXPECT_EQ(std::get<float*>(vars->findByReg(37581).second), &live->data().controller.outputs[7].values[15]);

    // Lookups by name find the lowest address of a repeated name.
    EXPECT_EQ(std::get<text16*>(vars->findByName("IP").second), &live->data().lte.ip);
    EXPECT_EQ(std::get<int*>(vars->findByName("PN").second), &recipe->system.pn);
    EXPECT_EQ(std::get<float*>(vars->findByName("Lora15_Reg7_Value").second),
              &live->data().lora.items[15].regs[7].value);
}

TEST_F(RegisterMap, OwnersOfTheBoundFields) {
    EXPECT_EQ(vars->findByReg(1).first, RegOwner::NONE);        // sample constant
    EXPECT_EQ(vars->findByReg(1017).first, RegOwner::RECIPE);   // system pn
    EXPECT_EQ(vars->findByReg(1069).first, RegOwner::LIVE);     // Uptime
    EXPECT_EQ(vars->findByReg(2992).first, RegOwner::NONE);     // HMI block
    EXPECT_EQ(vars->findByReg(4017).first, RegOwner::LIVE);     // carrier
    EXPECT_EQ(vars->findByReg(36049).first, RegOwner::LIVE);    // client 7 connected
}

TEST_F(RegisterMap, ValuesThroughTheRegisters) {
    uint16_t regs[6];
    ASSERT_TRUE(vars->getRegVal(1, regs, 6, EndianessType::NONE));
    float f;
    uint32_t bits = regs[0] | (static_cast<uint32_t>(regs[1]) << 16);
    std::memcpy(&f, &bits, 4);
    EXPECT_FLOAT_EQ(f, 123.45f);
    EXPECT_EQ(regs[2], 0x0304);
    EXPECT_EQ(regs[3], 0x0102);
    EXPECT_EQ(regs[4], 0x0304);
    EXPECT_EQ(regs[5], 0x0102);

    // Probes 0..19 appear at both of their addresses; a change shows at both.
    for (int k = 0; k < 20; ++k) {
        live->data().probe.items[k].val = 1.5f + static_cast<float>(k);
        uint16_t a[2], b[2];
        ASSERT_TRUE(vars->getRegVal(2001 + 2 * k, a, 2, EndianessType::NONE));
        ASSERT_TRUE(vars->getRegVal(20001 + 2 * k, b, 2, EndianessType::NONE));
        EXPECT_EQ(a[0], b[0]);
        EXPECT_EQ(a[1], b[1]);
        bits = a[0] | (static_cast<uint32_t>(a[1]) << 16);
        std::memcpy(&f, &bits, 4);
        EXPECT_EQ(f, 1.5f + static_cast<float>(k));
    }

    // The system name text and the time zone, written as a Modbus master would.
    const uint8_t tz[] = {0xFF, 0xFB};  // -5
    ASSERT_TRUE(vars->setRegVal(1059, tz, 1, EndianessType::NONE));
    EXPECT_EQ(recipe->system.timezone, -5);
    const uint8_t cmd[] = {0x00, 0x19};
    ASSERT_TRUE(vars->setRegVal(2992, cmd, 1, EndianessType::NONE));
    EXPECT_EQ(hmi->command, 25);
}

}  // namespace
