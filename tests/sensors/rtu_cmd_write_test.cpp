// Probe command set, write side: values, span, address change, configuration, calibration,
// restore, brush and relay, through the real master on the simulated bus.
#include <algorithm>
#include <cmath>

#include "env/cmd_packs.h"
#include "live/live_data.h"
#include "recipe/recipe_data.h"
#include "sensor_test_util.h"
#include "sensors/rtu_cmd_utility.h"

namespace {

using orvane::test::SimFault;
using orvane::test::SimFloatOrder;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class ProbeWriteTest : public sensors_test::BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        // The probes here always answer: a loaded machine may only make them late, and a late
        // answer must not turn into a retry that the counts below would see.
        master_.set_time_out(5000);
        ph_ = sensors_test::distMeta("ph_probe_phx200.json");
        cond_ = sensors_test::distMeta("conductivity_probe_cdx300.json");
        turb_ = sensors_test::distMeta("turbidity_probe_tbx100.json");
        item_ = std::make_unique<ProbeMeasureRecipeItem>();
        out_ = std::make_unique<MeasureDataItem>();
    }
    ProbeMeasureRecipeItem& bind(const ProbeMeta& meta, int addr, const char* name) {
        item_->probeMeta = &meta;
        item_->pn = static_cast<uint32_t>(meta.PN);
        item_->modbusAddr = static_cast<int16_t>(addr);
        item_->name = name;
        item_->enable = true;
        item_->readingIndex = static_cast<int16_t>(meta.indexOfReading(name));
        return *item_;
    }
    // The pauses of at least min ms, in order (the 10 ms slave-select pauses left out).
    std::vector<int64_t> pauses(int64_t min = 100) const {
        std::vector<int64_t> out;
        for (int64_t s : clock_.sleeps())
            if (s >= min) out.push_back(s);
        return out;
    }
    size_t writesTo(int addr) const {
        size_t n = 0;
        for (const auto& f : bus_.frames())
            if (f.fromMaster && f.bytes.size() > 1 && f.bytes[0] == addr && f.bytes[1] == 16) ++n;
        return n;
    }

    std::unique_ptr<ProbeMeta> ph_, cond_, turb_;
    std::unique_ptr<ProbeMeasureRecipeItem> item_;
    std::unique_ptr<MeasureDataItem> out_;
};

TEST_F(ProbeWriteTest, WriteValueReportsTheOutcome) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = bind(*ph_, 10, "pH");
    ProbeCmdRetPack r = RtuCmdUtility::writeValue(it, master_, 6.5f);
    EXPECT_EQ(r.status, 1);
    EXPECT_FLOAT_EQ(bus_.getFloat(10, 40001, sensors_test::kWrittenFloatOrder), 6.5f);
    gRetryMaxNum = 1;
    bus_.scriptFault(10, SimFault::Exception, 1);
    EXPECT_EQ(RtuCmdUtility::writeValue(it, master_, 1.0f).status, 0);
    it.name = "Chlorine";
    bus_.clearFrames();
    EXPECT_EQ(RtuCmdUtility::writeValue(it, master_, 1.0f).status, 0);
    it.probeMeta = &probeMetaNone();
    EXPECT_EQ(RtuCmdUtility::writeValue(it, master_, 1.0f).msg, "probe meta not loaded");
    EXPECT_EQ(bus_.requestCount(), 0u);
}

TEST_F(ProbeWriteTest, SpanWrites) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = bind(*ph_, 10, "pH");
    ConfigCmdPack pack;
    pack.cmdType = CONFIG_CMD_SPAN_4_20MA;

    // Both ends NaN: nothing written, failure.
    EXPECT_EQ(RtuCmdUtility::set_range_mA(it, master_, pack, *out_).status, 0);
    EXPECT_EQ(bus_.requestCount(), 0u);

    // The 4 mA end only: one write, one 500 ms pause, success.
    pack.mA_4 = 1.5f;
    clock_.clearSleeps();
    ProbeCmdRetPack r = RtuCmdUtility::set_range_mA(it, master_, pack, *out_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(writesTo(10), 1u);
    EXPECT_EQ(pauses(), std::vector<int64_t>{500});
    EXPECT_FLOAT_EQ(out_->mA_4, 1.5f);
    EXPECT_FLOAT_EQ(bus_.getFloat(10, 43001, sensors_test::kWrittenFloatOrder), 1.5f);

    // Both ends, the 20 mA write failing: failure although the 4 mA end was written.
    pack.mA_20 = 13.0f;
    gRetryMaxNum = 1;
    bus_.setWriteHook(10, [](int, uint32_t reg, const std::vector<uint16_t>&, orvane::test::ProbeBusSim::RegisterMap& regs) {
        if (reg == 43001) regs.erase(43003);  // the next write to 43003 gets an exception
    });
    r = RtuCmdUtility::set_range_mA(it, master_, pack, *out_);
    EXPECT_EQ(r.status, 0);
    EXPECT_FLOAT_EQ(out_->mA_20, 100.0f);

    // No span entry for the item's measure.
    auto& t = bind(*ph_, 10, "Temperature");
    EXPECT_EQ(RtuCmdUtility::set_range_mA(t, master_, pack, *out_).status, 0);
    RtuCmdUtility::RangeMA none = RtuCmdUtility::get_range_mA(t, master_);
    EXPECT_FALSE(none.ok);
}

TEST_F(ProbeWriteTest, SpanReadUsesThePlaceholderWithoutARegister) {
    auto meta = sensors_test::parseMeta(R"({"PN": 5, "Span4_20mA": [{"Name": "pH",
        "__4mA": {"Placeholder": 3, "Cmds": [{"RegAddress": 0}]}, "__20mA": {"Placeholder": 11, "Cmds": [{"RegAddress": 0}]}}]})");
    bus_.addProbe(2, {});
    auto& it = bind(*meta, 2, "pH");
    RtuCmdUtility::RangeMA r = RtuCmdUtility::get_range_mA(it, master_);
    EXPECT_TRUE(r.ok);
    EXPECT_FLOAT_EQ(r.ma4, 3.0f);
    EXPECT_FLOAT_EQ(r.ma20, 11.0f);
    EXPECT_EQ(bus_.requestCount(), 0u);
}

TEST_F(ProbeWriteTest, AddressChangeMovesTheProbeAndIsVerified) {
    orvane::test::addSimProbe(bus_, 20, *cond_);  // moves when its reboot register is written
    auto& it = bind(*cond_, 20, "Conductivity");
    ConfigCmdPack pack;
    pack.cmdType = CONFIG_CMD_CHANGE_ADDR;
    pack.newAddr = 5;
    clock_.clearSleeps();
    EXPECT_TRUE(RtuCmdUtility::changeAddr(it, master_, pack));
    EXPECT_TRUE(bus_.hasProbe(5));
    EXPECT_FALSE(bus_.hasProbe(20));
    EXPECT_EQ(bus_.getRegister(5, 44001), 5);  // the editable command carries the new address
    EXPECT_EQ(bus_.getRegister(5, 44005), 1);  // the other its SetValue
    EXPECT_EQ(writesTo(20), 3u);               // two address commands and the reboot, at the old address
    EXPECT_EQ(pauses(), (std::vector<int64_t>{2000, 2000, 10000}));
}

TEST_F(ProbeWriteTest, AddressChangeFailsWhenTheProbeIsNotAtTheNewAddress) {
    bus_.addProbe(20, orvane::test::simRegistersFromMeta(*cond_));  // ignores address writes
    auto& it = bind(*cond_, 20, "Conductivity");
    ConfigCmdPack pack;
    pack.newAddr = 6;
    gRetryMaxNum = 1;
    EXPECT_FALSE(RtuCmdUtility::changeAddr(it, master_, pack));
    EXPECT_TRUE(bus_.hasProbe(20));
    // Out-of-range addresses are refused before anything is written.
    bus_.clearFrames();
    for (int a : {0, 248, -3}) {
        pack.newAddr = a;
        EXPECT_FALSE(RtuCmdUtility::changeAddr(it, master_, pack));
    }
    EXPECT_EQ(bus_.requestCount(), 0u);
}

TEST_F(ProbeWriteTest, ConfigureWritesThenReboots) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = bind(*ph_, 10, "pH");
    ConfigCmdPack pack;
    pack.param = 1;  // "Averaging"
    pack.value = 30.0f;
    clock_.clearSleeps();
    EXPECT_TRUE(RtuCmdUtility::configure(it, master_, pack));
    EXPECT_EQ(bus_.getRegister(10, 44002), 30);
    EXPECT_EQ(bus_.getRegister(10, 44010), 1);  // rebooted
    EXPECT_EQ(pauses(), std::vector<int64_t>{1000});
    // A failed write: no reboot.
    bus_.setRegister(10, 44010, 0);
    gRetryMaxNum = 1;
    bus_.scriptFault(10, SimFault::Exception, 1);
    EXPECT_FALSE(RtuCmdUtility::configure(it, master_, pack));
    EXPECT_EQ(bus_.getRegister(10, 44010), 0);
    pack.param = 2;
    EXPECT_FALSE(RtuCmdUtility::configure(it, master_, pack));
    pack.param = -1;
    EXPECT_FALSE(RtuCmdUtility::configure(it, master_, pack));
}

const char* kOrp = R"({"PN": 60001, "DataFmt": "ABCD", "Readings": [{"Name": "ORP", "RegAddress": 40001, "RegType": "float",
   "Calibrations": [{"Name": "Offset", "Cmds": [{"RegAddress": 42001, "RegType": "float", "Editable": true}]},
                    {"Name": "Check", "Cmds": [{"RegAddress": 42003, "RegType": "ushort", "SetValue": 9,
                       "ResultRegAddress": 42004, "ResultRegType": "ushort",
                       "Results": [{"RegValue": 1, "ResultMessage": "calibration succeed"},
                                   {"RegValue": 2, "ResultMessage": "electrode worn"}]}]}]}]})";

TEST_F(ProbeWriteTest, CalibrationWithoutResultRegister) {
    auto meta = sensors_test::parseMeta(kOrp);
    orvane::test::addSimProbe(bus_, 7, *meta);
    auto& it = bind(*meta, 7, "ORP");
    CalbCmdPack pack;
    pack.idxCal = 0;
    pack.solution = 250.0f;
    clock_.clearSleeps();
    ProbeCmdRetPack r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 1);  // every write good and nothing to poll
    EXPECT_FLOAT_EQ(bus_.getFloat(7, 42001, orvane::test::SimFloatOrder::ABCD), 0.25f);  // mV to V, in the probe's order
    EXPECT_EQ(pauses(), (std::vector<int64_t>{200, 100}));
    // A failed write is a failure.
    gRetryMaxNum = 1;
    bus_.scriptFault(7, SimFault::Exception, 1);
    EXPECT_EQ(RtuCmdUtility::calibrate(it, master_, pack).status, 0);
}

TEST_F(ProbeWriteTest, CalibrationIndexesAndMissingDefinition) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = bind(*ph_, 10, "pH");
    CalbCmdPack pack;
    pack.idxCal = 2;  // == number of calibration entries
    ProbeCmdRetPack r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.msg, "idxCal out of range");
    pack.idxCal = -1;
    EXPECT_EQ(RtuCmdUtility::calibrate(it, master_, pack).msg, "idxCal out of range");
    pack.idxCal = 0;
    it.readingIndex = 5;
    EXPECT_EQ(RtuCmdUtility::calibrate(it, master_, pack).msg, "measureIndexInProbe out of range");
    it.probeMeta = &probeMetaNone();
    {
        sensors_test::LogCapture log;
        set_log_level_for_test(LogModule::SENSOR, 1);
        r = RtuCmdUtility::calibrate(it, master_, pack);
        EXPECT_EQ(log.count("calibrate aborted: device.meta is null (pn=50210, modbusAddr=10, name=pH)"), 1u);
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.msg, "probe meta not loaded");
    EXPECT_EQ(bus_.requestCount(), 0u);
}

TEST_F(ProbeWriteTest, CalibrationResultPolling) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = bind(*ph_, 10, "pH");
    CalbCmdPack pack;
    pack.idxCal = 1;
    pack.solution = 7.0f;

    // A value no Result lists: polled 20 times, 500 ms apart, then failure.
    bus_.setRegister(10, 42004, 9);
    clock_.clearSleeps();
    bus_.clearFrames();
    ProbeCmdRetPack r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.msg, "calibration failure");
    auto p = pauses();
    EXPECT_EQ(std::count(p.begin(), p.end(), 500), 19);
    EXPECT_FLOAT_EQ(bus_.getFloat(10, 42001, sensors_test::kWrittenFloatOrder), 7.0f);
    EXPECT_EQ(bus_.getRegister(10, 42003), 2);

    // Result 1 at once: success with its message.
    bus_.setRegister(10, 42004, 1);
    clock_.clearSleeps();
    r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.msg, "calibration succeed");
    p = pauses();
    EXPECT_EQ(std::count(p.begin(), p.end(), 500), 0);

    // A matching Result whose message is not a success.
    bus_.setRegister(10, 42004, 3);
    r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.msg, "calibration failed: out of range");

    // The probe works for a while after the trigger: 0, 0, then 1.
    bus_.setRegister(10, 42004, 0);
    bus_.setWriteHook(10, [&](int, uint32_t reg, const std::vector<uint16_t>&, orvane::test::ProbeBusSim::RegisterMap& regs) {
        if (reg == 42003) regs[42004] = 0;
    });
    bus_.scriptReads(10, 42004, {0, 0, 1});
    clock_.clearSleeps();
    r = RtuCmdUtility::calibrate(it, master_, pack);
    EXPECT_EQ(r.status, 1);
    p = pauses();
    EXPECT_EQ(std::count(p.begin(), p.end(), 500), 2);
}

TEST_F(ProbeWriteTest, ResultLookup) {
    auto meta = sensors_test::parseMeta(kOrp);
    const auto& results = meta->Readings[0].Calibrations[1].Cmds[0].Results;
    auto a = RtuCmdUtility::getErrorCode(results, 1);
    EXPECT_TRUE(a.matched);
    EXPECT_TRUE(a.success);
    auto b = RtuCmdUtility::getErrorCode(results, 2);
    EXPECT_TRUE(b.matched);
    EXPECT_FALSE(b.success);
    auto c = RtuCmdUtility::getErrorCode(results, 3);
    EXPECT_FALSE(c.matched);
    EXPECT_EQ(c.msg, "calibration failure");
}

TEST_F(ProbeWriteTest, RestoreReportsEveryWrite) {
    orvane::test::addSimProbe(bus_, 30, *turb_);
    auto& it = bind(*turb_, 30, "Turbidity");
    ProbeCmdRetPack pack;
    clock_.clearSleeps();
    RtuCmdUtility::restore(it, master_, pack);
    EXPECT_EQ(pack.status, 1);
    EXPECT_EQ(bus_.getRegister(30, 44011), 1);
    EXPECT_EQ(bus_.getRegister(30, 44012), 1);
    EXPECT_EQ(pauses(), (std::vector<int64_t>{1000, 1000}));
    // The first write fails, the last succeeds: failure.
    gRetryMaxNum = 1;
    bus_.scriptFault(30, SimFault::Exception, 1);
    RtuCmdUtility::restore(it, master_, pack);
    EXPECT_EQ(pack.status, 0);
    // No restore commands: not supported.
    orvane::test::addSimProbe(bus_, 7, *sensors_test::parseMeta(kOrp));
    auto orp = sensors_test::parseMeta(kOrp);
    auto& o = bind(*orp, 7, "ORP");
    RtuCmdUtility::restore(o, master_, pack);
    EXPECT_EQ(pack.status, 0);
}

TEST_F(ProbeWriteTest, RestorePollsAResultRegisterABoundedNumberOfTimes) {
    auto meta = sensors_test::parseMeta(R"({"PN": 61, "RestoreFactory": {"Cmds": [{"RegAddress": 10, "RegType": "ushort",
        "SetValue": 1, "ResultRegAddress": 20, "ResultRegType": "ushort",
        "Results": [{"RegValue": 1, "ResultMessage": "restore succeed"}]}]}})");
    bus_.addProbe(9, {{10, 0}, {20, 0}});
    auto& it = bind(*meta, 9, "x");
    ProbeCmdRetPack pack;
    clock_.clearSleeps();
    RtuCmdUtility::restore(it, master_, pack);
    EXPECT_EQ(pack.status, 0);
    EXPECT_EQ(pack.msg, "calibration failure");
    EXPECT_EQ(pauses(500).size(), 1u + RtuCmdUtility::kRestorePolls - 1);
    bus_.scriptReads(9, 20, {0, 1});
    RtuCmdUtility::restore(it, master_, pack);
    EXPECT_EQ(pack.status, 1);
    EXPECT_EQ(pack.msg, "restore succeed");
}

TEST_F(ProbeWriteTest, RebootBrushAndRelay) {
    orvane::test::addSimProbe(bus_, 30, *turb_);
    bus_.addProbe(31, {{46001, 0}});
    bus_.addProbe(1, {{49001, 0}, {49002, 0}, {49003, 0}});
    auto& it = bind(*turb_, 30, "Turbidity");
    EXPECT_TRUE(RtuCmdUtility::reboot(it, master_));
    EXPECT_EQ(bus_.getRegister(30, 44010), 1);
    it.brushAddr = 31;
    EXPECT_TRUE(RtuCmdUtility::setBrushState(it, master_, true));
    EXPECT_EQ(bus_.getRegister(31, 46001), 1);
    EXPECT_TRUE(RtuCmdUtility::setBrushState(it, master_, false));
    EXPECT_EQ(bus_.getRegister(31, 46001), 0);
    gDataFmt = "ABCD";
    EXPECT_TRUE(RtuCmdUtility::setRelayCmd(master_, 2, true));
    EXPECT_TRUE(gDataFmt.empty());
    EXPECT_EQ(bus_.getRegister(1, 49001), 2);
    EXPECT_EQ(bus_.getRegister(1, 49002), 3);
    EXPECT_EQ(bus_.getRegister(1, 49003), 1);
    auto& ph = bind(*ph_, 10, "pH");
    ph.brushAddr = 31;
    EXPECT_FALSE(RtuCmdUtility::setBrushState(ph, master_, true));  // no brushing commands
}

}  // namespace
