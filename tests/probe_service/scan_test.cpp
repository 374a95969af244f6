// Bus scan: address order, suggestions, stop, progress, probes already in the recipe. All but one
// scan run over a scripted bus (no time-outs); one runs over the simulated bus on the pty.
#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "rig.h"

using namespace probe_test;
using namespace std::chrono_literals;

namespace {

class ScriptedScanBus : public ProbeScanBus {
public:
    struct Probe {
        int64_t pn;
        long sn;
    };
    int64_t readPN(int address) override {
        reads.push_back(address);
        if (onRead) onRead(address);
        auto it = probes.find(address);
        return it == probes.end() ? 0 : it->second.pn;
    }
    long readSN(const ProbeMeta&, int address) override {
        auto it = probes.find(address);
        return it == probes.end() ? 0 : it->second.sn;
    }
    std::map<int, Probe> probes;
    std::vector<int> reads;
    std::function<void(int)> onRead;
};

}  // namespace

class ProbeScan : public ServiceRig {
protected:
    void SetUp() override {
        ServiceRig::SetUp();
        ProbeService& svc = service();
        svc.setScanBusForTest(&bus_);
        svc.syncInit();  // items, line
    }
    ScanProbeStatus scan(SCAN_MODE mode = SCAN_MODE::DEFAULT, unsigned arg = 0) {
        env_->startScan(mode, arg);
        service().handleScanCmd();
        return env_->getScanProbeStatus();
    }
    static const ProbeScanResultItem* at(const ScanProbeStatus& s, int addr) {
        for (const auto& r : s.results)
            if (r.modbusAddr == addr) return &r;
        return nullptr;
    }
    ScriptedScanBus bus_;
};

TEST_F(ProbeScan, SuggestionsKeepFreeLowAddressesAndNumberTheRestFrom151) {
    bus_.probes = {{10, {kPhPN, 1}}, {12, {kPhPN, 2}}, {200, {kCondPN, 3}}, {201, {kTurbPN, 4}}};
    const ScanProbeStatus s = scan();
    ASSERT_EQ(s.results.size(), 4u);
    EXPECT_EQ(at(s, 10)->suggestedAddr, 10);
    EXPECT_EQ(at(s, 12)->suggestedAddr, 12);
    EXPECT_EQ(at(s, 200)->suggestedAddr, 151);
    EXPECT_EQ(at(s, 201)->suggestedAddr, 152);
    const ProbeScanResultItem* ph = at(s, 10);
    EXPECT_EQ(ph->modelName, "PHX-200");
    EXPECT_EQ(ph->modelDescription, "Digital pH probe");
    EXPECT_EQ(ph->pn, kPhPN);
    EXPECT_EQ(ph->sn, 1u);
    EXPECT_EQ(ph->enable, 1);
    EXPECT_EQ(s.scanState, 2u);
    EXPECT_EQ(s.scanProgress, 100);
    EXPECT_EQ(env_->scanCmd.load(), 2u);
    EXPECT_EQ(env_->scanCount.load(), 4);
    EXPECT_EQ(gRetryMaxNum.load(), 3);
}

TEST_F(ProbeScan, OrderNeverBroadcastAndEachAddressOnce) {
    std::vector<int> listed{0, 300, -5, 12, 12, 247};
    env_->setLastScannedSlaveIDs(listed);
    scan(SCAN_MODE::BY_LIST);
    ASSERT_FALSE(bus_.reads.empty());
    EXPECT_EQ(bus_.reads[0], 12);
    EXPECT_EQ(bus_.reads[1], 247);
    EXPECT_EQ(bus_.reads[2], 150);
    std::set<int> seen;
    for (int a : bus_.reads) {
        EXPECT_GE(a, 1);
        EXPECT_LE(a, 247);
        EXPECT_TRUE(seen.insert(a).second) << "read twice: " << a;
    }
    EXPECT_EQ(seen.size(), 247u);
}

TEST_F(ProbeScan, RecipeProbesAndIgnoredModelAreNotListed) {
    setItem(0, kPhPN, 10, "pH", "pH", 500);
    setItem(1, kCondPN, 20, "Conductivity", "uS/cm", 600);
    recipe_->triggerReload(0x2);
    service().syncInit();
    // 10: the recipe's probe itself; 21: the recipe's conductivity probe answering elsewhere;
    // 155: a model that is never listed but still takes a suggestion.
    bus_.probes = {{10, {kPhPN, 500}}, {21, {kCondPN, 600}}, {155, {43042, 9}}, {201, {kTurbPN, 7}}};
    const ScanProbeStatus s = scan();
    ASSERT_EQ(s.results.size(), 2u);
    EXPECT_EQ(at(s, 10), nullptr);
    ASSERT_NE(at(s, 21), nullptr);
    EXPECT_EQ(at(s, 21)->suggestedAddr, 21);
    EXPECT_EQ(at(s, 155), nullptr);
    // The unlisted probes still took suggestions: the recipe's own at 10 (its address is in use)
    // 151, the ignored model 152.
    EXPECT_EQ(at(s, 201)->suggestedAddr, 153);
}

TEST_F(ProbeScan, SuggestionNeverCollidesWithAnAnsweringProbe) {
    std::vector<int> listed{230, 151};
    env_->setLastScannedSlaveIDs(listed);
    bus_.probes = {{230, {kPhPN, 1}}, {151, {kPhPN, 2}}};
    const ScanProbeStatus s = scan(SCAN_MODE::BY_LIST);
    ASSERT_EQ(s.results.size(), 2u);
    const int a = at(s, 230)->suggestedAddr, b = at(s, 151)->suggestedAddr;
    EXPECT_NE(a, 151);
    EXPECT_NE(a, 230);
    EXPECT_NE(b, 230);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, 152);
    EXPECT_EQ(b, 153);
}

TEST_F(ProbeScan, NoFreeAddressGivesMinusOne) {
    for (int k = 0; k < 96; ++k) setItem(k, kPhPN, 151 + k, "pH", "pH", static_cast<uint32_t>(k + 1));
    recipe_->triggerReload(0x2);
    service().syncInit();
    bus_.probes = {{200, {kTurbPN, 1}}, {20, {kCondPN, 2}}};
    const ScanProbeStatus s = scan();
    EXPECT_EQ(at(s, 200)->suggestedAddr, -1);
    EXPECT_EQ(at(s, 20)->suggestedAddr, 20);
}

TEST_F(ProbeScan, StopEndsAfterTheCurrentAddressAndProgressClimbs) {
    bus_.probes = {{10, {kPhPN, 1}}, {12, {kPhPN, 2}}};
    std::vector<int> progress;
    bus_.onRead = [&](int addr) {
        progress.push_back(env_->scanProgress.load());
        if (addr == 13) env_->stopScan();
    };
    const ScanProbeStatus s = scan();
    ASSERT_GE(bus_.reads.size(), 4u);
    EXPECT_EQ(bus_.reads.back(), 13);
    EXPECT_EQ(s.results.size(), 2u);
    EXPECT_EQ(s.scanProgress, 100);
    EXPECT_EQ(s.scanState, 2u);
    EXPECT_EQ(env_->scanCmd.load(), 2u);
    const size_t n = env_->getPrioritySlaveIds().size();
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_EQ(progress[i], static_cast<int>((i - 1) * 100 / n)) << i;
}

TEST_F(ProbeScan, OverThePseudoTerminal) {
    service().setScanBusForTest(nullptr);
    addProbe(kPhPN, 10, [] {
        orvane::test::SimProbeValues v;
        v.serial = 4711;
        return v;
    }());
    addProbe(kCondPN, 11, [] {
        orvane::test::SimProbeValues v;
        v.serial = 815;
        return v;
    }());
    ProbeService& svc = service();
    svc.runOnce();  // the line opens
    ASSERT_EQ(env_->serialCmdAck.load(), 2);
    const int timeoutBefore = svc.master().timeoutMs();
    std::atomic<bool> stopWatch{false};
    std::thread watcher([&] {
        while (!stopWatch && env_->scanCount.load() < 2) std::this_thread::sleep_for(5ms);
        env_->stopScan();
    });
    env_->startScan(SCAN_MODE::DEFAULT, 0);
    svc.runOnce();
    stopWatch = true;
    watcher.join();
    const ScanProbeStatus s = env_->getScanProbeStatus();
    ASSERT_EQ(s.results.size(), 2u);
    EXPECT_EQ(at(s, 10)->sn, 4711u);
    EXPECT_EQ(at(s, 10)->pn, kPhPN);
    EXPECT_EQ(at(s, 11)->sn, 815u);
    EXPECT_EQ(at(s, 11)->modelName, "CDX-300");
    EXPECT_EQ(at(s, 11)->suggestedAddr, 11);
    EXPECT_EQ(s.scanState, 2u);
    EXPECT_EQ(svc.master().timeoutMs(), timeoutBefore);
    EXPECT_EQ(framesTo(0), 0u);
}
