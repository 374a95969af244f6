// Device manager (commands recorded instead of run), LTE supervisor against a scripted modem, data usage.
#include <gtest/gtest.h>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "cellular/cellular.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/gpio.h"
#include "recipe/recipe_guard.h"
#include "support/modem_sim.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "system/system.h"
#include "utils/log.h"

using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::writeFile;

namespace {

const int kGpios[] = {11, 13, 15, 130, 131, 132};

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::platform::Clock::setForTest(&clock), orvane::platform::CommandRunner::setForTest(&runner);
        setenv("TZ", "UTC", 1), tzset();
        std::filesystem::create_directories(dir.file("sys-root/dev"));
        counters(1000, 500);
        for (int n : kGpios) writeFile(gpio(n, "value"), "0"), writeFile(gpio(n, "direction"), "in");
        for (auto [file, text] : {std::pair{"sysfs/class/gpio/export", ""}, {"procfs/uptime", "12345.67 999.0\n"},
                                  {"procfs/meminfo", "MemTotal:        2048000 kB\nMemFree:  10 kB\nMemAvailable:    1024000 kB\n"},
                                  {"procfs/stat", "cpu  100 0 100 700 100 0 0 0 50 0\ncpu0 1 2 3\n"},
                                  {"sysfs/class/thermal/thermal_zone0/temp", "48500\n"}})
            writeFile(dir.file(file), text);
    }
    void TearDown() override {
        orvane::platform::SysfsGpio::setWriteFaultForTest(nullptr);
        orvane::platform::CommandRunner::setForTest(nullptr), orvane::platform::Clock::setForTest(nullptr);
    }
    std::string gpio(int n, const char* f) { return dir.file("sysfs/class/gpio/gpio" + std::to_string(n) + "/" + f); }
    std::unique_ptr<System> make(System::Options o = {}) {
        if (!o.dbDiskPath) o.dbDiskPath = [] { return std::string("/"); };
        return std::make_unique<System>(recipe, live, env, o);
    }
    std::unique_ptr<Cellular> modemOn(const char* port = "dev/ttyUSB2") {
        EXPECT_TRUE(modem.ok());
        std::filesystem::create_symlink(modem.devicePath(), dir.file(std::string("sys-root/") + port));
        return std::make_unique<Cellular>(recipe, live, env, Cellular::Options{.readTimeout = std::chrono::milliseconds(3000)});
    }
    void counters(uint64_t rx, uint64_t tx) {
        writeFile(dir.file("procfs/net/dev"), "Inter-|   Receive |  Transmit\n face |bytes packets|bytes\n"
                                              "    lo: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n  wwan0: " + std::to_string(rx) +
                                                  " 5 0 0 0 0 0 0 " + std::to_string(tx) + " 6 0 0 0 0 0 0\n");
    }
    static int64_t utc(int y, int m, int d) { return std::chrono::sys_days(std::chrono::year(y) / m / d).time_since_epoch().count() * 86400 + 43200; }
    std::vector<std::string> iptablesCalls() {
        std::vector<std::string> out;
        for (auto& l : runner.lines())
            if (l.rfind("/usr/sbin/iptables ", 0) == 0) out.push_back(l.substr(19));
        return out;
    }

    orvane::test::TempDir dir{"orvane-system"};
    orvane::test::ScopedRoots roots{dir.path()};
    orvane::platform::SimulatedClock clock;
    RecordingCommandRunner runner;
    orvane::test::ModemSim modem;
    EnvGuard env{[] { EnvGuard::Options o; o.bcryptCost = 4; return o; }()};
    RecipeDataGuard recipe;
    LiveDataGuard live{&recipe};
};

FirewallRuleItem rule(int16_t type, int16_t protocol, int32_t port, const char* src = "10.0.0.1") {
    FirewallRuleItem r;
    r.enable = true, r.type = type, r.protocol = protocol, r.port = port;
    r.srcIntf = 2, r.destIntf = 4, r.sourceType = 2, r.source = src, r.destType = 0;
    return r;
}

using CellularTest = SystemTest;

}  // namespace

TEST_F(SystemTest, FirewallRulesInReverseTableOrderChainOnce) {
    auto& fw = recipe.recipe.firewall;
    for (auto& r : fw) r.enable = false;
    fw[0] = rule(1, 1, 80);               // tcp input
    fw[1] = rule(1, 2, 53);               // udp input: inserted above the first
    fw[2] = rule(2, 3, 0);                // icmp output: no --dport
    fw[3] = rule(3, 4, 0);                // any forward: no -p, no --dport
    fw[3].destType = 2, fw[3].destination = "192.168.0.20", fw[3].permission = 0;
    fw[4] = rule(1, 1, 22, "10.0.0.256"); // invalid source: skipped
    fw[5] = rule(9, 1, 1);                // unknown type: skipped
    runner.setScript([](const RecordingCommandRunner::Call& c) {  // the chain and the jump do not exist yet
        const bool missing = c.line.find(" -S OV_FW_FORWARD") != std::string::npos || c.line.find(" -C FORWARD") != std::string::npos;
        return RecordingCommandRunner::Result{missing, {}};
    });
    make()->updateFirewall();
    EXPECT_EQ(iptablesCalls(), (std::vector<std::string>{
        "-F INPUT", "-F OUTPUT", "-S OV_FW_FORWARD", "-N OV_FW_FORWARD", "-C FORWARD -j OV_FW_FORWARD",
        "-A FORWARD -j OV_FW_FORWARD", "-F OV_FW_FORWARD", "-I INPUT -i eth0 -p tcp --dport 80 -s 10.0.0.1 -j ACCEPT",
        "-I INPUT -i eth0 -p udp --dport 53 -s 10.0.0.1 -j ACCEPT", "-I OUTPUT -o eth0 -p icmp -s 10.0.0.1 -j ACCEPT",
        "-I OV_FW_FORWARD -i eth0 -o eth1 -s 10.0.0.1 -d 192.168.0.20 -j DROP"}));
    EXPECT_EQ(runner.lines().back(), "/usr/sbin/iptables-save > " + dir.path() + "/sys-root/etc/iptables/iptables.rules");
    runner.clear(), runner.setScript(nullptr);  // a second pass finds the chain and the jump in place
    make()->updateFirewall();
    auto calls = iptablesCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "-N OV_FW_FORWARD") + std::count(calls.begin(), calls.end(), "-A FORWARD -j OV_FW_FORWARD"), 0);
}

TEST_F(SystemTest, PortForwardingCallsAndSaves) {
    env.cellularInterface.set("wwan0");
    auto& pf = recipe.recipe.portForwarding;
    for (auto& e : pf) e.enable = false;
    pf[0].enable = true, pf[0].externalIntf = 1, pf[0].externalPort = 8080, pf[0].internalPort = 80, pf[0].internalIP = "192.168.0.10";
    pf[1] = pf[0], pf[1].internalIP = "192.168.0";  // invalid address: skipped
    make()->updatePortForwarding();
    const auto lines = runner.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "/bin/bash " + dir.path() + "/script/removePortForwarding.sh");
    EXPECT_EQ(iptablesCalls(), (std::vector<std::string>{
        "-t nat -A PREROUTING -i wwan0 -p tcp --dport 8080 -j DNAT --to-destination 192.168.0.10:80",
        "-t nat -A POSTROUTING -d 192.168.0.10 -p tcp --dport 80 -j MASQUERADE",
        "-A FORWARD -i wwan0 -o eth1 -p tcp --dport 80 -d 192.168.0.10 -m state --state NEW,ESTABLISHED,RELATED -j ACCEPT",
        "-A FORWARD -i eth1 -o wwan0 -p tcp --sport 80 -s 192.168.0.10 -m state --state ESTABLISHED,RELATED -j ACCEPT",
        "-t nat -A OUTPUT -p tcp --dport 8080 -j DNAT --to-destination 192.168.0.10:80"}));
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.rfind("/usr/sbin/iptables-save", 0) == 0; }), 1);
    runner.clear();  // all entries disabled: the clean-up still reaches the saved rules
    for (auto& e : pf) e.enable = false;
    make()->updatePortForwarding();
    EXPECT_EQ(runner.lines().size(), 2u);
    EXPECT_EQ(runner.lines().back().rfind("/usr/sbin/iptables-save", 0), 0u);
}

TEST_F(SystemTest, WifiModesScriptsAndRefusals) {
    const std::string conf = dir.file("sys-root/etc/hostapd.conf");
    writeFile(conf, "interface=wlan0\nssid=old\n#wpa_passphrase=x\nchannel=6\n");
    const std::vector<std::string> off = {"killall udhcpc", "killall wpa_supplicant", "killall hostapd", "killall udhcpd"};
    const struct { int16_t mode; bool enable; const char *ssid, *ssidStation; std::vector<std::string> lines; const char* confAfter;
                   const char *ipaddr = "172.16.0.1", *keyStation = "lomba=7$"; } cases[] = {
        {1, true, "Plant AP", "s", {"/usr/bin/ifup_wifi_ap -ip 172.16.0.1"}, "interface=wlan0\nssid=Plant AP\nwpa_passphrase=tarn4826\nchannel=6\n"},
        {1, false, "Off AP", "s", off, "interface=wlan0\nssid=Off AP\nwpa_passphrase=tarn4826\nchannel=6\n"},
        {1, true, "bad\nssid=x", "s", {}, nullptr},  // a line break would add a key
        {2, true, "a", "Plant", {"/usr/bin/ifup_wifi_sta -ssid Plant -passwd lomba=7$"}, nullptr},
        {2, true, "a", "-flag", {}, nullptr},  // would pose as an option of the script
    };
    for (const auto& c : cases) {
        runner.clear();
        const std::string before = readFile(conf);
        auto& w = recipe.recipe.wifi;
        w.mode = c.mode, w.enable = c.enable, w.ssid = c.ssid, w.ssidStation = c.ssidStation, w.ipaddr = c.ipaddr, w.keyStation = c.keyStation;
        make()->updateWifi();
        EXPECT_EQ(runner.lines(), c.lines) << c.mode << " " << c.ssid << " " << c.ssidStation;
        EXPECT_EQ(readFile(conf), c.confAfter ? std::string(c.confAfter) : before) << c.ssid;
    }
}

// Disk figures from f_blocks x f_frsize in 64 bits; missing files and zero totals give zeros.
TEST_F(SystemTest, HealthFiguresFromTheFixtureTree) {
    System::Options o;
    o.statvfsFn = +[](const char*, struct statvfs* st) {  // 8 TiB, 3/4 used; bsize is not the unit of the counts
        *st = {};
        st->f_frsize = 4096, st->f_bsize = 1048576, st->f_blocks = 2147483648ull, st->f_bavail = 536870912ull;
        return 0;
    };
    auto sys = make(o);
    EXPECT_EQ(sys->readMemoryData(), (std::pair<float, int32_t>{50.0f, 1000}));
    EXPECT_EQ(sys->readDiskData("/"), (std::pair<float, int32_t>{75.0f, 6291456}));  // 6 TiB in MiB
    uint64_t idle = 0, total = 0;
    EXPECT_FLOAT_EQ(sys->getCpuUsage(idle, total), 20.0f);  // iowait counted once
    EXPECT_EQ(std::pair(idle, total), std::pair(uint64_t{800}, uint64_t{1000}));
    EXPECT_EQ(sys->getSysUptime(), 12345u);
    EXPECT_FLOAT_EQ(sys->getCpuTemperature(), 48.5f);
    for (const char* f : {"meminfo", "stat", "uptime"}) std::filesystem::remove(dir.file(std::string("procfs/") + f));
    EXPECT_EQ(sys->readMemoryData(), (std::pair<float, int32_t>{0.0f, 0}));
    EXPECT_FLOAT_EQ(sys->getCpuUsageAverage(), 0.0f);
    EXPECT_EQ(sys->getSysUptime(), 0u);
}

// A first pass applies forwarding, firewall, Wi-Fi, then pings; the health copy keeps register 1071.
TEST_F(SystemTest, PassOrderLedsAndRegister1071) {
    recipe.init();  // the start value of the change word
    {
        std::lock_guard lock(live.mutex());
        auto& d = live.data();
        d.system.HMICommand = 24, d.lte.carrier = "Carrier", d.lte.ip = "10.1.2.3", d.lte.gateway = "10.64.64.64", d.lte.lte_rssi = -70;
    }
    runner.setScript([](const RecordingCommandRunner::Call& c) {  // no network
        return RecordingCommandRunner::Result{c.line.rfind("ping ", 0) == 0 ? 1 : 0, {}};
    });
    auto sys = make();
    EXPECT_EQ(sys->init(), 0);
    ASSERT_TRUE(sys->runOnce());
    const auto lines = runner.lines();
    auto pos = [&](const std::string& prefix) {
        const auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
    };
    EXPECT_LT(pos("/bin/bash "), pos("/usr/sbin/iptables -F INPUT"));
    EXPECT_LT(pos("/usr/sbin/iptables -F INPUT"), pos("killall udhcpc"));
    EXPECT_LT(pos("killall udhcpc"), pos("ping "));
    EXPECT_EQ(pos("systemctl") + pos("reboot"), -2);
    EXPECT_EQ(readFile(gpio(15, "value")) + readFile(gpio(11, "value")), "01");
    {
        std::lock_guard lock(live.mutex());
        const auto& d = live.data();
        EXPECT_EQ(d.system.HMICommand, 24);
        EXPECT_TRUE(d.lte.carrier.empty() && d.lte.ip.empty() && d.lte.gateway.empty());  // a failed check clears only these
        EXPECT_EQ(d.lte.lte_rssi, -70);
    }
    runner.clear();
    recipe.triggerReload(SCADA_MASK_REBOOT | SCADA_MASK_RESTART | SCADA_MASK_FIREWALL);
    ASSERT_TRUE(sys->runOnce());
    const auto flagged = runner.lines();
    EXPECT_EQ(flagged.front(), "/usr/sbin/iptables -F INPUT");
    EXPECT_EQ(std::vector<std::string>(flagged.end() - 4, flagged.end()),
              (std::vector<std::string>{"systemctl restart orvane-system", "systemctl restart orvane-lte",
                                        "systemctl restart orvane-scada", "reboot"}));
}

// One export write per number and one direction per line whatever failed before; busy is success.
TEST_F(SystemTest, GpioExportOneWritePerNumberBusyIsSuccess) {
    const std::pair<std::vector<std::tuple<std::string, std::string, int>>, int> cases[] = {  // faults (file, text, errno), result
        {{{"export", "11", EBUSY}, {"export", "132", EBUSY}}, 0},
        {{{"export", "13", EIO}, {"export", "15", EBUSY}}, -1},
        {{{"gpio131/direction", "out", EINVAL}}, -1},
    };
    for (const auto& [faults, result] : cases) {
        std::vector<std::pair<std::string, std::string>> writes, want;
        orvane::platform::SysfsGpio::setWriteFaultForTest([&](const std::string& path, const std::string& text) {
            const std::string rel = path.substr(path.find("class/gpio/") + 11);
            writes.emplace_back(rel, text);
            for (const auto& [file, t, err] : faults)
                if (rel == file && text == t) return err;
            return 0;
        });
        for (int n : kGpios) writeFile(gpio(n, "direction"), "in");
        EXPECT_EQ(make()->init(), result);
        for (int n : kGpios) want.emplace_back("export", std::to_string(n));
        for (int n : kGpios) want.emplace_back("gpio" + std::to_string(n) + "/direction", "out");
        EXPECT_EQ(writes, want);
        for (int n : kGpios)
            EXPECT_EQ(readFile(gpio(n, "direction")), std::get<0>(faults[0]) == "gpio" + std::to_string(n) + "/direction" ? "" : "out") << n;
    }
}

TEST_F(CellularTest, IdentityIsReadIntoTheRecipeAndCommandsCarryAZeroByte) {
    recipe.recipe.system.hwVer = "2.5";  // old board: ttyUSB3, data through ppp0
    Cellular none(recipe, live, env);    // no port: reported, the descriptor never used
    EXPECT_EQ(none.init(), 0);
    EXPECT_EQ(std::pair(none.fd(), none.atCmdReadSignal()), std::pair(-1, -1));
    EXPECT_EQ(none.usage().interfaceName(), "ppp0");
    recipe.recipe.system.hwVer = "3.0";
    for (auto [cmd, reply] : {std::pair{"ATE0", ""}, {"AT+CGMI", "Quectel"}, {"AT+CGMM", "EG25GGB"},
                              {"AT+CGMR", "EG25GGBR07A08M2G"}, {"AT+CIMI", "460001357924680"},
                              {"AT+CCID", "+CCID: 89860012345678901234"}})
        modem.setReply(cmd, *reply ? std::string("\r\n") + reply + "\r\n\r\nOK\r\n" : "\r\nOK\r\n");
    auto c = modemOn();
    ASSERT_EQ(c->init(), 1);
    ASSERT_TRUE(c->readIdentity());
    const auto& id = recipe.recipe.lte;
    EXPECT_EQ((std::vector<std::string>{id.brand.c_str(), id.model.c_str(), id.version.c_str(), id.imsi.c_str(), id.iccid.c_str()}),
              (std::vector<std::string>{"Quectel", "EG25GGB", "EG25GGBR07A08M2G", "460001357924680", "89860012345678901234"}));
    EXPECT_EQ(env.cellularInterface.get(), "wwan0");
    const std::string sent = modem.received();
    EXPECT_EQ(sent.substr(0, 6), std::string("ATE0\r\0", 6));
    EXPECT_NE(sent.find(std::string("AT+CCID\r\0", 9)), std::string::npos);
}

TEST_F(CellularTest, ReplyParsingTableAndSilence) {
    auto c = modemOn();
    ASSERT_EQ(c->init(), 1);
    const struct { const char* reply; int rc; int16_t rssi, rsrp, sinr, rsrq; } signal[] = {
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
    EXPECT_EQ(readFile(gpio(130, "value")) + readFile(gpio(131, "value")) + readFile(gpio(132, "value")), "110");
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
    const struct { int64_t when; uint64_t rx, cycleRx, totalRx; bool newInterface = false; } steps[] = {
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
    DataUsageTracker u("wwan0", 1);  // loads back; a negative number stops the load
    EXPECT_TRUE(u.loadFromFile());
    EXPECT_EQ(std::pair(u.getSnapshot().totalRxBytes, u.getSnapshot().totalTxBytes), (std::pair<uint64_t, uint64_t>(1048576, 7)));
    writeFile(dir.file("data/data_usage.json"), "{\"cycleRxBytes\":-4}");
    EXPECT_FALSE(DataUsageTracker("wwan0", 1).loadFromFile());
}

// Rules applied at start on the default "wwan0" follow the interface the modem's model names later.
TEST_F(CellularTest, RulesFollowTheModemInterface) {
    modem.setReply("ATE0", "\r\nOK\r\n"), modem.setReply("AT+CGMM", "\r\nEC20F\r\n\r\nOK\r\n");
    auto& r = recipe.recipe;
    r.firewall[0] = rule(1, 1, 502), r.firewall[1] = rule(3, 4, 0);  // input and forward rules on the cellular side
    for (auto* fw : {&r.firewall[0], &r.firewall[1]}) fw->srcIntf = 1, fw->permission = 0;
    auto& f = r.portForwarding[0];
    f.enable = true, f.externalIntf = 1, f.externalPort = 8080, f.internalPort = 80, f.internalIP = "192.168.0.10";
    auto sys = make();
    ASSERT_TRUE(sys->runOnce());
    for (auto [hwVer, port, iface] : {std::tuple{"2.6", "dev/ttyUSB2", "usb0"}, {"2.5", "dev/ttyUSB3", "ppp0"}}) {
        r.system.hwVer = hwVer, env.cellularInterface.set("wwan0");
        auto cell = modemOn(port);
        ASSERT_TRUE(cell->init() == 1 && cell->atCmdReadCGMM() == 0);
        ASSERT_TRUE(sys->runOnce());
        const auto lines = runner.lines();  // left in the kernel: what follows the last removal of the forwarding
        const auto last = std::find_if(lines.rbegin(), lines.rend(), [](auto& l) { return l.find("removePortForwarding.sh") != l.npos; });
        for (const std::string name : {"wwan0", "usb0", "ppp0"})  // 2 firewall and 3 forwarding rules name it
            EXPECT_EQ(std::count_if(lines.rbegin(), last, [&](auto& l) { return l.find(name) != l.npos; }), name == iface ? 5 : 0) << hwVer << name;
    }
}

// The minute pass publishes signal, carrier, address, gateway and data usage; a failed wait on the port is logged and retried.
TEST_F(CellularTest, MinutePassCarrierTableAndFailedWait) {
    modem.setReply("ATE0", "\r\nOK\r\n"), modem.setReply("AT+QCSQ", "\r\n+QCSQ: \"LTE\",-65,-92,12,-11\r\n\r\nOK\r\n");
    auto c = modemOn();
    ASSERT_EQ(c->init(), 1);
    env.cellularInterface.set("lo");
    const struct { const char *hwVer, *qspn; int mb; const char* ip; } cases[] = {
        {"3.0", "\r\n+QSPN: \"CHN-UNICOM\",\"UNICOM\",\"\",0,\"46001\"\r\n\r\nOK\r\n", 0, "127.0.0.1"},
        {"3.0", "\r\nOK\r\n", 1, "127.0.0.1"},             // without a pair of quotes keeps the old carrier name
        {"2.5", "\r\n+QSPN: \"\",\"UNICOM\"\r\n", 3, ""},  // empty name: kept; ppp0
    };
    for (const auto& row : cases) {
        recipe.recipe.system.hwVer = row.hwVer, modem.setReply("AT+QSPN", row.qspn), counters(1000 + row.mb * 1048576ull, 0);
        { std::lock_guard lock(live.mutex()); live.data().lte = {}; }
        ASSERT_TRUE(c->pollOnce()) << row.qspn;
        std::lock_guard lock(live.mutex());
        const auto& l = live.data().lte;
        EXPECT_EQ(std::tuple(l.carrier.str(), l.ip.str(), l.gateway.str(), l.lte_rssi, l.lte_rsrq, l.dataUsageCycleRxMB, l.dataUsageTotalRxMB),
                  std::tuple("CHN-UNICOM", row.ip, "10.64.64.64", int16_t{-65}, int16_t{-11}, float(row.mb), float(row.mb))) << row.qspn;
    }
    static int failures = 2;
    const AtPollFn failing = [](pollfd* p, nfds_t n, int ms) { return failures-- > 0 ? (errno = ENOMEM, -1) : ::poll(p, n, ms); };
    const std::string reply = "\r\nMakerX\r\n\r\nOK\r\n";
    modem.setReply("AT+CGMI", reply);
    std::ostringstream log;
    const auto previous = spdlog::default_logger();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("modem", std::make_shared<spdlog::sinks::ostream_sink_mt>(log)));
    set_log_level_for_test(LogModule::CELLULAR, 3);
    const int n = atCmdProcess(c->fd(), "AT+CGMI\r", 9, std::chrono::milliseconds(3000), nullptr, failing);
    reset_log_levels_for_test(), spdlog::set_default_logger(previous);
    EXPECT_EQ(n, static_cast<int>(reply.size()));
    EXPECT_NE(log.str().find("Error read from cellular: 12, "), std::string::npos);
}
