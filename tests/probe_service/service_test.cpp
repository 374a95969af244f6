// The probe service loop over the simulated bus: first pass, polling, publication, identification
// write-back, change bits, line hand-over, cleanliness, grouping, ping and diagnosis.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "rig.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "vserial/virtual_serial.h"

using namespace probe_test;
using namespace std::chrono_literals;
using orvane::test::SimProbeValues;

namespace {

SimProbeValues phValues(uint32_t serial, float ph, float temp, float cleanliness = 90.0f) {
    SimProbeValues v;
    v.serial = serial;
    v.readings = {{"pH", ph}, {"Temperature", temp}};
    v.diagnosis = {{"cleanliness", cleanliness}, {"glassImpedance", 120.0f}};
    v.span4 = 0.0f;
    v.span20 = 14.0f;
    return v;
}

}  // namespace

class ProbeServiceLoop : public ServiceRig {};

TEST_F(ProbeServiceLoop, FirstPassOpensIdentifiesPollsAndPublishes) {
    addProbe(kPhPN, 10, phValues(777001, 7.25f, 21.5f, 90.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    setItem(1, kPhPN, 10, "Temperature", "C");
    ProbeService& svc = service();

    svc.runOnce();
    EXPECT_EQ(env_->serialCmdAck.load(), 2);
    EXPECT_TRUE(svc.master().isOpen());
    EXPECT_EQ(sim_.lineSettings().baud, 9600);
    EXPECT_EQ(sim_.lineSettings().parity, 'N');
    EXPECT_EQ(svc.busState(), ProbeService::BUS_ANSWERED);

    MeasureDataItem ph = liveSlot(0);
    EXPECT_FLOAT_EQ(ph.val, 7.25f);
    EXPECT_EQ(ph.status, 2);
    EXPECT_EQ(ph.SN, 777001u);  // identification read when the line opened
    EXPECT_FLOAT_EQ(ph.temperature, 21.5f);
    EXPECT_EQ(ph.tempUnit, 2);
    EXPECT_EQ(ph.cleanliness, CleanStatus::FOULED);  // index 90: status 2
    EXPECT_EQ(ph.id, 1u);
    EXPECT_NE(ph.type, 0u);
    EXPECT_FLOAT_EQ(ph.mA_20, 14.0f);
    // The recipe's serial numbers are stored one pass later (bus state 2 -> 3).
    EXPECT_EQ(recipeItem(0).sn, 0u);

    // The three probe bits are consumed; the other consumers' bits are untouched.
    const uint32_t word = recipe_->changeWordForTest();
    EXPECT_EQ(word & (0x2u | 0x8u | 0x2000u), 0u);
    EXPECT_NE(word & 0x1u, 0u);
    EXPECT_NE(word & 0x10u, 0u);

    svc.runOnce();
    EXPECT_EQ(svc.busState(), ProbeService::BUS_IDENTIFIED);
    EXPECT_EQ(recipeItem(0).sn, 777001u);
    EXPECT_EQ(recipeItem(1).sn, 777001u);
    EXPECT_FLOAT_EQ(recipeItem(0).mA_20, 14.0f);
    const std::string saved = configText();
    EXPECT_NE(saved.find("777001"), std::string::npos) << "parameter.json saved after the serial numbers arrived";
}

TEST_F(ProbeServiceLoop, PollsAtMostEveryTwoSecondsAndFollowsValues) {
    addProbe(kPhPN, 10, phValues(1001, 6.0f, 20.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    svc.runOnce();  // identification pass; no poll at the same instant
    const size_t before = sim_.requestCount(10);
    svc.runOnce();
    EXPECT_EQ(sim_.requestCount(10), before) << "no poll within 2 s of the last";

    sim_.setFloat(10, 40001, 8.5f, orvane::test::SimFloatOrder::CDAB);
    clock_.advance(2s);
    svc.runOnce();
    EXPECT_GT(sim_.requestCount(10), before);
    EXPECT_FLOAT_EQ(liveSlot(0).val, 8.5f);

    sim_.setSilent(10, true);
    clock_.advance(2s);
    svc.runOnce();
    const MeasureDataItem gone = liveSlot(0);
    EXPECT_TRUE(std::isnan(gone.val));
    EXPECT_EQ(gone.status, 0);
    EXPECT_FALSE(svc.isConnected(0));
}

// A probe that holds one answer past the time-out: no reading afterwards carries the other
// reading's value, and both are right again within a few polls.
TEST_F(ProbeServiceLoop, ALateAnswerNeverShiftsTheReadings) {
    addProbe(kPhPN, 10, phValues(1001, 7.31f, 21.47f));
    setItem(0, kPhPN, 10, "pH", "pH");
    setItem(1, kPhPN, 10, "Temperature", "C");
    ProbeService& svc = service();
    svc.runOnce();
    svc.runOnce();
    sim_.scriptLateAnswer(10, 800);  // the next request; the time-out is 500 ms
    auto is = [](float v, float want) { return std::fabs(v - want) < 0.005f; };
    int rightPolls = 0;
    for (int pass = 0; pass < 6; ++pass) {
        clock_.advance(2s);
        svc.runOnce();
        const float ph = liveSlot(0).val, temp = liveSlot(1).val;
        EXPECT_TRUE(std::isnan(ph) || is(ph, 7.31f)) << "pass " << pass << ": pH " << ph;
        EXPECT_TRUE(std::isnan(temp) || is(temp, 21.47f)) << "pass " << pass << ": temperature " << temp;
        rightPolls = (is(ph, 7.31f) && is(temp, 21.47f)) ? rightPolls + 1 : 0;
    }
    EXPECT_GE(rightPolls, 3) << "both readings right again within a few polls";
}

// A pass-through client sends a read that the probe answers late, and leaves at once: the answer
// reaches the line after the probe service has taken it back, at the default 500 ms time-out. The
// take-back comes so that, without the wait for the client's answer, the answer would land in the
// window of the service's first request (the identification, whose length it has). That request,
// and the readings after it, get the probe's own values or fail, never that answer.
class PassThroughLateAnswer : public ProbeServiceLoop, public ::testing::WithParamInterface<int> {};

TEST_P(PassThroughLateAnswer, IsNotReadAfterTheTakeBack) {
    using virtual_serial::VirtualSerial;
    const auto late = std::chrono::milliseconds(GetParam());
    addProbe(kPhPN, 10, phValues(1001, 7.31f, 21.47f));
    // What the client reads: a slope and an offset, as many registers as the serial number.
    sim_.setFloat(10, 42201, 58.62f, orvane::test::SimFloatOrder::CDAB);
    sim_.setFloat(10, 42203, -3.5f, orvane::test::SimFloatOrder::CDAB);
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    ASSERT_EQ(svc.probeBlock().items[0].SN, 1001u);
    ASSERT_EQ(svc.master().timeoutMs(), 500);

    struct Server {
        VirtualSerial vs;
        std::thread acceptor{[this] { vs.loop_thread(); }};
        ~Server() { vs.stop(), acceptor.join(); }
    } server{{*recipe_, *env_, VirtualSerial::Options{0, 10ms, 10ms}}};
    ASSERT_TRUE(orvane::test::waitUntil([&] { return server.vs.port() > 0; }, 20s));

    sim_.scriptLateAnswer(10, static_cast<int>(late.count()));
    sim_.clearFrames();
    constexpr uint16_t kWireAddress = 42201 - 1;
    std::vector<uint8_t> request{10, 3, kWireAddress >> 8, kWireAddress & 0xFF, 0, 4};
    const uint16_t crc = orvane::test::modbusCrc16(request.data(), request.size());
    request.insert(request.end(), {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)});
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(server.vs.port())), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::send(client, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    ::close(client);

    ASSERT_TRUE(orvane::test::waitUntil([&] { return env_->serialCmd.load() == 1; }, 30s));
    svc.runOnce();  // released
    ASSERT_TRUE(orvane::test::waitUntil([&] { return env_->serialCmd.load() == 2; }, 30s));
    ASSERT_TRUE(orvane::test::waitUntil([&] { return framesTo(10) == 1; }, 30s)) << "the client's request is on the line";
    // Without the wait, the first request would go out one time-out after the opening and wait
    // one more for its answer: the late answer comes in the middle of that window.
    const std::chrono::steady_clock::time_point onTheLine{std::chrono::microseconds(sim_.frames().front().steadyMicros)};
    std::this_thread::sleep_until(onTheLine + late - 750ms);
    orvane::test::LogCapture log({{LogModule::SENSOR, LogLevel::INFO}});
    svc.runOnce();  // taken back: the line is opened and the probe identified
    ASSERT_EQ(env_->serialCmdAck.load(), 2);
    EXPECT_EQ(svc.probeBlock().items[0].SN, 1001u);
    clock_.advance(2s);
    svc.runOnce();
    const float ph = liveSlot(0).val;
    EXPECT_TRUE(std::isnan(ph) || std::fabs(ph - 7.31f) < 0.005f) << ph;
    EXPECT_EQ(log.lines("bytes arriving on the line just opened discarded").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AnsweredLate, PassThroughLateAnswer, ::testing::Values(900, 1500, 2500),
                         [](const auto& info) { return std::to_string(info.param) + "ms"; });

TEST_F(ProbeServiceLoop, IdentityWriteBackKeepsEditsMadeMeanwhile) {
    addProbe(kPhPN, 10, phValues(4242, 7.0f, 20.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    setItem(1, kPhPN, 10, "Temperature", "C");
    ProbeService& svc = service();
    svc.runOnce();
    ASSERT_EQ(svc.busState(), ProbeService::BUS_ANSWERED);

    // The web edits the recipe between two passes without the service having seen it yet.
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.sensors[0].custName = "Basin pH";
        recipe_->recipe.sensors[0].alarmHigh = 9.5f;
        recipe_->recipe.sensors[1].modbusAddr = 12;  // moved elsewhere: no longer this probe's item
    }
    svc.runOnce();
    const ProbeMeasureRecipeItem ph = recipeItem(0);
    EXPECT_EQ(ph.sn, 4242u);
    EXPECT_EQ(ph.custName, "Basin pH");
    EXPECT_FLOAT_EQ(ph.alarmHigh, 9.5f);
    const ProbeMeasureRecipeItem moved = recipeItem(1);
    EXPECT_EQ(moved.modbusAddr, 12);
    EXPECT_EQ(moved.sn, 0u);
}

TEST_F(ProbeServiceLoop, ChangeBitsReloadItemsLineSettingsAndAnalogNames) {
    addProbe(kPhPN, 10, phValues(1, 7.0f, 20.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    ASSERT_EQ(svc.busState(), ProbeService::BUS_ANSWERED);

    // 0x2: a new probe item.
    addProbe(kTurbPN, 30);
    setItem(2, kTurbPN, 30, "Turbidity", "NTU");
    recipe_->triggerReload(0x2);
    svc.runOnce();
    EXPECT_EQ(svc.items()[2].pn, kTurbPN);
    EXPECT_NE(svc.items()[2].probeMeta, nullptr);
    EXPECT_EQ(svc.items()[2].probeMeta->PN, kTurbPN);
    clock_.advance(2s);
    svc.runOnce();
    EXPECT_EQ(liveSlot(2).status, 2);

    // 0x8: new line settings.
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.baudrate = 19200;
        recipe_->recipe.modbusRtu.parity = 1;
    }
    recipe_->triggerReload(0x8);
    svc.runOnce();
    EXPECT_EQ(sim_.lineSettings().baud, 19200);
    EXPECT_EQ(sim_.lineSettings().parity, 'O');
    EXPECT_EQ(svc.busState(), ProbeService::BUS_SETTINGS_TAKEN);

    // 0x2000: analog inputs with their display names.
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.ai[0].custName = "Inflow";
        recipe_->recipe.ai[1].custName = "";
        recipe_->recipe.ai[1].name = "AI2";
    }
    recipe_->triggerReload(0x2000);
    svc.runOnce();
    EXPECT_EQ(svc.analogBlock().names[0], "Inflow");
    EXPECT_EQ(svc.analogBlock().names[1], "AI2");
}

TEST_F(ProbeServiceLoop, RecipeWithoutEnabledProbeStaysInStateOne) {
    ProbeService& svc = service();
    for (int i = 0; i < 3; ++i) {
        svc.runOnce();
        clock_.advance(2s);
    }
    EXPECT_EQ(svc.busState(), ProbeService::BUS_SETTINGS_TAKEN);
    EXPECT_EQ(sim_.requestCount(), 0u);
}

TEST_F(ProbeServiceLoop, LineLentToPassThroughAndTakenBack) {
    addProbe(kPhPN, 10, phValues(55, 7.0f, 20.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    svc.runOnce();
    ASSERT_EQ(env_->serialCmdAck.load(), 2);

    env_->serialCmd.store(1);
    svc.runOnce();
    EXPECT_EQ(env_->serialCmdAck.load(), 1);
    EXPECT_FALSE(svc.master().isOpen());

    // While lent: nothing reaches the line, and commands, pings and scans stay pending.
    const size_t requests = sim_.requestCount();
    ASSERT_TRUE(env_->set_restoreCmd(RestoreCmdPack{0}));
    ASSERT_TRUE(env_->set_probePing(0));
    env_->startScan(SCAN_MODE::DEFAULT, 0);
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.parity = 2;
        recipe_->recipe.modbusRtu.baudrate = 4800;
    }
    recipe_->triggerReload(0x8);  // noted, not applied while lent
    clock_.advance(5s);
    svc.runOnce();
    svc.runOnce();
    EXPECT_EQ(sim_.requestCount(), requests);
    EXPECT_FALSE(svc.master().isOpen());
    EXPECT_EQ(env_->serialCmdAck.load(), 1) << "a second pass with the same word does nothing";
    EXPECT_EQ(env_->restoreStatus.load(), -1);
    EXPECT_EQ(env_->pingStatus.load(), -1);
    EXPECT_EQ(env_->scanCmd.load(), 1u);
    EXPECT_EQ(env_->probeCmdPending.load(), 1);

    // Take-back: the line reopens with the settings in force now.
    env_->scanCmd.store(0);  // keep the scan out of this test
    env_->serialCmd.store(2);
    svc.runOnce();
    EXPECT_EQ(env_->serialCmdAck.load(), 2);
    EXPECT_TRUE(svc.master().isOpen());
    EXPECT_EQ(sim_.lineSettings().parity, 'E');
    EXPECT_EQ(sim_.lineSettings().baud, 4800);
    EXPECT_EQ(env_->pingStatus.load(), 1);
    svc.runOnce();  // the command taken on this pass
    EXPECT_NE(env_->restoreStatus.load(), -1);
    EXPECT_EQ(env_->probeCmdPending.load(), 0);
}

TEST_F(ProbeServiceLoop, FailedOpenIsRetriedOnTheNextPass) {
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.interface = "/nonexistent/tty";
    }
    ProbeService& svc = service();
    svc.runOnce();
    EXPECT_EQ(env_->serialCmdAck.load(), 0);
    EXPECT_FALSE(svc.master().isOpen());
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.interface = sim_.devicePath();
    }
    recipe_->triggerReload(0x8);
    svc.runOnce();
    EXPECT_EQ(env_->serialCmdAck.load(), 2);
}

TEST_F(ProbeServiceLoop, LineLostWhileHeldIsReopened) {
    addProbe(kPhPN, 10, phValues(1, 7.0f, 20.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    ASSERT_EQ(env_->serialCmdAck.load(), 2);
    svc.master().closeSerial();
    sim_.setFloat(10, 40001, 9.0f, orvane::test::SimFloatOrder::CDAB);
    clock_.advance(2s);
    svc.runOnce();
    EXPECT_TRUE(svc.master().isOpen());
    EXPECT_FLOAT_EQ(liveSlot(0).val, 9.0f);
}

TEST_F(ProbeServiceLoop, CleanlinessFollowsThresholdsAndIsClamped) {
    SimProbeValues v;
    v.serial = 900;
    v.readings = {{"Value", 3.0f}, {"cleanliness", 61.0f}, {"Temperature", 68.0f}};
    addProbe(kCleanPN, 40, v);
    setItem(0, kCleanPN, 40, "Value", "mg/L");
    setItem(1, kCleanPN, 40, "cleanliness", "%");
    setItem(2, kCleanPN, 40, "Temperature", "F");
    ProbeService& svc = service();

    const std::pair<float, CleanStatus> steps[] = {
        {61.0f, CleanStatus::BECOMING_FOULED}, {60.0f, CleanStatus::CLEAN},  {81.0f, CleanStatus::FOULED},
        {80.0f, CleanStatus::BECOMING_FOULED}, {250.0f, CleanStatus::FOULED}, {-5.0f, CleanStatus::UNKNOWN},
    };
    for (const auto& [index, status] : steps) {
        sim_.setFloat(40, 40003, index, orvane::test::SimFloatOrder::CDAB);
        clock_.advance(2s);
        svc.runOnce();
        SCOPED_TRACE(index);
        EXPECT_EQ(liveSlot(0).cleanliness, status);
        EXPECT_EQ(liveSlot(1).cleanliness, CleanStatus::UNKNOWN);
        const int expectIndex = index > 100 ? 100 : (index < 0 ? -1 : static_cast<int>(index));
        EXPECT_EQ(svc.cleanlinessCache(40), expectIndex);
        if (expectIndex >= 0) {
            EXPECT_FLOAT_EQ(liveSlot(1).val, static_cast<float>(expectIndex));
        }
    }
    // Fahrenheit temperature item of the same probe.
    EXPECT_EQ(liveSlot(0).tempUnit, 1);
    EXPECT_FLOAT_EQ(liveSlot(0).temperature, 68.0f);
}

TEST_F(ProbeServiceLoop, CleanlinessIndexReadOnceFromDiagnosis) {
    addProbe(kPhPN, 10, phValues(1, 7.0f, 20.0f, 70.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    ProbeService& svc = service();
    svc.runOnce();
    EXPECT_EQ(liveSlot(0).cleanliness, CleanStatus::BECOMING_FOULED);
    // Later changes of the probe's index are not read again until the cache is reset.
    sim_.setFloat(10, 45001, 95.0f, orvane::test::SimFloatOrder::CDAB);
    clock_.advance(2s);
    svc.runOnce();
    EXPECT_EQ(liveSlot(0).cleanliness, CleanStatus::BECOMING_FOULED);
    recipe_->triggerReload(0x2);
    clock_.advance(2s);
    svc.runOnce();
    EXPECT_EQ(liveSlot(0).cleanliness, CleanStatus::FOULED);
}

TEST_F(ProbeServiceLoop, GroupingKeepsUnidentifiedProbesApart) {
    // Two probes of one model, serial numbers not yet in the recipe (0): not one group.
    addProbe(kPhPN, 10, phValues(11, 7.0f, 15.0f));
    addProbe(kPhPN, 11, phValues(12, 8.0f, 30.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    setItem(1, kPhPN, 10, "Temperature", "\u00b0c");
    setItem(2, kPhPN, 11, "pH", "pH");
    setItem(3, kPhPN, 11, "Temperature", "K");
    // A probe without a temperature item keeps its previous temperature.
    addProbe(kTurbPN, 30);
    setItem(4, kTurbPN, 30, "Turbidity", "NTU");
    ProbeService& svc = service();
    svc.runOnce();
    EXPECT_FLOAT_EQ(liveSlot(0).temperature, 15.0f);
    EXPECT_EQ(liveSlot(0).tempUnit, 2);
    EXPECT_FLOAT_EQ(liveSlot(2).temperature, 30.0f);
    EXPECT_EQ(liveSlot(2).tempUnit, 0);
    EXPECT_TRUE(std::isnan(liveSlot(4).temperature));
    EXPECT_EQ(liveSlot(4).status, 2);
}

TEST_F(ProbeServiceLoop, PingAndDiagnosis) {
    addProbe(kPhPN, 10, phValues(5, 7.0f, 20.0f, 77.0f));
    setItem(0, kPhPN, 10, "pH", "pH");
    setItem(1, kPhPN, 50, "pH", "pH");  // nobody answers at 50
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.sensors[1].enable = false;  // keep it out of polling
    }
    ProbeService& svc = service();
    svc.runOnce();

    // A ping of a probe that never answers: three tries, result 0.
    ASSERT_TRUE(env_->set_probePing(1));
    gRetryMaxNum.store(1);
    svc.tryPingCmd();
    EXPECT_EQ(env_->pingStatus.load(), 0);
    EXPECT_EQ(framesTo(50), 3u);
    ASSERT_TRUE(env_->set_probePing(0));
    svc.tryPingCmd();
    EXPECT_EQ(env_->pingStatus.load(), 1);

    // Diagnosis of a probe whose value is NaN stays pending.
    ASSERT_TRUE(env_->set_probeDiagnose(1));
    svc.runOnce();
    EXPECT_EQ(env_->diagnoseStatus.load(), -1);
    env_->diagnoseProbeId.store(500);  // out of range: ignored
    svc.runOnce();
    EXPECT_EQ(env_->diagnoseStatus.load(), -1);

    ASSERT_TRUE(env_->set_probeDiagnose(0));
    svc.runOnce();
    EXPECT_EQ(env_->diagnoseStatus.load(), 1);
    EXPECT_EQ(env_->diagnoseResult.load(), 2u);
    std::lock_guard<StoreMutex> lk(live_->mutex());
    const ProbeLiveData& block = live_->data().probe;
    EXPECT_FLOAT_EQ(block.diagn[0], 77.0f);
    EXPECT_FLOAT_EQ(block.diagn[1], 120.0f);
    EXPECT_EQ(block.diagnKeys[0], "cleanliness");
    EXPECT_EQ(block.diagnKeys[1], "glassImpedance");
    EXPECT_TRUE(block.diagnKeys[2].empty());
    EXPECT_EQ(block.diagnRet, 1);  // status words mirrored into the published block
}

TEST_F(ProbeServiceLoop, StopEndsTheLoopPromptly) {
    ProbeService& svc = service();
    orvane::platform::Clock::setForTest(nullptr);  // real pauses in the loop
    std::thread t([&] { svc.startLoop(); });
    std::this_thread::sleep_for(150ms);
    const auto start = std::chrono::steady_clock::now();
    svc.stop();
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // within a pass, also on a loaded machine
    // The line is closed, so it goes back to the settings it had before.
    EXPECT_FALSE(svc.master().isOpen());
    orvane::platform::Clock::setForTest(&clock_);
}
