// LTE modem supervisor against a scripted modem on a pseudo-terminal, and the data-usage accounting
// with its file.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "cellular/cellular.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "support/modem_sim.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using orvane::platform::Clock;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

class CellularTest : public ::testing::Test {
protected:
    void SetUp() override {
        Clock::setForTest(&clock), setenv("TZ", "UTC", 1), tzset();
        std::filesystem::create_directories(dir.file("sys-root/dev"));
        counters(1000, 500);
        for (int n : {130, 131, 132}) writeFile(led(n), "");
    }
    void TearDown() override { Clock::setForTest(nullptr); }

    std::unique_ptr<Cellular> make(const char* port = "dev/ttyUSB2") {
        std::filesystem::create_symlink(modem.devicePath(), dir.file(std::string("sys-root/") + port));
        return std::make_unique<Cellular>(recipe, live, env, Cellular::Options{.readTimeout = std::chrono::milliseconds(3000)});
    }
    std::string led(int n) { return dir.file("sysfs/class/gpio/gpio" + std::to_string(n) + "/value"); }
    void counters(uint64_t rx, uint64_t tx) {
        writeFile(dir.file("procfs/net/dev"), "Inter-|   Receive |  Transmit\n face |bytes packets|bytes\n    lo: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n"
                                              "  wwan0: " + std::to_string(rx) + " 5 0 0 0 0 0 0 " + std::to_string(tx) + " 6 0 0 0 0 0 0\n");
    }
    static int64_t utc(int y, int m, int d) {
        std::tm t{};
        t.tm_year = y - 1900, t.tm_mon = m - 1, t.tm_mday = d, t.tm_hour = 12;
        return timegm(&t);
    }

    orvane::test::TempDir dir{"orvane-cellular"};
    orvane::test::ScopedRoots roots{dir.path()};
    orvane::platform::SimulatedClock clock;
    orvane::test::ModemSim modem;
    EnvGuard env{[] { EnvGuard::Options o; o.bcryptCost = 4; return o; }()};
    RecipeDataGuard recipe;
    LiveDataGuard live{&recipe};
};

}  // namespace

TEST_F(CellularTest, IdentityIsReadIntoTheRecipeAndCommandsCarryAZeroByte) {
    Cellular none(recipe, live, env);  // no port: reported, the descriptor never used
    EXPECT_EQ(none.init(), 0);
    EXPECT_EQ(std::pair(none.fd(), none.atCmdReadSignal()), std::pair(-1, -1));
    ASSERT_TRUE(modem.ok());
    for (auto [cmd, reply] : {std::pair{"ATE0", ""}, {"AT+CGMI", "Quectel"}, {"AT+CGMM", "EG25GGB"},
                              {"AT+CGMR", "EG25GGBR07A08M2G"}, {"AT+CIMI", "460001357924680"},
                              {"AT+CCID", "+CCID: 89860012345678901234"}})
        modem.setReply(cmd, *reply ? std::string("\r\n") + reply + "\r\n\r\nOK\r\n" : "\r\nOK\r\n");
    auto c = make();
    ASSERT_EQ(c->init(), 1);
    ASSERT_TRUE(c->readIdentity());
    const auto& id = recipe.recipe.lte;
    EXPECT_EQ((std::vector<std::string>{id.brand.c_str(), id.model.c_str(), id.version.c_str(), id.imsi.c_str(), id.iccid.c_str()}),
              (std::vector<std::string>{"Quectel", "EG25GGB", "EG25GGBR07A08M2G", "460001357924680", "89860012345678901234"}));
    EXPECT_EQ(env.cellularInterface.get(), "wwan0");
    EXPECT_EQ(c->usage().interfaceName(), "wwan0");
    const std::string sent = modem.received();
    EXPECT_EQ(sent.substr(0, 6), std::string("ATE0\r\0", 6));
    EXPECT_NE(sent.find(std::string("AT+CCID\r\0", 9)), std::string::npos);
}

TEST_F(CellularTest, ReplyParsingTable) {
    ASSERT_TRUE(modem.ok());
    auto c = make();
    ASSERT_EQ(c->init(), 1);
    const struct {
        const char* reply;
        int rc;
        int16_t rssi, rsrp, sinr, rsrq;
    } signal[] = {
        {"\r\n+QCSQ: \"LTE\",-65,-92,127,-11\r\n\r\nOK\r\n", 0, -65, -92, 127, -11},
        {"\r\n+QCSQ: \"LTE\",-70,-95,100\r\n\r\nOK\r\n", -1, -70, -95, 100, -11},  // RSRQ kept
        {"\r\n+QCSQ: \"NOSERVICE\"\r\n", -1, -70, -95, 100, -11},                  // no comma
    };
    for (const auto& s : signal) {
        modem.setReply("AT+QCSQ", s.reply);
        EXPECT_EQ(c->atCmdReadSignal(), s.rc) << s.reply;
        const auto& l = c->lteRecord();
        EXPECT_EQ((std::array{l.lte_rssi, l.lte_rsrp, l.lte_sinr, l.lte_rsrq}), (std::array{s.rssi, s.rsrp, s.sinr, s.rsrq})) << s.reply;
    }
    // RSRP -95 dBm is level 15 of the LED scale: two LEDs.
    EXPECT_EQ(readFile(led(130)) + readFile(led(131)) + readFile(led(132)), "110");
    modem.setReply("AT+QSPN", "\r\n+QSPN: \"CMCC\",\"CMCC\",\"\",0,\"46000\"\r\n");
    c->atCmdReadCarrier();
    EXPECT_EQ(c->lteRecord().carrier, "CMCC");
    for (auto [reply, iccid] : {std::pair{"\r\n+CCID: 8986001234567890123F\r\n", "8986001234567890123F"},
                                {"\r\n+CCID: 12345\r\n", "Not available"},
                                {"\r\n+CCID: 89860012345678901234", "Not available"}}) {  // no line end: unchanged
        modem.setReply("AT+CCID", reply);
        c->atCmdReadICCID();
        EXPECT_EQ(c->identity().iccid, iccid) << reply;
    }
    modem.setReply("AT+CGMM", "\r\nEC20F\r\n");  // a model without "EG25" selects usb0
    c->atCmdReadCGMM();
    EXPECT_EQ(env.cellularInterface.get(), "usb0");
}

TEST_F(CellularTest, SilentModemAndOldBoardRevision) {
    recipe.recipe.system.hwVer = "2.5";
    auto c = make("dev/ttyUSB3");
    ASSERT_EQ(c->init(), 1);
    EXPECT_EQ(c->usage().interfaceName(), "ppp0");
    EXPECT_EQ(c->atCmdReadCGMI(), 0);  // no reply: the read gives up after its time-out, nothing stored
    EXPECT_EQ(c->identity().brand, "Quectel");
    c->getInterfaceInfo();
    EXPECT_EQ(c->lteRecord().gateway, "10.64.64.64");
}

TEST_F(CellularTest, BillingDayClampAndCycleMatrix) {
    EXPECT_EQ(DataUsageTracker("wwan0", -5).billingDay(), 1);
    EXPECT_EQ(DataUsageTracker("wwan0", 31).billingDay(), 28);
    DataUsageTracker t("wwan0", 15);
    clock.setWallSeconds(utc(2026, 3, 20));
    counters(0, 0);
    t.init();  // fresh: cycle 2026-03
    const struct {
        int64_t when;
        uint64_t rx, cycleRx, totalRx;
        bool newInterface = false;
    } steps[] = {
        {utc(2026, 3, 25), 100, 100, 100},
        {utc(2026, 4, 10), 200, 200, 200},  // before the billing day: same cycle
        {utc(2026, 4, 15), 300, 100, 300},  // billing day: new cycle, this sample counted in it
        {utc(2027, 1, 1), 350, 50, 350},    // new year: whatever the day
        {utc(2027, 1, 2), 10, 50, 350},     // counter reset: baseline only
        {utc(2027, 1, 3), 30, 70, 370},
        {utc(2026, 6, 1), 40, 80, 380},     // clock set back: no new cycle
        {utc(2026, 6, 1), 90, 80, 380, true},  // first sample after an interface change: baseline only
        {utc(2026, 6, 1), 140, 130, 430},
    };
    for (const auto& s : steps) {
        clock.setWallSeconds(s.when);
        counters(s.rx, 0);
        if (s.newInterface) t.setInterface("wwan0");
        t.update();
        EXPECT_EQ(t.getSnapshot().cycleRxBytes, s.cycleRx) << s.when;
        EXPECT_EQ(t.getSnapshot().totalRxBytes, s.totalRx) << s.when;
    }
}

TEST_F(CellularTest, FileBytesAndLoad) {
    DataUsageTracker t("wwan0", 1);
    clock.setWallSeconds(utc(2026, 5, 2));
    counters(1000, 2000);
    t.init();
    counters(1000 + 1048576, 2000 + 7);
    t.update();
    EXPECT_FLOAT_EQ(t.getSnapshot().cycleRxMB, 1.0f);
    EXPECT_EQ(readFile(dir.file("data/data_usage.json")),
              "{\n  \"cycleRxBytes\":1048576,\n  \"cycleTxBytes\":7,\n  \"totalRxBytes\":1048576,\n  \"totalTxBytes\":7,\n"
              "  \"cycleYear\":2026,\n  \"cycleMonth\":5,\n  \"lastUpdated\":" + std::to_string(utc(2026, 5, 2)) + "\n}\n");
    // Another order and extra white space load the same.
    writeFile(dir.file("data/data_usage.json"), "{ \"cycleYear\" :  2026, \"cycleMonth\":5,\n\"totalTxBytes\": 9, "
                                                "\"totalRxBytes\":8,\"cycleRxBytes\":1,\"cycleTxBytes\":2 }");
    DataUsageTracker u("wwan0", 1);
    EXPECT_TRUE(u.loadFromFile());
    EXPECT_EQ(std::pair(u.getSnapshot().totalRxBytes, u.getSnapshot().totalTxBytes), (std::pair<uint64_t, uint64_t>(8, 9)));
    // Year 0: no usable cycle, the totals stay; a bad number stops the load.
    writeFile(dir.file("data/data_usage.json"), "{\"totalRxBytes\":77,\"cycleYear\":0,\"cycleMonth\":3}");
    DataUsageTracker v("wwan0", 1);
    v.init();
    EXPECT_EQ(v.getSnapshot().totalRxBytes, 77u);
    writeFile(dir.file("data/data_usage.json"), "{\"cycleRxBytes\":-4}");
    EXPECT_FALSE(DataUsageTracker("wwan0", 1).loadFromFile());
}
