// Live data store: initial record, data-cell rules of every block, controller-output broadcast.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live/live_data.h"

namespace {

using Pairs = std::vector<std::pair<std::string, double>>;

TEST(LiveRecord, InitialValues) {
    auto live = std::make_unique<LiveDataGuard>();
    const ScadaLiveData& d = live->data();
    EXPECT_FLOAT_EQ(d.system.Temperature, 45.2f);
    EXPECT_EQ(d.system.Uptime, 0u);
    for (int k = 0; k < kProbeSlots; ++k) {
        const MeasureDataItem& it = d.probe.items[k];
        EXPECT_EQ(it.id, static_cast<uint32_t>(k + 1));
        EXPECT_EQ(it.type, 0u);
        EXPECT_TRUE(std::isnan(it.val));
        EXPECT_TRUE(std::isnan(it.temperature));
        EXPECT_EQ(it.cleanliness, CleanStatus::UNKNOWN);
        EXPECT_EQ(it.mA_20, 100.0f);
        EXPECT_EQ(it.tempUnit, 2);
    }
    for (float f : d.probe.diagn) EXPECT_TRUE(std::isnan(f));
    EXPECT_EQ(d.probe.calibSourceIdx, -1);
    EXPECT_EQ(d.probe.configRet, -1);
    EXPECT_TRUE(d.probe.available);
    for (const auto& blk : d.controller.inputs)
        for (float f : blk.values) EXPECT_TRUE(std::isnan(f));
    for (bool c : d.controller.connected) EXPECT_FALSE(c);
    for (int k = 0; k < kAnalogInputs; ++k) {
        EXPECT_EQ(d.analog.items[k].id, k + 1);
        EXPECT_TRUE(std::isnan(d.analog.items[k].val));
    }
    for (const auto& l : d.loops) EXPECT_EQ(l.index(), 0u);
    for (const auto& dev : d.lora.items) EXPECT_EQ(dev.id, 0);

    MeasureDataItem it;
    it.setTypes(7, 3);
    EXPECT_EQ(it.type, 0x0307u);
    EXPECT_EQ(it.measureType(), 7);
    EXPECT_EQ(it.probeType(), 3);
}

TEST(LiveDataCell, ProbeAnalogLoraAndControllerRules) {
    auto live = std::make_unique<LiveDataGuard>();
    ScadaLiveData& d = live->data();
    std::array<fss::basic_str<char, 32>, kProbeSlots> names;
    names[0] = "pH";
    names[2] = "ORP";
    names[5] = "Cond";
    d.probe.items[0].setTypes(1, 1);
    d.probe.items[0].val = 7.25f;
    d.probe.items[1].val = 3.0f;  // type word 0: no reading
    d.probe.items[2].setTypes(2, 1);  // NaN value: skipped
    d.probe.items[5].setTypes(3, 2);
    d.probe.items[5].val = -1.5f;

    orvane_ipc::DataCell cell;
    d.probe.getDataCell(cell, names);
    EXPECT_EQ(cell.values, (Pairs{{"pH", 7.25}, {"Cond", -1.5}}));
    EXPECT_GT(cell.timestamp, 0u);

    auto& lora = d.lora.items;
    lora[0].id = 3;
    lora[0].uid = "U1";
    lora[0].regs[0].name = "Level";
    lora[0].regs[0].value = 1.5f;
    lora[0].regs[1].value = 9.0f;  // no name: skipped
    lora[0].regs[2].name = "Temp";
    lora[0].regs[2].value = NAN;   // kept
    lora[1].id = 4;
    lora[1].uid = "U2";
    lora[1].cust_name = "Tank";
    lora[1].regs[7].name = "V";
    lora[1].regs[7].value = 2.0f;
    lora[2].id = 5;  // neither name: nothing
    lora[2].regs[0].name = "X";
    lora[3].uid = "U4";  // id 0: empty slot
    lora[3].regs[0].name = "Y";
    cell = {};
    d.lora.getDataCell(cell);
    ASSERT_EQ(cell.values.size(), 3u);
    EXPECT_EQ(cell.values[0], (std::pair<std::string, double>{"U1_Level", 1.5}));
    EXPECT_EQ(cell.values[1].first, "U1_Temp");
    EXPECT_TRUE(std::isnan(cell.values[1].second));
    EXPECT_EQ(cell.values[2], (std::pair<std::string, double>{"Tank_V", 2.0}));

    auto& ctl = d.controller;
    ctl.connected[1] = true;
    ctl.inputs[1].used[0] = true;
    ctl.inputs[1].names[0] = "Flow";
    ctl.inputs[1].values[0] = 12.5f;
    ctl.inputs[1].used[1] = true;  // NaN: skipped
    ctl.inputs[1].values[2] = 4.0f;  // not used: skipped
    ctl.inputs[0].used[0] = true;  // not connected: skipped
    ctl.inputs[0].values[0] = 1.0f;
    cell = {};
    ctl.getDataCell(cell);
    EXPECT_EQ(cell.values, (Pairs{{"Flow", 12.5}}));

    d.analog.names[0] = "AI1";
    d.analog.items[0].val = 0.5f;
    d.analog.names[1] = "AI2";
    cell = {};
    d.analog.getDataCell(cell);
    EXPECT_EQ(cell.values, (Pairs{{"AI1", 0.5}}));
}

TEST(LiveBroadcast, CopiesOnlyFloatReferences) {
    auto live = std::make_unique<LiveDataGuard>();
    auto refs = std::make_unique<ControllerOutputRefs>();
    float src = 42.5f;
    int notFloat = 7;
    float* nullFloat = nullptr;
    (*refs)[0][0] = &src;
    (*refs)[7][127] = &src;
    (*refs)[1][0] = &notFloat;
    (*refs)[2][0] = nullFloat;
    auto& out = live->data().controller.outputs;
    out[1].values[0] = 3.0f;
    live->broadcastToControllerOutput(*refs);
    EXPECT_EQ(out[0].values[0], 42.5f);
    EXPECT_EQ(out[7].values[127], 42.5f);
    EXPECT_EQ(out[1].values[0], 3.0f);
    EXPECT_TRUE(std::isnan(out[2].values[0]));
    EXPECT_TRUE(std::isnan(out[0].values[1]));

    // With the table's own lock: the copy is taken under it and released before the live mutex.
    std::mutex refsMutex;
    src = 1.0f;
    live->broadcastToControllerOutput(*refs, refsMutex);
    EXPECT_EQ(out[0].values[0], 1.0f);
    EXPECT_TRUE(refsMutex.try_lock());
    refsMutex.unlock();
}

// A thread that holds the live mutex and waits for the table lock does not deadlock against the
// broadcast, which never holds the table lock while it takes the live mutex.
TEST(LiveBroadcast, NeverHoldsTheTableLockWhileTakingTheLiveMutex) {
    auto live = std::make_unique<LiveDataGuard>();
    auto refs = std::make_unique<ControllerOutputRefs>();
    float src = 5.0f;
    (*refs)[3][3] = &src;
    std::mutex refsMutex;
    std::thread other([&] {
        for (int k = 0; k < 2000; ++k) {
            std::lock_guard<StoreMutex> l1(live->mutex());
            std::lock_guard<std::mutex> l2(refsMutex);
            src += 1.0f;
        }
    });
    for (int k = 0; k < 2000; ++k) live->broadcastToControllerOutput(*refs, refsMutex);
    other.join();
    std::lock_guard<StoreMutex> lk(live->mutex());
    EXPECT_FALSE(std::isnan(live->data().controller.outputs[3].values[3]));
}

}  // namespace

#include "recipe/json_codec.h"
#include "recipe/recipe_guard.h"

namespace {

TEST(LiveDataCell, GuardLabelsProbesWithRecipeNamesAndJoinsBlocksInOrder) {
    auto recipe = std::make_unique<RecipeDataGuard>();
    auto live = std::make_unique<LiveDataGuard>(recipe.get());
    recipe->recipe.sensors[0].name = "pH";
    recipe->recipe.sensors[0].custName = "Tank pH";  // custName wins
    recipe->recipe.sensors[1].name = "ORP";
    ScadaLiveData& d = live->data();
    d.probe.items[0].setTypes(2, 1);
    d.probe.items[0].val = 7.5f;
    d.probe.items[1].setTypes(3, 1);
    d.probe.items[1].val = 250.0f;
    d.lora.items[0].id = 1;
    d.lora.items[0].uid = "L1";
    d.lora.items[0].regs[0].name = "Lvl";
    d.lora.items[0].regs[0].value = 3.0f;
    d.controller.connected[0] = true;
    d.controller.inputs[0].used[5] = true;
    d.controller.inputs[0].names[5] = "Flow";
    d.controller.inputs[0].values[5] = 8.0f;
    d.analog.names[7] = "AI8";
    d.analog.items[7].val = 12.0f;

    orvane_ipc::DataCell cell = live->getDataCell();
    EXPECT_EQ(cell.values, (Pairs{{"Tank pH", 7.5}, {"ORP", 250.0}, {"L1_Lvl", 3.0}, {"Flow", 8.0}, {"AI8", 12.0}}));

    // Without a recipe the probe pairs are still there, unnamed.
    auto bare = std::make_unique<LiveDataGuard>();
    bare->data().probe.items[9].setTypes(1, 1);
    bare->data().probe.items[9].val = 1.0f;
    EXPECT_EQ(bare->getDataCell().values, (Pairs{{"", 1.0}}));
}

TEST(LiveJson, ProbeItemText) {
    gIndentLevelForWriteJsonP = 0;
    MeasureDataItem it;
    it.id = 4;
    char buf[1024];
    int n = writeJsonP(it, buf, sizeof buf, nullptr);
    const std::string empty =
        "{\n"
        "  \"val\":null,\n"
        "  \"cleanliness\":-1,\n"
        "  \"temperature\":null,\n"
        "  \"id\":4,\n"
        "  \"status\":0 ,\n"
        "  \"SN\":0,\n"
        "  \"swVer\":\"\",\n"
        "  \"hwVer\":\"\",\n"
        "  \"mA_4\":0,\n"
        "  \"mA_20\":100,\n"
        "  \"tempUnit\":2}";
    ASSERT_EQ(n, static_cast<int>(empty.size()));
    EXPECT_EQ(std::string(buf, n), empty);
    EXPECT_EQ(buf[n], '\n');  // uncounted newline
    EXPECT_EQ(gIndentLevelForWriteJsonP, 0);

    it.val = 7.25f;
    it.cleanliness = CleanStatus::BECOMING_FOULED;
    it.temperature = 25.0004f;
    it.status = 2;
    it.SN = 4000000000u;
    it.swVer = "1.0.3";
    it.hwVer = "B";
    it.mA_4 = 0.5f;
    it.tempUnit = 1;
    gIndentLevelForWriteJsonP = 1;
    n = writeJsonP(it, buf, sizeof buf, "p");
    gIndentLevelForWriteJsonP = 0;
    EXPECT_EQ(std::string(buf, n),
              "  \"p\":{\n"
              "    \"val\":7.250000,\n"
              "    \"cleanliness\":1,\n"
              "    \"temperature\":25,\n"
              "    \"id\":4,\n"
              "    \"status\":2 ,\n"
              "    \"SN\":4000000000,\n"
              "    \"swVer\":\"1.0.3\",\n"
              "    \"hwVer\":\"B\",\n"
              "    \"mA_4\":0.500000,\n"
              "    \"mA_20\":100,\n"
              "    \"tempUnit\":1}");
    // Too little room: -1, and nothing written at or past the room.
    char small[40];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(writeJsonP(it, small, 32, nullptr), -1);
    for (int i = 32; i < 40; ++i) EXPECT_EQ(small[i], 'x');
}

TEST(LiveJson, ProbeBlockText) {
    gIndentLevelForWriteJsonP = 0;
    auto block = std::make_unique<ProbeLiveData>();
    block->diagn[0] = 1.5f;
    block->diagnKeys[0] = "Slope";
    block->diagNum = 1;
    block->cmdRetMsg = "ok";
    block->available = false;
    block->timestamp = 1700000000u;
    std::vector<char> buf(256 * 1024);
    int n = writeJsonP(*block, buf.data(), static_cast<int>(buf.size()), nullptr);
    ASSERT_GT(n, 0);
    const std::string text(buf.data(), n);
    EXPECT_EQ(text.rfind("{\n  \"reading\":[\n    {\n      \"val\":null,\n", 0), 0u);
    EXPECT_NE(text.find("      \"id\":128,\n"), std::string::npos);
    std::string tail = "      \"tempUnit\":2}]\n,\n  \"diagn\":[\n    1.500000";
    for (int i = 1; i < 20; ++i) tail += ",\n    null";
    tail += "]\n,\n  \"diagnRet\":-1,\n  \"diagnSourceIdx\":-1,\n  \"diagNum\":1,\n  \"diagnKeys\":[\n    \"Slope\"";
    for (int i = 1; i < 20; ++i) tail += ",\n    \"\"";
    tail +=
        "]\n,\n  \"pingSourceIdx\":-1,\n  \"pingRet\":-1,\n  \"configSourceIdx\":-1,\n  \"configRet\":-1,\n"
        "  \"calibRet\":-1,\n  \"calibSourceIdx\":-1,\n  \"cmdRetMsg\":\"ok\",\n  \"restoreSourceIdx\":-1,\n"
        "  \"restoreRet\":-1,\n  \"available\":false,\n  \"timestamp\":1700000000}";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(gIndentLevelForWriteJsonP, 0);
}

}  // namespace

namespace {

TEST(LiveJson, FlatReadingObject) {
    gIndentLevelForWriteJsonP = 0;
    auto block = std::make_unique<ProbeLiveData>();
    std::string out = "x";
    block->buildReadingJsonStr(out, true);
    EXPECT_EQ(out, "x{}\n");

    block->items[0].setTypes(2, 1);  // MODEL-01.pH
    block->items[0].val = 7.0f;
    block->items[4].setTypes(3, 1);  // MODEL-01.ORP
    block->items[4].val = 250.5f;
    block->items[9].setTypes(2, 1);  // same key as slot 0: replaces it
    block->items[9].val = 6.5f;
    block->items[11].setTypes(200, 250);  // outside both name tables: "."
    out.clear();
    block->buildReadingJsonStr(out, true);
    EXPECT_EQ(out, "{\".\":null,\"MODEL-01.ORP\":250.500000,\"MODEL-01.pH\":6.500000}\n");
    out.clear();
    block->buildReadingJsonStr(out, false);
    EXPECT_EQ(out, "{\"1\":7,\"10\":6.500000,\"12\":null,\"5\":250.500000}\n");
}

}  // namespace
