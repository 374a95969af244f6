// Device handlers: TLR and RW-70 payloads into the register table, defaults, conversions through
// the real unit table, and the live entries they produce.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lora/lora_device_handler.h"

using namespace lora;
using Bytes = std::vector<unsigned char>;

namespace {

void putF32(Bytes& b, float v) {
    unsigned char t[4];
    std::memcpy(t, &v, 4);
    b.insert(b.end(), t, t + 4);
}
void putU32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// distance, current, level, volume, used, max, area, battery
Bytes tlrPayload(float distance, float level, float volume, float battery) {
    Bytes b;
    for (float v : {distance, 12.0f, level, volume, 1.0f, 2.0f, 3.0f, battery}) putF32(b, v);
    return b;
}

Bytes rw70Payload(const Bytes& modbus, float ai, uint32_t di) {
    Bytes b = modbus;
    putF32(b, ai);
    putU32(b, di);
    return b;
}

int update(LoraDeviceRecipeItem& item, unsigned pn, const Bytes& p, int rssi = -60) {
    return LoraDeviceHandlerFactory::get_handler(pn).update_measurements(item, 1, 6, 1, static_cast<uint8_t>(p.size()),
                                                                         rssi, p.data());
}

}  // namespace

TEST(LoraTlr, BatteryLimitsSetPassive) {
    struct Case { float battery; bool passive; };
    for (const Case c : {Case{3.5f, true}, Case{6.0f, true}, Case{4.2f, true}, Case{3.4f, false}, Case{6.1f, false},
                         Case{0.0f, false}}) {
        LoraDeviceRecipeItem item;
        item.passive = !c.passive;
        ASSERT_EQ(update(item, 100, tlrPayload(1, 2, 3, c.battery)), 0);
        EXPECT_EQ(item.passive, c.passive) << c.battery;
    }
}

TEST(LoraTlr, DefaultsValuesAndRssi) {
    LoraDeviceRecipeItem item;
    ASSERT_EQ(update(item, 100, tlrPayload(1.25f, 2.5f, 7.75f, 12.0f), -87), 0);
    struct Slot { const char* name; const char* unit; float value; int decimals; bool display; };
    const Slot expected[] = {
        {"Volume", "m3", 7.75f, 2, true}, {"Level", "m", 2.5f, 3, true}, {"Distance", "m", 1.25f, 3, true},
        {"RSSI", "dBm", -87.0f, 0, false}};
    for (size_t i = 0; i < 4; ++i) {
        const LoraRegisterItem& r = item.registers[i];
        EXPECT_EQ(r.name.view(), expected[i].name) << i;
        EXPECT_EQ(r.unit.view(), expected[i].unit) << i;
        EXPECT_EQ(r.displayUnit.view(), expected[i].unit) << i;
        EXPECT_FLOAT_EQ(r.value, expected[i].value) << i;
        EXPECT_EQ(r.decimalPart, expected[i].decimals) << i;
        EXPECT_EQ(r.display, expected[i].display) << i;
    }
    EXPECT_TRUE(item.enable);
    EXPECT_TRUE(item.display);
    EXPECT_FALSE(item.passive);
}

TEST(LoraTlr, OperatorNameKeptAndFeetConversion) {
    LoraDeviceRecipeItem item;
    item.registers[0].name = "Tank A";
    item.registers[0].unit = "m3";
    item.registers[0].displayUnit = "m3";
    item.registers[1].name = "Level";
    item.registers[1].unit = "m";
    item.registers[1].displayUnit = "ft";
    ASSERT_EQ(update(item, 100, tlrPayload(1, 2.0f, 5.0f, 12)), 0);
    EXPECT_EQ(item.registers[0].name.view(), "Tank A");
    EXPECT_FLOAT_EQ(item.registers[0].value, 5.0f);
    EXPECT_NEAR(item.registers[1].value, 2.0 / 0.3048, 1e-4);
    EXPECT_EQ(item.registers[1].displayUnit.view(), "ft");

    LoraLiveDataItem live;
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(100).update_live_data(item, live), 4);
    EXPECT_EQ(live.regs[0].name.view(), "Tank A");
    EXPECT_EQ(live.regs[1].unit.view(), "ft");
}

TEST(LoraTlr, ShortPayloadChangesNothing) {
    LoraDeviceRecipeItem item;
    Bytes p = tlrPayload(1, 2, 3, 4);
    p.pop_back();
    EXPECT_EQ(update(item, 100, p), -1);
    EXPECT_TRUE(item.registers[0].name.empty());
    EXPECT_FALSE(item.enable);
    EXPECT_EQ(update(item, 100, {}), -1);
}

TEST(LoraRw70, PayloadSizes) {
    struct Case { size_t len; int result; bool slot3, slot4; };
    // slot 3 u16 (2 bytes), slot 4 f32 (4 bytes): 8 AI/DI bytes + 6 Modbus bytes.
    const Case cases[] = {{7, -1, false, false}, {8, 0, false, false}, {10, 0, true, false},
                          {13, 0, true, false},  {14, 0, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        LoraDeviceRecipeItem item;
        item.registers[3].name = "Flow";
        item.registers[3].valueType = 1;
        item.registers[3].value = -5;
        item.registers[4].name = "Temp";
        item.registers[4].valueType = 4;
        item.registers[4].value = -5;
        Bytes modbus = {0x34, 0x12};
        putF32(modbus, 21.5f);
        modbus.resize(c.len >= 8 ? c.len - 8 : 0);
        Bytes p = rw70Payload(modbus, 12.5f, 0x5);
        p.resize(c.len);
        ASSERT_EQ(update(item, 24817, p), c.result);
        if (c.result == 0) {
            EXPECT_FLOAT_EQ(item.registers[0].value, 12.5f);
            EXPECT_FLOAT_EQ(item.registers[1].value, 5.0f);
            EXPECT_EQ(item.registers[0].name.view(), "AI");
            EXPECT_EQ(item.registers[1].name.view(), "DI");
            EXPECT_EQ(item.registers[1].valueType, 3);
        }
        EXPECT_FLOAT_EQ(item.registers[3].value, c.slot3 ? 0x1234 : -5);
        EXPECT_FLOAT_EQ(item.registers[4].value, c.slot4 ? 21.5f : -5);
    }
}

TEST(LoraRw70, UnknownValueTypeTakesNoBytes) {
    for (int8_t badType : {int8_t{6}, int8_t{-1}, int8_t{127}}) {
        LoraDeviceRecipeItem item;
        item.registers[3].name = "Odd";
        item.registers[3].valueType = badType;
        item.registers[3].value = 42;
        item.registers[4].name = "Next";
        item.registers[4].valueType = 0;
        item.registers[5].name = "Wide";
        item.registers[5].valueType = 5;
        item.registers[5].unit = "m";
        item.registers[5].displayUnit = "ft";
        Bytes modbus = {0xFE, 0xFF};  // i16 -2
        const double wide = 3.048;
        unsigned char t[8];
        std::memcpy(t, &wide, 8);
        modbus.insert(modbus.end(), t, t + 8);
        ASSERT_EQ(update(item, 24817, rw70Payload(modbus, 4, 0)), 0);
        EXPECT_FLOAT_EQ(item.registers[3].value, 42) << int(badType);
        EXPECT_FLOAT_EQ(item.registers[4].value, -2) << int(badType);
        EXPECT_NEAR(item.registers[5].value, 10.0, 1e-4) << int(badType);
    }
}

TEST(LoraRw70, CalculatedValueAndLiveOrder) {
    LoraDeviceRecipeItem item;
    LoraRegisterItem& ai = item.registers[0];
    ai.calculated = true;
    ai.minValue = 4;
    ai.maxValue = 20;
    ai.minValueCalculated = 0;
    ai.maxValueCalculated = 100;
    ai.nameCalculated = "Percent";
    ai.unitCalculated = "%";
    ai.decimalPartCalculated = 1;
    item.registers[3].name = "Press";
    item.registers[3].unit = "bar";
    item.registers[3].valueType = 1;
    ASSERT_EQ(update(item, 24817, rw70Payload({0x07, 0x00}, 12.0f, 3)), 0);
    const LoraRegisterItem& c = item.registers[2];
    EXPECT_FLOAT_EQ(c.value, 50.0f);
    EXPECT_EQ(c.name.view(), "Percent");
    EXPECT_EQ(c.unit.view(), "%");
    EXPECT_EQ(c.valueType, 4);
    EXPECT_FALSE(c.display);
    EXPECT_EQ(c.decimalPart, 1);

    LoraLiveDataItem live;
    for (auto& m : live.regs) {  // stale values of another device
        m.name = "stale";
        m.value = 99;
    }
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(24817).update_live_data(item, live), 4);
    const char* names[] = {"Percent", "AI", "DI", "Press"};
    const char* units[] = {"%", "mA", "", "bar"};
    const float values[] = {50, 12, 3, 7};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(live.regs[i].name.view(), names[i]);
        EXPECT_EQ(live.regs[i].unit.view(), units[i]);
        EXPECT_FLOAT_EQ(live.regs[i].value, values[i]);
    }
    for (int i = 4; i < 8; ++i) {
        EXPECT_TRUE(live.regs[i].name.empty()) << i;
        EXPECT_EQ(live.regs[i].value, 0) << i;
    }

    // Equal range ends: the calculated value is the lower calculated end.
    item.registers[0].maxValue = 4;
    ASSERT_EQ(update(item, 24817, rw70Payload({}, 12.0f, 3)), 0);
    EXPECT_FLOAT_EQ(item.registers[2].value, 0.0f);

    // Without calculated: AI, DI, then the named Modbus slots.
    item.registers[0].calculated = false;
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(24817).update_live_data(item, live), 3);
    EXPECT_EQ(live.regs[0].name.view(), "AI");
    EXPECT_EQ(live.regs[2].name.view(), "Press");
}
