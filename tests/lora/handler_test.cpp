// TLR and RW-70 handlers: payloads into the register table, defaults, unit conversions, live entries.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "lora/lora_device_handler.h"

using namespace lora;
using Bytes = std::vector<unsigned char>;

namespace {

template <class T>
void put(Bytes& b, T v) {
    unsigned char t[sizeof v];
    std::memcpy(t, &v, sizeof v);
    b.insert(b.end(), t, t + sizeof v);
}

Bytes tlrPayload(float distance, float level, float volume, float battery) {
    Bytes b;  // distance, current, level, volume, used, max, area, battery
    for (float v : {distance, 12.0f, level, volume, 1.0f, 2.0f, 3.0f, battery}) put(b, v);
    return b;
}

Bytes rw70Payload(Bytes modbus, float ai, uint32_t di) {
    put(modbus, ai), put(modbus, di);
    return modbus;
}

LoraRegisterItem reg(const char* name, int8_t type = 0, float value = 0, const char* unit = "", const char* shown = "") {
    LoraRegisterItem r;
    r.name = name, r.valueType = type, r.value = value, r.unit = unit, r.displayUnit = shown;
    return r;
}

int update(LoraDeviceRecipeItem& item, unsigned pn, const Bytes& p, int rssi = -60) {
    return LoraDeviceHandlerFactory::get_handler(pn).update_measurements(item, 1, 6, 1, static_cast<uint8_t>(p.size()),
                                                                         rssi, p.data());
}

}  // namespace

// A short payload changes nothing; the battery sets passive; an operator's name and unit are kept.
TEST(LoraTlr, PayloadDefaultsBatteryLimitsOperatorNameAndFeet) {
    LoraDeviceRecipeItem item;
    Bytes p = tlrPayload(1.25f, 2.5f, 7.75f, 12.0f);
    EXPECT_EQ(std::make_tuple(update(item, 100, Bytes(p.begin(), p.end() - 1)), update(item, 100, {})), std::make_tuple(-1, -1));
    EXPECT_EQ(std::make_tuple(item.registers[0].name.view(), item.enable), std::make_tuple("", false));
    ASSERT_EQ(update(item, 100, p, -87), 0);
    struct Slot { const char* name; const char* unit; float value; int decimals; bool display; };
    const Slot expected[] = {{"Volume", "m3", 7.75f, 2, true}, {"Level", "m", 2.5f, 3, true}, {"Distance", "m", 1.25f, 3, true},
                             {"RSSI", "dBm", -87.0f, 0, false}};
    for (size_t i = 0; i < 4; ++i) {
        const LoraRegisterItem& r = item.registers[i];
        EXPECT_EQ(std::make_tuple(r.name.view(), r.unit.view(), r.displayUnit.view(), r.decimalPart, r.display),
                  std::make_tuple(expected[i].name, expected[i].unit, expected[i].unit, expected[i].decimals, expected[i].display)) << i;
        EXPECT_FLOAT_EQ(r.value, expected[i].value) << i;
    }
    EXPECT_EQ(std::make_tuple(item.enable, item.display, item.passive), std::make_tuple(true, true, false));
    struct Case { float battery; bool passive; };
    for (const Case c : {Case{3.5f, true}, Case{6.0f, true}, Case{3.4f, false}, Case{6.1f, false}}) {
        item.passive = !c.passive;
        ASSERT_EQ(update(item, 100, tlrPayload(1, 2, 3, c.battery)), 0);
        EXPECT_EQ(item.passive, c.passive) << c.battery;
    }

    item.registers[0].name = "Tank A", item.registers[1].displayUnit = "ft";
    ASSERT_EQ(update(item, 100, tlrPayload(1, 2.0f, 5.0f, 12)), 0);
    EXPECT_EQ(std::make_tuple(item.registers[0].name.view(), item.registers[0].value, item.registers[1].displayUnit.view()), std::make_tuple("Tank A", 5.0f, "ft"));
    EXPECT_NEAR(item.registers[1].value, 2.0 / 0.3048, 1e-4);
    LoraLiveDataItem live;
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(100).update_live_data(item, live), 4);
    EXPECT_EQ(std::make_tuple(live.regs[0].name.view(), live.regs[1].unit.view()), std::make_tuple("Tank A", "ft"));
}

TEST(LoraRw70, PayloadSizes) {
    struct Case { size_t len; int result; bool slot3, slot4; };
    // slot 3 u16 (2 bytes), slot 4 f32 (4 bytes): 8 AI/DI bytes + 6 Modbus bytes.
    for (const Case& c : {Case{7, -1, false, false}, Case{8, 0, false, false}, Case{13, 0, true, false}, Case{14, 0, true, true}}) {
        SCOPED_TRACE(c.len);
        LoraDeviceRecipeItem item;
        item.registers[3] = reg("Flow", 1, -5);
        item.registers[4] = reg("Temp", 4, -5);
        Bytes modbus = {0x34, 0x12};
        put(modbus, 21.5f);
        modbus.resize(c.len >= 8 ? c.len - 8 : 0);
        Bytes p = rw70Payload(modbus, 12.5f, 0x5);
        p.resize(c.len);
        ASSERT_EQ(update(item, 24817, p), c.result);
        if (c.result == 0) {
            const auto& r = item.registers;
            EXPECT_EQ(std::make_tuple(r[0].value, r[1].value, r[0].name.view(), r[1].name.view(), r[1].valueType), std::make_tuple(12.5f, 5.0f, "AI", "DI", 3));
        }
        EXPECT_EQ(std::make_tuple(item.registers[3].value, item.registers[4].value), std::make_tuple(c.slot3 ? 0x1234 : -5.0f, c.slot4 ? 21.5f : -5.0f));
    }
}

TEST(LoraRw70, UnknownValueTypeTakesNoBytes) {
    LoraDeviceRecipeItem item;
    item.registers[3] = reg("Odd", 6, 42);
    item.registers[4] = reg("Next");
    item.registers[5] = reg("Wide", 5, 0, "m", "ft");
    Bytes modbus = {0xFE, 0xFF};  // i16 -2
    put(modbus, 3.048);
    ASSERT_EQ(update(item, 24817, rw70Payload(modbus, 4, 0)), 0);
    EXPECT_EQ(std::make_tuple(item.registers[3].value, item.registers[4].value), std::make_tuple(42.0f, -2.0f));
    EXPECT_NEAR(item.registers[5].value, 10.0, 1e-4);
}

TEST(LoraRw70, CalculatedValueAndLiveOrder) {
    LoraDeviceRecipeItem item;
    LoraRegisterItem& ai = item.registers[0];
    ai.calculated = true, ai.minValue = 4, ai.maxValue = 20, ai.minValueCalculated = 0, ai.maxValueCalculated = 100;
    ai.nameCalculated = "Percent", ai.unitCalculated = "%", ai.decimalPartCalculated = 1;
    item.registers[3] = reg("Press", 1, 0, "bar");
    ASSERT_EQ(update(item, 24817, rw70Payload({0x07, 0x00}, 12.0f, 3)), 0);
    const LoraRegisterItem& c = item.registers[2];
    EXPECT_EQ(std::make_tuple(c.value, c.name.view(), c.unit.view(), c.valueType, c.display, c.decimalPart), std::make_tuple(50.0f, "Percent", "%", 4, false, 1));

    LoraLiveDataItem live;
    for (auto& m : live.regs) m.name = "stale", m.value = 99;  // values of another device
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(24817).update_live_data(item, live), 4);
    const std::tuple<std::string_view, std::string_view, float> want[8] = {{"Percent", "%", 50}, {"AI", "mA", 12}, {"DI", "", 3}, {"Press", "bar", 7}};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(std::make_tuple(live.regs[i].name.view(), live.regs[i].unit.view(), live.regs[i].value), want[i]) << i;
    item.registers[0].maxValue = 4;  // equal range ends: the lower calculated end
    ASSERT_EQ(update(item, 24817, rw70Payload({}, 12.0f, 3)), 0);
    EXPECT_FLOAT_EQ(item.registers[2].value, 0.0f);
    item.registers[0].calculated = false;  // AI, DI, then the named Modbus slots
    ASSERT_EQ(LoraDeviceHandlerFactory::get_handler(24817).update_live_data(item, live), 3);
    EXPECT_EQ(std::make_tuple(live.regs[0].name.view(), live.regs[2].name.view()), std::make_tuple("AI", "Press"));
}
