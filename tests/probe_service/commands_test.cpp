// Mailbox commands end to end: EnvGuard producer -> probe service -> simulated probe -> status
// words, live block, recipe, parameter.json and opdata.json.
#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "rig.h"

using namespace probe_test;
using orvane::test::SimFloatOrder;
using orvane::test::SimProbeValues;

namespace {

SimProbeValues serial(uint32_t sn) {
    SimProbeValues v;
    v.serial = sn;
    v.readings = {{"pH", 7.0f}, {"Temperature", 20.0f}};
    return v;
}

}  // namespace

class ProbeCommands : public ServiceRig {
protected:
    void SetUp() override {
        ServiceRig::SetUp();
        gRetryMaxNum.store(1);  // failures cost one time-out, not three
    }
    // One command pass without polling (silent probes would cost time-outs).
    bool runCommand() {
        ProbeService& svc = service();
        svc.syncInit();
        return svc.tryOutterCmd();
    }
    nlohmann::json opdata() { return nlohmann::json::parse(orvane::test::readFile(root_.file("runtime/opdata.json"))); }
    std::string cmdText() { return service().probeBlock().cmdRetMsg.str(); }
    // The float at reg of the probe at addr, in whichever word order holds value.
    bool holdsFloat(int addr, uint32_t reg, float value) {
        for (auto order : {SimFloatOrder::ABCD, SimFloatOrder::BADC, SimFloatOrder::CDAB, SimFloatOrder::DCBA})
            if (sim_.getFloat(addr, reg, order) == value) return true;
        return false;
    }
};

TEST_F(ProbeCommands, CalibrationReportsResultAndLogsOnDisk) {
    addProbe(kPhPN, 10, serial(777001));
    sim_.setRegister(10, 42004, 1);  // result register: "calibration succeed"
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();  // identification: the live slot holds the serial number
    ASSERT_EQ(liveSlot(0).SN, 777001u);

    const int64_t before = clock_.wallSeconds();
    ASSERT_TRUE(env_->set_calibCmd(CalbCmdPack{0, 0, 4.0f}));
    EXPECT_EQ(env_->calibStatus.load(), -1);
    svc.runOnce();
    EXPECT_EQ(env_->calibStatus.load(), 1);
    EXPECT_EQ(env_->getCalibMessage(), "calibration succeed");
    EXPECT_EQ(cmdText(), "calibration succeed");
    EXPECT_EQ(env_->probeCmdPending.load(), 0);
    EXPECT_TRUE(holdsFloat(10, 42001, 4.0f));

    // A probe that does not answer: result 0, and the attempt is still logged.
    sim_.setSilent(10, true);
    ASSERT_TRUE(env_->set_calibCmd(CalbCmdPack{0, 1, 7.0f}));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->calibStatus.load(), 0);

    const nlohmann::json doc = opdata();
    ASSERT_EQ(doc["items"].size(), 2u);
    EXPECT_EQ(doc["items"][0]["key"], "50210_777001_pH");
    EXPECT_EQ(doc["items"][0]["caliName"], "pH");
    EXPECT_EQ(doc["items"][0]["success"], true);
    EXPECT_FLOAT_EQ(doc["items"][0]["solution"].get<float>(), 4.0f);
    EXPECT_GE(doc["items"][0]["timestamp"].get<int64_t>(), before);
    EXPECT_LE(doc["items"][0]["timestamp"].get<int64_t>(), clock_.wallSeconds());
    EXPECT_EQ(doc["items"][1]["success"], false);
    EXPECT_FLOAT_EQ(doc["items"][1]["solution"].get<float>(), 7.0f);
}

TEST_F(ProbeCommands, OutOfRangeIndexesChangeNoStatusWord) {
    setItem(0, kPhPN, 10, "pH", "pH");
    env_->calibStatus.store(5);
    env_->restoreStatus.store(5);
    env_->configStatus.store(5);
    ASSERT_TRUE(env_->set_probeCmd(CalbCmdPack{128, 0, 1.0f}, true));
    EXPECT_FALSE(runCommand());
    ASSERT_TRUE(env_->set_probeCmd(RestoreCmdPack{4000000000u}, true));
    EXPECT_FALSE(runCommand());
    ConfigCmdPack cfg;
    cfg.probeId = 300;
    cfg.cmdType = CONFIG_CMD_CHANGE_ADDR;
    cfg.newAddr = 20;
    ASSERT_TRUE(env_->set_probeCmd(cfg, true));
    runCommand();
    EXPECT_EQ(env_->calibStatus.load(), 5);
    EXPECT_EQ(env_->restoreStatus.load(), 5);
    EXPECT_EQ(env_->configStatus.load(), 5);
    EXPECT_EQ(env_->probeCmdPending.load(), 0) << "the mailbox is emptied all the same";
    EXPECT_EQ(sim_.requestCount(), 0u);
}

TEST_F(ProbeCommands, RestoreSucceedsAndFails) {
    addProbe(kPhPN, 10, serial(1));
    setItem(0, kPhPN, 10, "pH", "pH");
    ASSERT_TRUE(env_->set_restoreCmd(RestoreCmdPack{0}));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->restoreStatus.load(), 1);
    EXPECT_EQ(sim_.getRegister(10, 44011).value_or(0), 1);
    sim_.setSilent(10, true);
    ASSERT_TRUE(env_->set_restoreCmd(RestoreCmdPack{0}));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->restoreStatus.load(), 0);
}

TEST_F(ProbeCommands, AddressChangeMovesEveryReadingOfTheProbe) {
    addProbe(kCondPN, 20, serial(31));
    setItem(0, kCondPN, 20, "Conductivity", "uS/cm", 31);
    setItem(1, kCondPN, 20, "TDS", "ppm", 31);
    setItem(2, kCondPN, 20, "Temperature", "C", 31);
    setItem(3, kPhPN, 10, "pH", "pH");  // another probe: not touched
    service().syncInit();

    // Same address: success without a word on the bus.
    ConfigCmdPack same;
    same.probeId = 1;
    same.newAddr = 20;
    ASSERT_TRUE(env_->set_probeAddr(same));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->configStatus.load(), 1);
    EXPECT_EQ(sim_.requestCount(), 0u);

    // The web renames an item while the command waits: the rename survives the move.
    ConfigCmdPack move;
    move.probeId = 1;
    move.newAddr = 25;
    ASSERT_TRUE(env_->set_probeAddr(move));
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.sensors[2].custName = "Water temp";
    }
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->configStatus.load(), 1);
    EXPECT_EQ(cmdText(), "change address successfully");
    EXPECT_TRUE(sim_.hasProbe(25));
    EXPECT_FALSE(sim_.hasProbe(20));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recipeItem(i).modbusAddr, 25) << i;
        EXPECT_EQ(service().items()[static_cast<size_t>(i)].modbusAddr, 25) << i;
    }
    EXPECT_EQ(recipeItem(2).custName, "Water temp");
    EXPECT_EQ(recipeItem(3).modbusAddr, 10);
    EXPECT_NE(recipe_->changeWordForTest() & 0x2u, 0u);
    EXPECT_NE(configText().find("\"Water temp\""), std::string::npos);

    // A probe that does not answer: failure, recipe unchanged.
    sim_.setSilent(25, true);
    service().syncInit();
    ConfigCmdPack fail;
    fail.probeId = 0;
    fail.newAddr = 40;
    ASSERT_TRUE(env_->set_probeAddr(fail));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->configStatus.load(), 0);
    EXPECT_EQ(cmdText(), "change address failed");
    EXPECT_EQ(recipeItem(0).modbusAddr, 25);
}

TEST_F(ProbeCommands, SpanAndValueWrites) {
    addProbe(kPhPN, 10, serial(1));
    setItem(0, kPhPN, 10, "pH", "pH");
    service().syncInit();
    ConfigCmdPack span;
    span.probeId = 0;
    span.cmdType = CONFIG_CMD_SPAN_4_20MA;
    span.mA_4 = 1.5f;
    span.mA_20 = 13.0f;
    ASSERT_TRUE(env_->set_probeConfig(span));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->configStatus.load(), 1);
    EXPECT_TRUE(holdsFloat(10, 43003, 13.0f));
    EXPECT_FLOAT_EQ(service().probeBlock().items[0].mA_20, 13.0f);
    EXPECT_FLOAT_EQ(recipeItem(0).mA_4, 1.5f);
    EXPECT_FLOAT_EQ(recipeItem(0).mA_20, 13.0f);

    ConfigCmdPack value;
    value.probeId = 0;
    value.cmdType = CONFIG_CMD_WRITE_VALUE;
    value.value = 6.5f;
    ASSERT_TRUE(env_->set_probeConfig(value));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->configStatus.load(), 1);
    EXPECT_TRUE(holdsFloat(10, 40001, 6.5f));
}

TEST_F(ProbeCommands, AddressBatchAddsMovesAndReports) {
    addProbe(kTurbPN, 30, serial(301));
    addProbe(kTurbPN, 31, serial(302));
    service().syncInit();
    ChangeAddrBatch batch{};
    batch[0] = {30, 35, kTurbPN};
    batch[1] = {31, 31, kTurbPN};  // nothing to do
    batch[2] = {77, 78, kTurbPN};  // added to the recipe, but nobody answers
    batch[3] = {88, 89, 0};        // no item at 88: no result at all
    batch[4] = {32, 0, 0};         // no new address: done
    env_->set_probeAddBatch(batch, true);
    EXPECT_TRUE(runCommand());

    const ProbeChangeAddrResult result = env_->getChangeAddrResult();
    EXPECT_EQ(result.status, 100);
    // Every entry reports except the one whose present address no item holds; the 15 unused
    // entries (no new address) report "nothing to do" for address 0.
    ASSERT_EQ(result.items.size(), 19u);
    EXPECT_EQ(result.items[0].modbusAddr, 30);
    EXPECT_EQ(result.items[0].status, 1);
    EXPECT_EQ(result.items[1].modbusAddr, 31);
    EXPECT_EQ(result.items[1].status, 1);
    EXPECT_EQ(result.items[2].modbusAddr, 77);
    EXPECT_EQ(result.items[2].status, 2);
    EXPECT_EQ(result.items[3].modbusAddr, 32);
    EXPECT_EQ(result.items[3].status, 1);
    for (size_t k = 4; k < result.items.size(); ++k) {
        EXPECT_EQ(result.items[k].modbusAddr, 0) << k;
        EXPECT_EQ(result.items[k].status, 1) << k;
    }

    EXPECT_TRUE(sim_.hasProbe(35));
    int at35 = 0, at31 = 0, at77 = 0;
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        for (const auto& it : recipe_->recipe.sensors) {
            at35 += it.pn == kTurbPN && it.modbusAddr == 35;
            at31 += it.pn == kTurbPN && it.modbusAddr == 31;
            at77 += it.pn == kTurbPN && it.modbusAddr == 77;
        }
    }
    EXPECT_EQ(at35, 2);  // Turbidity and Temperature
    EXPECT_EQ(at31, 2);
    EXPECT_EQ(at77, 2);
    EXPECT_NE(recipe_->changeWordForTest() & 0x2u, 0u);
    EXPECT_TRUE(std::regex_search(configText(), std::regex("\"modbusAddr\"\\s*:\\s*35")));
    EXPECT_EQ(env_->probeCmdPending.load(), 0);
}

TEST_F(ProbeCommands, AddressBatchWithoutMoveStillReloadsTheProbeItems) {
    addProbe(kTurbPN, 30, serial(301));
    service().syncInit();
    ChangeAddrBatch batch{};
    batch[0] = {30, 30, kTurbPN};
    env_->set_probeAddBatch(batch, false);
    EXPECT_TRUE(runCommand());
    const ProbeChangeAddrResult result = env_->getChangeAddrResult();
    EXPECT_EQ(result.status, 100);
    ASSERT_EQ(result.items.size(), 20u);
    EXPECT_EQ(result.items[0].modbusAddr, 30);
    EXPECT_EQ(result.items[0].status, 1);
    EXPECT_NE(recipe_->changeWordForTest() & 0x2u, 0u);
}

TEST_F(ProbeCommands, ReplacementWritesSpansMovesOnceAndVerifies) {
    setItem(0, kPhPN, 10, "pH", "pH", 1111);
    setItem(1, kPhPN, 10, "Temperature", "C", 1111);
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.sensors[0].mA_4 = 2.0f;
        recipe_->recipe.sensors[0].mA_20 = 12.0f;
    }
    // The replacement answers at its factory address; the old probe is gone.
    addProbe(kPhPN, 99, serial(2222));
    service().syncInit();
    ASSERT_TRUE(env_->replaceProbe(ReplaceProbeCmdPack{kPhPN, 1111, kPhPN, 2222, 99}));
    EXPECT_EQ(env_->replaceStatus.load(), -1);
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->replaceStatus.load(), 1);
    ASSERT_TRUE(sim_.hasProbe(10));
    EXPECT_FALSE(sim_.hasProbe(99));
    EXPECT_TRUE(holdsFloat(10, 43001, 2.0f));
    EXPECT_TRUE(holdsFloat(10, 43003, 12.0f));
    EXPECT_EQ(recipeItem(0).sn, 2222u);
    EXPECT_EQ(recipeItem(1).sn, 2222u);
    EXPECT_EQ(recipeItem(0).modbusAddr, 10);
    EXPECT_EQ(service().probeBlock().items[0].SN, 2222u);
    EXPECT_NE(configText().find("2222"), std::string::npos);
    // Exactly one address write (the move), at the replacement's present address.
    size_t addressWrites = 0;
    for (const auto& f : sim_.frames())
        if (f.fromMaster && f.bytes.size() > 4 && f.bytes[1] == 0x10 && ((f.bytes[2] << 8) | f.bytes[3]) == 44001 - 1) {
            ++addressWrites;
            EXPECT_EQ(f.bytes[0], 99);
        }
    EXPECT_EQ(addressWrites, 1u);
}

TEST_F(ProbeCommands, ReplacementThatDoesNotAnswerLeavesRecipe) {
    setItem(0, kPhPN, 10, "pH", "pH", 1111);
    service().syncInit();
    ASSERT_TRUE(env_->replaceProbe(ReplaceProbeCmdPack{kPhPN, 1111, kPhPN, 2222, 99}));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->replaceStatus.load(), 0);
    EXPECT_EQ(recipeItem(0).sn, 1111u);
    EXPECT_EQ(recipeItem(0).modbusAddr, 10);
    // Unknown probe: failure without bus traffic.
    sim_.clearFrames();
    ASSERT_TRUE(env_->replaceProbe(ReplaceProbeCmdPack{kPhPN, 5, kPhPN, 6, 99}));
    EXPECT_TRUE(runCommand());
    EXPECT_EQ(env_->replaceStatus.load(), 0);
    EXPECT_EQ(sim_.requestCount(), 0u);
}

TEST_F(ProbeCommands, ProducerStoringDuringPassesLosesNothing) {
    for (int k = 0; k < 4; ++k) {
        addProbe(kPhPN, 10 + k, serial(static_cast<uint32_t>(100 + k)));
        setItem(k, kPhPN, 10 + k, "pH", "pH");
    }
    std::mutex countMutex;
    std::map<int, int> restores;
    for (int k = 0; k < 4; ++k)
        sim_.setWriteHook(10 + k, [&](int addr, uint32_t reg, const std::vector<uint16_t>&, orvane::test::ProbeBusSim::RegisterMap&) {
            if (reg != 44011) return;
            std::lock_guard<std::mutex> lk(countMutex);
            ++restores[addr];
        });
    ProbeService& svc = service();
    svc.syncInit();

    constexpr int kCommands = 24;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < kCommands; ++i) {
            while (!env_->set_restoreCmd(RestoreCmdPack{static_cast<uint32_t>(i % 4)})) std::this_thread::yield();
        }
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((!done || env_->probeCmdPending.load() != 0) && std::chrono::steady_clock::now() < deadline) runCommand();
    producer.join();
    std::lock_guard<std::mutex> lk(countMutex);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(restores[10 + k], kCommands / 4) << "probe " << 10 + k;
}
