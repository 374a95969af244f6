// Probe command set, read side, through the real master on the simulated bus.
#include <climits>
#include <cmath>

#include "live/live_data.h"
#include "recipe/recipe_data.h"
#include "sensor_test_util.h"
#include "sensors/rtu_cmd_utility.h"

namespace {

using orvane::test::SimFault;
using orvane::test::SimFloatOrder;
using orvane::test::SimProbeValues;

class ProbeReadTest : public sensors_test::BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        ph_ = sensors_test::distMeta("ph_probe_phx200.json");
        cond_ = sensors_test::distMeta("conductivity_probe_cdx300.json");
        turb_ = sensors_test::distMeta("turbidity_probe_tbx100.json");
        items_ = std::make_unique<std::array<ProbeMeasureRecipeItem, 128>>();
        live_ = std::make_unique<ProbeLiveData>();
    }
    ProbeMeasureRecipeItem& item(size_t i, const ProbeMeta& meta, int addr, const char* name) {
        ProbeMeasureRecipeItem& it = (*items_)[i];
        it.probeMeta = &meta;
        it.pn = static_cast<uint32_t>(meta.PN);
        it.modbusAddr = static_cast<int16_t>(addr);
        it.name = name;
        it.enable = true;
        it.readingIndex = static_cast<int16_t>(meta.indexOfReading(name));
        return it;
    }

    std::unique_ptr<ProbeMeta> ph_, cond_, turb_;
    std::unique_ptr<std::array<ProbeMeasureRecipeItem, 128>> items_;
    std::unique_ptr<ProbeLiveData> live_;
};

TEST_F(ProbeReadTest, ReadingsOfProbesWithDifferentByteOrders) {
    SimProbeValues phv;
    phv.readings = {{"pH", 7.25f}, {"Temperature", 21.5f}};
    SimProbeValues cv;
    cv.readings = {{"Conductivity", 1413.0f}};
    orvane::test::addSimProbe(bus_, 10, *ph_, phv);   // CDAB
    orvane::test::addSimProbe(bus_, 20, *cond_, cv);  // ABCD
    item(0, *ph_, 10, "pH");
    item(1, *ph_, 10, "Temperature");
    auto& c = item(2, *cond_, 20, "Conductivity");
    c.unit = "uS/cm";
    c.displayUnit = "S/cm";
    auto& custom = item(3, *ph_, 10, "pH");
    custom.calculated = true;
    custom.intercept = 1.0f;
    custom.slope = 2.0f;
    auto& disabled = item(4, *ph_, 10, "pH");
    disabled.enable = false;
    (*items_)[5].enable = true;  // no definition
    (*items_)[5].modbusAddr = 10;
    (*items_)[5].name = "pH";

    EXPECT_EQ(RtuCmdUtility::readData(*items_, master_, *live_), 4);
    const auto& L = live_->items;
    EXPECT_FLOAT_EQ(L[0].val, 7.25f);
    EXPECT_FLOAT_EQ(L[1].val, 21.5f);
    EXPECT_NEAR(L[2].val, 0.001413f, 1e-9);
    EXPECT_FLOAT_EQ(L[3].val, 15.5f);
    for (int i : {0, 1, 2, 3}) {
        EXPECT_EQ(L[static_cast<size_t>(i)].status, 2);
        EXPECT_EQ(L[static_cast<size_t>(i)].fresh, 1);
        EXPECT_EQ((*items_)[static_cast<size_t>(i)].failureCount, 0);
    }
    for (int i : {4, 5, 6}) {
        EXPECT_EQ(L[static_cast<size_t>(i)].status, 0);
        EXPECT_TRUE(std::isnan(L[static_cast<size_t>(i)].val));
        EXPECT_EQ(L[static_cast<size_t>(i)].fresh, 0);
        EXPECT_EQ((*items_)[static_cast<size_t>(i)].failureCount, 1);
    }
    EXPECT_EQ(bus_.requestCount(), 4u);  // disabled and unbound slots cost nothing on the bus
    EXPECT_EQ(gDataFmt, "");             // the last slot has no definition

    // The probe stops answering: the next pass marks it failed and counts up, saturating.
    bus_.scriptFault(10, SimFault::Exception, 100);
    (*items_)[1].failureCount = SHRT_MAX;
    clock_.advance(std::chrono::seconds(5));
    const int64_t passStart = clock_.steadySeconds();
    RtuCmdUtility::readData(*items_, master_, *live_);
    EXPECT_EQ(L[0].status, 0);
    EXPECT_TRUE(std::isnan(L[0].val));
    EXPECT_EQ((*items_)[0].failureCount, 1);
    EXPECT_EQ((*items_)[1].failureCount, SHRT_MAX);
    EXPECT_EQ((*items_)[0].lastAttemptTime, passStart);  // the pass's start, for every item
    EXPECT_EQ(L[2].status, 2);
}

TEST_F(ProbeReadTest, InformationSerialVersionsAndSpan) {
    SimProbeValues v;
    v.serial = 20260042;
    v.softwareVersion = "205";
    v.hardwareVersion = "HW1.2";
    v.span4 = 2.5f;
    v.span20 = 12.75f;
    orvane::test::addSimProbe(bus_, 10, *ph_, v);
    SimProbeValues cv;
    cv.serial = 987654;
    cv.hardwareVersion = "REV-C";
    orvane::test::addSimProbe(bus_, 20, *cond_, cv);
    auto& a = item(0, *ph_, 10, "pH");
    item(1, *cond_, 20, "Conductivity");
    item(2, *ph_, 10, "Temperature");  // no span entry of that name

    EXPECT_EQ(RtuCmdUtility::readInfo(*items_, master_, *live_), 3);
    const auto& L = live_->items;
    EXPECT_EQ(L[0].SN, 20260042u);
    EXPECT_EQ(L[0].swVer, "205");  // one register: its decimal text
    EXPECT_EQ(L[0].hwVer, "HW1.2");
    EXPECT_FLOAT_EQ(L[0].mA_4, 2.5f);  // float span keeps its fraction
    EXPECT_FLOAT_EQ(L[0].mA_20, 12.75f);
    EXPECT_FLOAT_EQ(a.mA_4, 2.5f);
    EXPECT_EQ(L[1].SN, 987654u);  // "ushort" digits through toLong
    EXPECT_EQ(L[1].hwVer, "REV-C");
    EXPECT_FLOAT_EQ(L[2].mA_20, 100.0f);  // untouched

    EXPECT_EQ(RtuCmdUtility::readPN(master_, 10), 50210u);
    EXPECT_EQ(RtuCmdUtility::readSN(*ph_, master_, 10), 20260042);
    EXPECT_EQ(RtuCmdUtility::readSN(*cond_, master_, 20), 987654);
    gRetryMaxNum = 1;
    bus_.scriptFault(10, SimFault::Exception, 2);
    EXPECT_EQ(RtuCmdUtility::readPN(master_, 10), 0u);
    EXPECT_EQ(RtuCmdUtility::readSN(*ph_, master_, 10), 0);
}

TEST_F(ProbeReadTest, InformationWalkStopsAtTheFirstFailure) {
    auto meta = sensors_test::parseMeta(R"({"PN": 5, "Info": [
        {"Name": "Serial Number", "RegAddress": 100, "RegType": "uint", "RegLen": 1},
        {"Name": "Model", "RegAddress": 200, "RegType": "ushort"},
        {"Name": "Software Version", "RegAddress": 300, "RegType": "ushort", "RegLen": 2},
        {"Name": "Product Number", "RegAddress": 400, "RegType": "uint"}]})");
    bus_.addProbe(3, {{100, 77}, {101, 0}, {300, 0x2E31}, {301, 0x0032}});
    auto& it = item(0, *meta, 3, "x");
    auto out = std::make_unique<MeasureDataItem>();
    out->val = 1.0f;
    out->status = 2;
    sensors_test::LogCapture log;
    EXPECT_FALSE(RtuCmdUtility::readInfoItem(it, master_, *out));
    EXPECT_EQ(out->SN, 77u);
    EXPECT_EQ(out->swVer, "1.2");  // bytes, low-order first
    EXPECT_EQ(log.count("unimplemented readInfo Model"), 1u);
    EXPECT_EQ(log.count("read info Product Number"), 1u);
    EXPECT_EQ(it.failureCount, 2);
    EXPECT_EQ(out->status, 0);
    EXPECT_TRUE(std::isnan(out->val));
    EXPECT_EQ(it.lastAttemptTime, clock_.steadySeconds());
}

TEST_F(ProbeReadTest, DefaultFloatOrderAndShortSerialNumber) {
    // No "DataFmt": floats are CDAB. A "ushort" serial number of one register goes through toLong.
    auto meta = sensors_test::parseMeta(R"({"PN": 77, "Readings": [{"Name": "DO", "RegAddress": 40001, "RegType": "float"}],
        "Info": [{"Name": "Serial Number", "RegAddress": 41001, "RegType": "ushort", "RegLen": 1}]})");
    bus_.addProbe(6, {{41001, 0x3735}});
    bus_.setFloat(6, 40001, 8.25f, SimFloatOrder::CDAB);
    gDataFmt = "ABCD";
    auto& it = item(0, *meta, 6, "DO");
    auto out = std::make_unique<MeasureDataItem>();
    EXPECT_TRUE(RtuCmdUtility::readDataItem(it, master_, *out));
    EXPECT_FLOAT_EQ(out->val, 8.25f);
    EXPECT_TRUE(RtuCmdUtility::readInfoItem(it, master_, *out));
    EXPECT_EQ(out->SN, 57u);  // '5' in the low-order byte first
    EXPECT_EQ(RtuCmdUtility::readSN(*meta, master_, 6), 57);
}

TEST(ProbeDigits, ToLong) {
    std::array<uint32_t, 20> v{};
    v[0] = 0x3231;
    v[1] = 0x3433;
    EXPECT_EQ(RtuCmdUtility::toLong(v), 1234);
    v = {};
    v[0] = 0x0031;
    EXPECT_EQ(RtuCmdUtility::toLong(v), 1);
    v = {};
    v[0] = 0x2031;  // a blank is skipped
    v[1] = 0x0032;
    v[2] = 0x0033;
    EXPECT_EQ(RtuCmdUtility::toLong(v), 123);
    v.fill(0x3939);  // 40 nines
    EXPECT_EQ(RtuCmdUtility::toLong(v), LONG_MAX);
}

TEST_F(ProbeReadTest, AnalogInputs) {
    gDataFmt = "ABCD";
    bus_.addProbe(3, {});
    const float currents[] = {2.0f, 4.0f, 12.0f, 20.0f};
    for (int i = 0; i < 4; ++i) bus_.setFloat(3, static_cast<uint32_t>(10 + 2 * i), currents[i], SimFloatOrder::CDAB);
    auto ai = std::make_unique<std::array<AIRecipeItem, 8>>();
    for (int i = 0; i < 8; ++i) {
        auto& in = (*ai)[static_cast<size_t>(i)];
        in.enable = true;
        in.modbusAddr = 3;
        in.reg = static_cast<uint16_t>(10 + 2 * (i % 4));
        in.regType = "float";
        in.mA_4 = 0.0f;
        in.mA_20 = 100.0f;
        in.signalType = i < 4 ? 1 : 0;
    }
    (*ai)[6].signalType = 7;  // unknown range kind
    (*ai)[7].enable = false;
    auto live = std::make_unique<AnalogLiveData>();
    RtuCmdUtility::readDataAI(*ai, master_, *live);
    EXPECT_TRUE(gDataFmt.empty());
    const auto& L = live->items;
    EXPECT_FLOAT_EQ(L[0].val, 0.0f);  // 2 mA clamps to the minimum
    EXPECT_FLOAT_EQ(L[0].raw, 2.0f);
    EXPECT_FLOAT_EQ(L[1].val, 0.0f);
    EXPECT_FLOAT_EQ(L[2].val, 50.0f);
    EXPECT_FLOAT_EQ(L[3].val, 100.0f);
    EXPECT_FLOAT_EQ(L[4].val, 10.0f);  // 0-20 mA: 2 mA is 10 %
    EXPECT_FLOAT_EQ(L[5].val, 20.0f);
    EXPECT_TRUE(std::isnan(L[6].val));
    EXPECT_EQ(L[6].status, 2);
    EXPECT_TRUE(std::isnan(L[7].raw));
    EXPECT_EQ(L[7].status, 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(L[static_cast<size_t>(i)].status, 2);
    // A failed read: NaN and status 0.
    gRetryMaxNum = 1;
    bus_.scriptFault(3, SimFault::Exception, 8);
    RtuCmdUtility::readDataAI(*ai, master_, *live);
    EXPECT_TRUE(std::isnan(L[2].raw));
    EXPECT_TRUE(std::isnan(L[2].val));
    EXPECT_EQ(L[2].status, 0);
}

TEST_F(ProbeReadTest, DiagnosisIsClampedToTwentyValues) {
    std::string diag;
    for (int i = 0; i < 25; ++i)
        diag += (i ? "," : "") + std::string(R"({"Name": "dv)") + std::to_string(i) + R"(", "RegAddress": )" +
                std::to_string(100 + 2 * i) + R"(, "RegType": "float"})";
    auto meta = sensors_test::parseMeta(R"({"PN": 8, "DataFmt": "DCBA", "Diagnosis": [)" + diag + "]}");
    orvane::test::SimProbeValues v;
    for (int i = 0; i < 25; ++i) v.diagnosis["dv" + std::to_string(i)] = static_cast<float>(i) + 0.5f;
    orvane::test::addSimProbe(bus_, 4, *meta, v);
    auto& it = item(0, *meta, 4, "x");
    std::array<float, 20> values;
    EXPECT_EQ(RtuCmdUtility::readDiagnosis(it, master_, values), 20);
    EXPECT_FLOAT_EQ(values[0], 0.5f);
    EXPECT_FLOAT_EQ(values[19], 19.5f);
    EXPECT_EQ(bus_.requestCount(), 20u);
    std::array<fss::basic_str<char, 32>, 20> names;
    EXPECT_EQ(RtuCmdUtility::readDiagnoseKey(it, names), 20);
    EXPECT_EQ(names[19], "dv19");
    EXPECT_FLOAT_EQ(RtuCmdUtility::readDiagnosis_key(it, master_, "dv7"), 7.5f);
    EXPECT_TRUE(std::isnan(RtuCmdUtility::readDiagnosis_key(it, master_, "missing")));
}

TEST_F(ProbeReadTest, CleanlinessIndex) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = item(0, *ph_, 10, "pH");
    bus_.setFloat(10, 45001, 87.9f, SimFloatOrder::CDAB);
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(it, master_), 87);
    bus_.setFloat(10, 45001, 130.0f, SimFloatOrder::CDAB);
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(it, master_), 100);
    bus_.setFloat(10, 45001, std::nanf(""), SimFloatOrder::CDAB);
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(it, master_), -1);
    auto& noDiag = item(1, *cond_, 20, "Conductivity");
    auto noClean = sensors_test::parseMeta(R"({"PN": 3, "Diagnosis": [{"Name": "other", "RegAddress": 1, "RegType": "float"}]})");
    noDiag.probeMeta = noClean.get();
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(noDiag, master_), -1);

    // The four-value formula of part number 50661.
    auto mv = sensors_test::parseMeta(R"({"PN": 50661, "DataFmt": "ABCD", "Diagnosis": [
        {"Name": "q812", "RegAddress": 1, "RegType": "float"}, {"Name": "q812DI", "RegAddress": 3, "RegType": "float"},
        {"Name": "r574", "RegAddress": 5, "RegType": "float"}, {"Name": "r574DI", "RegAddress": 7, "RegType": "float"},
        {"Name": "CLEANLINESS", "RegAddress": 9, "RegType": "float"}]})");
    orvane::test::SimProbeValues v;
    v.diagnosis = {{"q812", 0.8f}, {"q812DI", 1.0f}, {"r574", 3.0f}, {"r574DI", 2.0f}};
    orvane::test::addSimProbe(bus_, 40, *mv, v);
    auto& m = item(2, *mv, 40, "x");
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(m, master_), 83);  // (0.8 + 0.5*0.075)*100 = 83.75
    bus_.setFloat(40, 3, 0.0f, SimFloatOrder::ABCD);  // zero denominator
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(m, master_), -1);
    bus_.setFloat(40, 3, 1.0f, SimFloatOrder::ABCD);
    bus_.setFloat(40, 7, 0.0f, SimFloatOrder::ABCD);
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex(m, master_), -1);
    (*items_)[3].probeMeta = &probeMetaNone();
    EXPECT_EQ(RtuCmdUtility::getCleanlinessIndex((*items_)[3], master_), -1);
}

TEST_F(ProbeReadTest, PingAndCalibrationLookup) {
    orvane::test::addSimProbe(bus_, 10, *ph_);
    auto& it = item(0, *ph_, 10, "pH");
    auto before = live_->items[0];
    EXPECT_TRUE(RtuCmdUtility::ping(it, master_));
    EXPECT_EQ(live_->items[0].status, before.status);  // nothing stored
    auto& wrong = item(1, *ph_, 10, "Nitrate");
    EXPECT_FALSE(RtuCmdUtility::ping(wrong, master_));
    const CalibrationItem* cal = RtuCmdUtility::findCalbrateItemByName(it, "pH 7.00");
    ASSERT_NE(cal, nullptr);
    EXPECT_EQ(cal->Cmds[1].SetValue, 2);
    EXPECT_EQ(RtuCmdUtility::findCalbrateItemByName(it, "pH 9"), nullptr);
}

}  // namespace
