// The probe command mailbox, status words, scan state, probe-list edits of the recipe and the
// controller-output references, on a real recipe store and live store.
#include <atomic>
#include <filesystem>
#include <thread>

#include "env/probe_live_sync.h"
#include "env_fixture.h"
#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"

namespace {

const char* kConductivityDef = R"({"PN": 50661, "ModelName": "ProbeC", "ModbusAddr": 10,
  "Readings": [{"Name": "Conductivity", "Unit": "mS/cm", "Decimal": 2},
               {"Name": "Temperature", "Unit": "C", "Decimal": 1},
               {"Name": "Cleanliness", "Unit": "%"}]})";

CalbCmdPack calib(uint32_t probe, int32_t tag = 0) {
    CalbCmdPack p;
    p.probeId = probe;
    p.idxCal = tag;
    p.solution = 7.0f;
    return p;
}

ChangeAddrBatch batch(int64_t marker) {
    ChangeAddrBatch b{};
    b[0].addr = 30;
    b[0].newAddr = 31;
    b[0].pn = marker;
    return b;
}

}  // namespace

class MailboxTest : public EnvTest {
protected:
    void SetUp() override {
        EnvTest::SetUp();
        orvane::test::writeFile(probeDir() + "cond.json", kConductivityDef);
        recipe_ = std::make_unique<RecipeDataGuard>();
        live_ = std::make_unique<LiveDataGuard>(recipe_.get());
        env_ = std::make_unique<EnvGuard>(*recipe_, fastOptions());
        env_->attachLive(*live_);
        RecipeHooks hooks;
        hooks.afterReload = [this] { env_->buildControllerOutputReference(); };
        hooks.bindProbes = [this](std::array<ProbeMeasureRecipeItem, kProbeItemCount>& items) {
            env_->updateProbeRefrence(items);
        };
        recipe_->setHooks(hooks);
    }
    void TearDown() override {
        env_.reset();
        live_.reset();
        recipe_.reset();
        EnvTest::TearDown();
    }
    ProbeMeasureRecipeItem& item(size_t i) { return recipe_->recipe.sensors[i]; }
    std::string parameterFile() const { return dir_.path() + "/config/recipes/parameter.json"; }

    std::unique_ptr<RecipeDataGuard> recipe_;
    std::unique_ptr<LiveDataGuard> live_;
    std::unique_ptr<EnvGuard> env_;
};

TEST_F(MailboxTest, RefusedCommandLeavesTheWaitingCommandsWords) {
    EnvGuard& env = *env_;
    EXPECT_TRUE(env.set_calibCmd(calib(3)));
    env.setCalibMessage("previous");
    EXPECT_EQ(env.probeCmdPending.load(), 1);
    EXPECT_FALSE(env.set_calibCmd(calib(5)));
    EXPECT_NE(logText().find("**************** probeCmd is not empty ****************"), std::string::npos);
    EXPECT_EQ(env.calibProbeId.load(), 3u);  // still the command that waits
    EXPECT_EQ(env.calibStatus.load(), CMD_RET_PENDING);
    EXPECT_EQ(env.getCalibMessage().str(), "previous");
    EXPECT_FALSE(env.set_restoreCmd(RestoreCmdPack{7}));
    EXPECT_EQ(env.restoreProbeId.load(), 0xffffffffu);
    EXPECT_EQ(env.restoreStatus.load(), CMD_RET_PENDING);

    // The consumer reports and empties the slot; the next command is taken.
    ProbeCmdTicket t = env.peekProbeCmd();
    ASSERT_EQ(t.cmd.index(), 1u);
    env.calibStatus.store(CMD_RET_SUCCESS);
    EXPECT_TRUE(env.clearProbeCmd(t.seq));
    EXPECT_EQ(env.probeCmdPending.load(), 0);
    EXPECT_TRUE(env.set_calibCmd(calib(5)));
    EXPECT_EQ(env.calibProbeId.load(), 5u);
    EXPECT_EQ(env.calibStatus.load(), CMD_RET_PENDING);
    EXPECT_TRUE(env.getCalibMessage().empty());

    // Indexes outside 0..127 are refused outright.
    env.set_probeCmd(NoneCmdPack{}, false);
    EXPECT_FALSE(env.set_calibCmd(calib(128)));
    EXPECT_FALSE(env.set_restoreCmd(RestoreCmdPack{500}));
    EXPECT_FALSE(env.set_probePing(-1));
    EXPECT_FALSE(env.set_probeDiagnose(128));
    EXPECT_EQ(env.probeCmdPending.load(), 0);
}

TEST_F(MailboxTest, ConfigurationProducers) {
    EnvGuard& env = *env_;
    recipe_->checkAndConsume(0xffffffffu);
    ConfigCmdPack pack;
    pack.probeId = 9;
    pack.cmdType = 5;
    pack.newAddr = 44;
    EXPECT_TRUE(env.set_probeAddr(pack));
    EXPECT_EQ(std::get<ConfigCmdPack>(env.get_probeCmd()).cmdType, CONFIG_CMD_CHANGE_ADDR);
    EXPECT_EQ(env.configProbeIndex.load(), 9);
    EXPECT_EQ(env.configStatus.load(), CMD_RET_PENDING);
    EXPECT_TRUE(recipe_->checkAndConsume(0x2));
    EXPECT_FALSE(env.set_probeConfig(pack));
    EXPECT_FALSE(recipe_->checkAndConsume(0x2));  // refused: no reload notice

    env.set_probeCmd(NoneCmdPack{}, false);
    pack.mA_4 = 4.5f;
    EXPECT_TRUE(env.set_probeConfig(pack));
    EXPECT_EQ(std::get<ConfigCmdPack>(env.get_probeCmd()).cmdType, CONFIG_CMD_SPAN_4_20MA);

    env.set_probeCmd(NoneCmdPack{}, false);
    ReplaceProbeCmdPack replace{1, 2, 3, 4, 5};
    EXPECT_TRUE(env.replaceProbe(replace));
    EXPECT_EQ(env.replaceStatus.load(), CMD_RET_PENDING);

    EXPECT_TRUE(env.set_probePing(12));
    EXPECT_EQ(env.pingProbeId.load(), 12u);
    env.diagnoseResult.store(9);
    EXPECT_TRUE(env.set_probeDiagnose(13));
    EXPECT_EQ(env.diagnoseResult.load(), 0u);
    EXPECT_EQ(env.diagnoseStatus.load(), CMD_RET_PENDING);

    auto block = std::make_unique<ProbeLiveData>();
    env.calibStatus.store(1);
    env.calibProbeId.store(4);
    env.diagnoseResult.store(17);
    syncCmdStatusFromEnv(*block, env);
    EXPECT_EQ(block->calibRet, 1);
    EXPECT_EQ(block->calibSourceIdx, 4);
    EXPECT_EQ(block->diagnSourceIdx, 13);
    EXPECT_EQ(block->diagNum, 17);
    EXPECT_EQ(block->pingSourceIdx, 12);
    EXPECT_EQ(block->configSourceIdx, 9);
    EXPECT_EQ(block->configRet, -1);
    EXPECT_FALSE(block->available);  // the replacement waits
    env.set_probeCmd(NoneCmdPack{}, false);
    syncCmdStatusFromEnv(*block, env);
    EXPECT_TRUE(block->available);
}

TEST_F(MailboxTest, BatchReplacesTheSlot) {
    EnvGuard& env = *env_;
    // A restore not yet taken is replaced and reported failed.
    ASSERT_TRUE(env.set_restoreCmd(RestoreCmdPack{2}));
    env.set_probeAddBatch(batch(1), false);
    EXPECT_EQ(env.restoreStatus.load(), CMD_RET_FAILED);
    EXPECT_EQ(env.get_probeCmd().index(), 4u);
    EXPECT_EQ(env.probeCmdPending.load(), 1);

    // A calibration the consumer is running keeps its word for the consumer's outcome, and the
    // consumer's clear does not remove the batch stored meanwhile.
    ProbeCmdTicket t0 = env.peekProbeCmd();
    ASSERT_TRUE(env.clearProbeCmd(t0.seq));
    ASSERT_TRUE(env.set_calibCmd(calib(6)));
    ProbeCmdTicket running = env.peekProbeCmd();
    env.set_probeAddBatch(batch(2), false);
    EXPECT_EQ(env.calibStatus.load(), CMD_RET_PENDING);
    env.calibStatus.store(CMD_RET_SUCCESS);
    EXPECT_FALSE(env.clearProbeCmd(running.seq));
    ProbeCmdTicket next = env.peekProbeCmd();
    ASSERT_EQ(next.cmd.index(), 4u);
    EXPECT_EQ(std::get<ChangeAddrBatch>(next.cmd)[0].pn, 2);
    EXPECT_EQ(env.calibStatus.load(), CMD_RET_SUCCESS);

    // The batch clears the scan state and the last address-change outcome.
    env.startScan(SCAN_MODE::DEFAULT, 0);
    EXPECT_EQ(env.scanCmd.load(), 1u);
    EXPECT_EQ(env.scanState.load(), 1u);
    env.setScanResults({ProbeScanResultItem{}, ProbeScanResultItem{}});
    env.scanProgress.store(40);
    EXPECT_EQ(env.getScanProbeStatus().results.size(), 2u);
    env.setChangeAddrResult(55, {{10, 1}});
    env.stopScan();
    EXPECT_EQ(env.scanCmd.load(), 2u);
    env.set_probeAddBatch(batch(3), false);
    const ScanProbeStatus s = env.getScanProbeStatus();
    EXPECT_EQ(s.scanState, 0u);
    EXPECT_EQ(s.scanProgress, 0);
    EXPECT_TRUE(s.results.empty());
    EXPECT_EQ(env.getChangeAddrResult().status, 0);
    EXPECT_TRUE(env.getChangeAddrResult().items.empty());
    EXPECT_NE(logText().find("=================> BATCH_ADDR <================="), std::string::npos);

    env.setSystemErrorCode(static_cast<SystemErrorCode>(0x10));
    env.setSystemErrorCode(static_cast<SystemErrorCode>(0x20));
    EXPECT_EQ(env.getSystemErrorCode() & 0x30, 0x30);
}

TEST_F(MailboxTest, ProducerAndConsumerThreadsLoseNothing) {
    EnvGuard& env = *env_;
    constexpr int kCommands = 300;
    std::vector<int> executed;
    std::atomic<bool> done{false};
    std::atomic<int> wrongWords{0};
    std::thread consumer([&] {
        while (!done.load() || env.probeCmdPending.load()) {
            ProbeCmdTicket t = env.peekProbeCmd();
            if (const auto* c = std::get_if<CalbCmdPack>(&t.cmd)) {
                // The words of the command are published before the command is visible.
                if (env.calibProbeId.load() != c->probeId || env.calibStatus.load() != CMD_RET_PENDING) ++wrongWords;
                executed.push_back(c->idxCal);
                env.calibStatus.store(CMD_RET_SUCCESS);
                env.clearProbeCmd(t.seq);
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::thread producer([&] {
        for (int i = 0; i < kCommands; ++i) {
            while (!env.set_calibCmd(calib(static_cast<uint32_t>(i % 128), i))) std::this_thread::yield();
        }
        done.store(true);
    });
    producer.join();
    consumer.join();
    ASSERT_EQ(executed.size(), static_cast<size_t>(kCommands));
    for (int i = 0; i < kCommands; ++i) EXPECT_EQ(executed[static_cast<size_t>(i)], i);
    EXPECT_EQ(wrongWords.load(), 0);
}

TEST_F(MailboxTest, BatchesStoredWhileTheConsumerRunsAreNeverLost) {
    EnvGuard& env = *env_;
    recipe_->checkAndConsume(0xffffffffu);
    std::vector<int64_t> batches;
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done.load() || env.probeCmdPending.load()) {
            ProbeCmdTicket t = env.peekProbeCmd();
            if (const auto* b = std::get_if<ChangeAddrBatch>(&t.cmd)) {
                batches.push_back((*b)[0].pn);
                std::this_thread::yield();  // "executing"
                env.clearProbeCmd(t.seq);
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int64_t k = 1; k <= 25; ++k) env.set_probeAddBatch(batch(k), false);
    done.store(true);
    consumer.join();
    ASSERT_FALSE(batches.empty());
    EXPECT_EQ(batches.back(), 25);  // the last one stored is always executed
    for (size_t i = 1; i < batches.size(); ++i) EXPECT_LT(batches[i - 1], batches[i]);
    EXPECT_EQ(env.probeCmdPending.load(), 0);
}

TEST_F(MailboxTest, RemoveProbeClosesDisplayIdsAndFreesCompanions) {
    for (int i = 0; i < 5; ++i) {
        item(static_cast<size_t>(i)).displayId = static_cast<int16_t>(i + 1);
        item(static_cast<size_t>(i)).enable = item(static_cast<size_t>(i)).display = true;
        item(static_cast<size_t>(i)).modbusAddr = static_cast<int16_t>(40 + i);
        item(static_cast<size_t>(i)).pn = 100;
        item(static_cast<size_t>(i)).sn = static_cast<uint32_t>(i);
        item(static_cast<size_t>(i)).name = "pH";
    }
    // Companions of entry 2 (same part number and serial number): one at its address, one not.
    item(10).pn = 100, item(10).sn = 2, item(10).modbusAddr = 42, item(10).name = "TEMPERATURE";
    item(11).pn = 100, item(11).sn = 2, item(11).modbusAddr = 42, item(11).name = "cleanliness";
    item(12).pn = 100, item(12).sn = 2, item(12).modbusAddr = 99, item(12).name = "temperature";
    item(13).pn = 100, item(13).sn = 2, item(13).modbusAddr = 42, item(13).name = "ORP";

    EXPECT_EQ(env_->removeProbe(2), 0);
    EXPECT_EQ(item(0).displayId, 1);
    EXPECT_EQ(item(1).displayId, 2);
    EXPECT_EQ(item(2).displayId, 0);
    EXPECT_EQ(item(3).displayId, 3);
    EXPECT_EQ(item(4).displayId, 4);
    EXPECT_EQ(item(2).modbusAddr, 0);
    EXPECT_FALSE(item(2).enable);
    EXPECT_TRUE(item(2).name.empty());
    EXPECT_EQ(item(10).modbusAddr, 0);
    EXPECT_EQ(item(11).modbusAddr, 0);
    EXPECT_EQ(item(12).modbusAddr, 99);  // another probe's address: kept
    EXPECT_EQ(item(13).modbusAddr, 42);  // not a companion reading
    EXPECT_TRUE(std::filesystem::exists(parameterFile()));

    const std::string saved = orvane::test::readFile(parameterFile());
    EXPECT_EQ(env_->removeProbe(128), -1);
    EXPECT_EQ(env_->removeProbe(-1), -1);
    EXPECT_EQ(orvane::test::readFile(parameterFile()), saved);
}

TEST_F(MailboxTest, AddingProbesByBatchAndByHand) {
    item(0).enable = item(0).display = true;
    item(0).displayId = 4;
    item(0).modbusAddr = 50;
    item(0).pn = 1;
    item(0).name = "pH";

    ManualAddProbePack bad{50661, 0};
    EXPECT_EQ(env_->set_probeAddManual(bad), -1);
    bad.modbusAddr = 248;
    EXPECT_EQ(env_->set_probeAddManual(bad), -1);
    EXPECT_EQ(env_->set_probeAddManual(ManualAddProbePack{0, 12}), -1);
    EXPECT_EQ(env_->set_probeAddManual(ManualAddProbePack{50661, 50}), 0);  // address in use
    EXPECT_EQ(item(1).modbusAddr, 0);

    EXPECT_EQ(env_->set_probeAddManual(ManualAddProbePack{50661, 12}), 0);
    EXPECT_EQ(item(1).modbusAddr, 12);
    EXPECT_EQ(item(1).name.str(), "Conductivity");
    EXPECT_EQ(item(1).custName.str(), "Conductivity");
    EXPECT_EQ(item(1).unit.str(), "mS/cm");
    EXPECT_EQ(item(1).precision, 2);
    EXPECT_EQ(item(1).displayId, 5);
    EXPECT_TRUE(item(1).enable && item(1).display);
    EXPECT_EQ(item(1).probeMeta->PN, 50661);
    EXPECT_EQ(item(2).name.str(), "Temperature");
    EXPECT_EQ(item(2).displayId, 0);
    EXPECT_TRUE(item(2).enable && item(2).display);
    EXPECT_EQ(item(3).name.str(), "Cleanliness");
    EXPECT_EQ(item(3).displayId, 0);
    EXPECT_NE(orvane::test::readFile(parameterFile()).find("\"Conductivity\""), std::string::npos);
    EXPECT_EQ(EnvGuard::findNextDisplayId(recipe_->recipe.sensors), 6);

    ChangeAddrBatch b{};
    b[0] = {0, 5, 50661};    // address 0: skipped
    b[1] = {60, 61, -3};     // bad part number: skipped
    b[2] = {12, 13, 50661};  // address in use: skipped
    b[3] = {70, 71, 50661};
    b[4] = {71, 72, 9999};   // not in the library: nothing to add
    env_->set_probeAddBatch(b, true);
    EXPECT_EQ(item(4).modbusAddr, 70);
    EXPECT_EQ(item(4).displayId, 6);
    EXPECT_EQ(item(5).modbusAddr, 70);
    EXPECT_EQ(item(7).modbusAddr, 0);
    EXPECT_EQ(env_->get_probeCmd().index(), 4u);

    ConfigCmdPack rename;
    rename.probeId = 4;
    rename.custName = "Tower";
    EXPECT_EQ(env_->set_probeCustname(rename), 0);
    EXPECT_EQ(item(4).custName.str(), "Tower");
    EXPECT_EQ(env_->configProbeIndex.load(), 4);
    EXPECT_NE(orvane::test::readFile(parameterFile()).find("\"Tower\""), std::string::npos);
    rename.probeId = 200;
    EXPECT_EQ(env_->set_probeCustname(rename), -1);
}

TEST_F(MailboxTest, ControllerOutputsReferenceProbeValues) {
    for (size_t i = 0; i < kProbeItemCount; ++i) item(i).custName = ("p" + std::to_string(i)).c_str();
    item(3).custName = "Tank1";
    item(7).custName = "Tank1";
    item(9).custName = "";
    recipe_->recipe.mbTcpClient[0].outputs[0].outputName = "";
    recipe_->recipe.mbTcpClient[2].outputs[5].outputName = "p20";
    recipe_->recipe.mbTcpClient[2].outputs[6].outputName = "nothing";
    recipe_->triggerReload(0x10);  // rebuilds the table through the recipe's hook
    auto refs = env_->getControllerOutputRefs();
    auto ref = [&](size_t c, size_t o) -> float* {
        const auto* p = std::get_if<float*>(&(*refs)[c][o]);
        return p ? *p : nullptr;
    };
    EXPECT_EQ(ref(0, 1), &live_->data().probe.items[3].val);  // "Tank1": the first entry
    EXPECT_EQ(ref(0, 0), &live_->data().probe.items[9].val);  // empty name: first empty custName
    EXPECT_EQ(ref(2, 5), &live_->data().probe.items[20].val);
    EXPECT_EQ((*refs)[2][6].index(), 0u);

    live_->withLock([](ScadaLiveData& d) { d.probe.items[3].val = 6.5f; return 0; });
    live_->broadcastToControllerOutput(*refs);
    EXPECT_EQ(live_->withLock([](ScadaLiveData& d) { return d.controller.outputs[0].values[1]; }), 6.5f);

    // A table held by a reader stays valid after a rebuild.
    item(3).custName = "other";
    env_->buildControllerOutputReference();
    EXPECT_EQ(ref(0, 1), &live_->data().probe.items[3].val);
    EXPECT_EQ(std::get<float*>((*env_->getControllerOutputRefs())[0][1]), &live_->data().probe.items[7].val);
}

TEST(EnvNameTables, EveryValueHasAName) {
    for (size_t i = 0; i < std::variant_size_v<ProbeCmd>; ++i) EXPECT_FALSE(probeCmdName(i).empty()) << i;
    EXPECT_TRUE(probeCmdName(std::variant_size_v<ProbeCmd>).empty());
    for (int32_t role : {ROLE_NONE, ROLE_ADMIN, ROLE_OPERATOR, ROLE_SUPER}) EXPECT_FALSE(accountRoleName(role).empty());
    EXPECT_TRUE(accountRoleName(4).empty());
    EXPECT_TRUE(accountRoleName(-1).empty());
}
