#include "system/system.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include "database/database.h"
#include "env/env_guard.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/gpio.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

using orvane::platform::Clock;
using orvane::platform::CommandRunner;
using orvane::platform::Paths;

namespace {

// One echo request with a bounded wait, output discarded.
constexpr const char* kNetworkCheck = "ping -c 1 -W 2 8.8.8.8 > /dev/null 2>&1";
constexpr const char* kIptables = "/usr/sbin/iptables";
constexpr const char* kFirewallChain = "OV_FW_FORWARD";
constexpr const char* kWifiApScript = "/usr/bin/ifup_wifi_ap";
constexpr const char* kWifiStaScript = "/usr/bin/ifup_wifi_sta";
constexpr int kLedLines[] = {11, 13, 15, 130, 131, 132};

std::string saveRulesCommand() {
    return "/usr/sbin/iptables-save > " + Paths::system("etc/iptables/iptables.rules");
}

std::string removeForwardingCommand() {
    return "/bin/bash " + Paths::install("script/removePortForwarding.sh");
}

// The integer in kB after "key" in a /proc/meminfo text; false when absent.
bool meminfoValue(const std::string& text, std::string_view key, uint64_t& out) {
    size_t p = text.find(key);
    if (p == std::string::npos) return false;
    p += key.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    auto r = std::from_chars(text.data() + p, text.data() + text.size(), out);
    return r.ec == std::errc();
}

bool hasControl(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

std::string interfaceName(int16_t code, const std::string& cellular, bool forwarding) {
    switch (code) {
        case 2: return "eth0";
        case 3: return "wlan0";
        case 4: return forwarding ? cellular : "eth1";
        default: return cellular;
    }
}

}  // namespace

// ---- free helpers -----------------------------------------------------------------------------

int runIptables(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.emplace_back(kIptables);
    argv.insert(argv.end(), args.begin(), args.end());
    return Utility::runCommandNoShell(argv);
}

bool isNetworkAvailable() { return CommandRunner::get().shell(kNetworkCheck) == 0; }

double parseHwVer(const std::string& hwVer) {
    double v = 0;
    const char* b = hwVer.data();
    const char* e = b + hwVer.size();
    auto r = std::from_chars(b, e, v);
    if (r.ec == std::errc() && r.ptr == e && std::isfinite(v)) return v;
    static std::mutex m;
    static std::set<std::string> warned;
    bool first;
    {
        std::lock_guard lock(m);
        first = warned.insert(hwVer).second;
    }
    if (first) SLOG_WARN(SYS, "Invalid hardware version '{}', assuming cellular interface", hwVer);
    return 1e9;
}

std::string cellularInterfaceFor(const std::string& hwVer, const std::string& modemInterface) {
    return parseHwVer(hwVer) <= 2.5 ? std::string("ppp0") : modemInterface;
}

// ---- System -----------------------------------------------------------------------------------

System::System(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env) : System(recipe, live, env, Options{}) {}

System::System(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, Options options)
    : recipe_(recipe), live_(live), env_(env), opt_(options) {
    if (!opt_.dbDiskPath) opt_.dbDiskPath = [] { return ::dbDiskPath(); };
}

int System::init() {
    using orvane::platform::SysfsGpio;
    using R = SysfsGpio::Result;
    // Each number is exported in a write of its own: a line that is already exported (EBUSY)
    // is fine, and one failure stops neither the other numbers nor the directions.
    int failures = 0;
    for (int n : kLedLines) {
        switch (SysfsGpio::exportLine(n)) {
            case R::Ok:
            case R::ExportBusy: break;
            case R::ExportOpen: ++failures; SLOG_WARN(SYS, "Unable to open /sys/class/gpio/export"); break;
            default: ++failures; SLOG_WARN(SYS, "Error writing {} to /sys/class/gpio/export", n); break;
        }
    }
    for (int n : kLedLines) {
        switch (SysfsGpio::setDirection(n, SysfsGpio::Direction::Out)) {
            case R::Ok: break;
            case R::DirectionOpen: ++failures; SLOG_WARN(SYS, "Unable to open gpio direction"); break;
            default: ++failures; SLOG_WARN(SYS, "Unable to set gpio to output"); break;
        }
    }
    return failures == 0 ? 0 : -1;
}

bool System::pause(std::chrono::milliseconds d) {
    return orvane::platform::sleepUnlessStopped(d, opt_.slice, stopping_);
}

void System::stop() {
    stopping_.store(true);
    stopper_.stop();
}

void System::startLoop() {
    while (runOnce()) {
        if (!pause(std::chrono::seconds(1))) break;
    }
}

bool System::runOnce() {
    if (stopping_.load()) return false;
    // 1..6: the settings announced since the last pass, in this order.
    if (recipe_.checkAndConsume(SCADA_MASK_SAVE)) recipe_.saveToJson();
    if (recipe_.checkAndConsume(SCADA_MASK_PORT_FORWARDING)) updatePortForwarding();
    if (recipe_.checkAndConsume(SCADA_MASK_FIREWALL)) updateFirewall();
    if (recipe_.checkAndConsume(SCADA_MASK_RESTART)) {
        if (!pause(std::chrono::seconds(2))) return false;
        reloadSoftware();
    }
    if (recipe_.checkAndConsume(SCADA_MASK_REBOOT)) {
        if (!pause(std::chrono::seconds(2))) return false;
        rebootSystem();
    }
    if (recipe_.checkAndConsume(SCADA_MASK_WIFI)) {
        if (!pause(std::chrono::seconds(2))) return false;
        updateWifi();
    } else {
        updateWifiIP();
    }

    // 7: health, on the first pass and then every tenth.
    if (++healthCounter_ > 9) {
        if (recipe_.checkAndConsume(0x1)) {
            std::lock_guard lock(recipe_.mutex);
            system_ = recipe_.recipe.system;
        }
        updateLive();
        if (stopping_.load()) return false;
        publishHealth();
        healthCounter_ = 0;
    }

    // 8: network check, on the first pass and then every 60th.
    if (++networkCounter_ >= 60) {
        health_.Connected = CommandRunner::get().shell(kNetworkCheck) == 0;
        publishHealth();
        networkCounter_ = 0;
        if (!health_.Connected) clearLteConnection();
    }

    // 9: LEDs.
    setRunLed(SYS_ERROR_NONE);
    return !stopping_.load();
}

void System::publishHealth() {
    std::lock_guard lock(live_.mutex());
    auto& live = live_.data().system;
    // Register 1071 lives in the same block and belongs to the Modbus server.
    const uint16_t hmi = live.HMICommand;
    live = health_;
    live.HMICommand = hmi;
    published_.store(true);
}

void System::clearLteConnection() {
    std::lock_guard lock(live_.mutex());
    auto& lte = live_.data().lte;
    lte.carrier.clear();
    lte.ip.clear();
    lte.gateway.clear();
}

void System::setRunLed(SYS_ERROR_CODE code) {
    error_ = code;
    if (code != SYS_ERROR_NONE) return;
    HardwareUtils::setGPIOValue(11, 1);
    HardwareUtils::setGPIOValue(13, 1);
    HardwareUtils::setGPIOValue(15, ledPhase_ ? 1 : 0);
    ledPhase_ = ledPhase_ ? 0 : 1;
}

void System::reloadSoftware() {
    static constexpr const char* kServices[] = {"orvane-system", "orvane-lte", "orvane-scada"};
    auto& runner = CommandRunner::get();
    for (const char* s : kServices) {
        if (runner.shell(std::string("systemctl restart ") + s) == -1) SLOG_WARN(WEB, "Fail to restart {}", s);
    }
}

void System::rebootSystem() {
    if (CommandRunner::get().shell("reboot") == -1) SLOG_WARN(SYS, "Fail to execute reboot");
}

// ---- health figures ---------------------------------------------------------------------------

void System::updateLive() {
    auto mem = readMemoryData();
    health_.MemUsage = mem.first;
    health_.MemUsed = static_cast<uint32_t>(mem.second);
    auto root = readDiskData("/");
    health_.DiskUsage = root.first;
    health_.DiskUsed = static_cast<uint32_t>(root.second);
    const std::string dbPath = opt_.dbDiskPath();
    if (dbPath == "/") {
        health_.DbDiskUsage = root.first;
        health_.DbDiskUsed = static_cast<uint32_t>(root.second);
    } else {
        auto db = readDiskData(dbPath);
        health_.DbDiskUsage = db.first;
        health_.DbDiskUsed = static_cast<uint32_t>(db.second);
    }
    health_.CpuUsage = getCpuUsageAverage();
    health_.Temperature = getCpuTemperature();
    health_.timestamp.assign(
        TimeUtility::getTimeString(static_cast<unsigned>(TimeUtility::getTimestampInSec()), system_.timezone));
    health_.Uptime = getSysUptime();
}

std::pair<float, int32_t> System::readMemoryData() {
    const std::string text = Utility::readConfigFile(Paths::procfs("meminfo"));
    uint64_t total = 0, avail = 0;
    if (!meminfoValue(text, "MemTotal:", total) || !meminfoValue(text, "MemAvailable:", avail) || total == 0)
        return {0.0f, 0};
    SLOG_INFO(SYS, "Free memory: {}, total memory: {}", avail, total);
    const uint64_t used = total > avail ? total - avail : 0;
    return {static_cast<float>(static_cast<double>(used) / static_cast<double>(total) * 100.0),
            static_cast<int32_t>(used / 1024)};
}

std::pair<float, int32_t> System::readDiskData(const std::string& path) {
    struct statvfs st {};
    if (opt_.statvfsFn(path.c_str(), &st) != 0) {
        SLOG_WARN(SYS, "Failed to get disk data for path: {}", path);
        return {0.0f, 0};
    }
    const uint64_t freeBytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    const uint64_t totalBytes = static_cast<uint64_t>(st.f_blocks) * static_cast<uint64_t>(st.f_frsize);
    SLOG_INFO(SYS, "Free disk: {}, total disk: {}", freeBytes, totalBytes);
    if (totalBytes == 0) return {0.0f, 0};
    const uint64_t used = totalBytes > freeBytes ? totalBytes - freeBytes : 0;
    return {static_cast<float>(static_cast<double>(used) / static_cast<double>(totalBytes) * 100.0),
            static_cast<int32_t>(used / 1048576u)};
}

float System::getCpuUsage(uint64_t& idle, uint64_t& total) {
    idle = total = 0;
    std::ifstream in(Paths::procfs("stat"));
    std::string label;
    uint64_t v[10] = {};
    if (!(in >> label)) return 0.0f;
    for (auto& x : v)
        if (!(in >> x)) break;
    // user nice system idle iowait irq softirq steal (guest and guest_nice are already in user).
    idle = v[3] + v[4];
    total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
    SLOG_INFO(SYS, "idel: {}, total: {}", idle, total);
    if (total == 0) return 0.0f;
    return static_cast<float>(100.0 - static_cast<double>(idle) * 100.0 / static_cast<double>(total));
}

float System::getCpuUsageAverage() {
    uint64_t idle1 = 0, total1 = 0, idle2 = 0, total2 = 0;
    getCpuUsage(idle1, total1);
    pause(std::chrono::seconds(1));
    getCpuUsage(idle2, total2);
    if (total2 <= total1) return 0.0f;
    const uint64_t dIdle = idle2 > idle1 ? idle2 - idle1 : 0;
    double result = 100.0 - static_cast<double>(dIdle) * 100.0 / static_cast<double>(total2 - total1);
    if (result < 0) result = 0;
    SLOG_INFO(SYS, "Result: {}", result);
    return static_cast<float>(result);
}

uint32_t System::getSysUptime() {
    std::ifstream in(Paths::procfs("uptime"));
    double up = 0;
    if (!(in >> up) || !(up >= 0) || up > 4294967295.0) return 0;
    return static_cast<uint32_t>(up);
}

float System::getCpuTemperature() {
    std::ifstream in(Paths::sysfs("class/thermal/thermal_zone0/temp"));
    float milli = 0;
    if (!(in >> milli) || !std::isfinite(milli)) return 0.0f;
    return milli / 1000.0f;
}

// ---- firewall, port forwarding, Wi-Fi ---------------------------------------------------------

std::string System::cellularInterface() {
    std::string hw;
    {
        std::lock_guard lock(recipe_.mutex);
        hw = recipe_.recipe.system.hwVer.str();
    }
    return cellularInterfaceFor(hw, env_.cellularInterface.get());
}

void System::updateFirewall() {
    auto rules = std::make_unique<std::array<FirewallRuleItem, kFirewallRuleCount>>();
    {
        std::lock_guard lock(recipe_.mutex);
        *rules = recipe_.recipe.firewall;
    }
    const std::string cell = cellularInterface();
    auto run = [](const std::vector<std::string>& args, const char* failure) {
        int rc = runIptables(args);
        if (rc != 0 && failure) SLOG_WARN(SYS, "{}", failure);
        return rc;
    };
    run({"-F", "INPUT"}, "Fail to flush firewall INPUT chain");
    run({"-F", "OUTPUT"}, "Fail to flush firewall OUTPUT chain");
    if (runIptables({"-S", kFirewallChain}) != 0 && runIptables({"-N", kFirewallChain}) != 0)
        SLOG_WARN(SYS, "Fail to create firewall chain {}", kFirewallChain);
    if (runIptables({"-C", "FORWARD", "-j", kFirewallChain}) != 0 &&
        runIptables({"-A", "FORWARD", "-j", kFirewallChain}) != 0)
        SLOG_WARN(SYS, "Fail to hook {} into FORWARD chain", kFirewallChain);
    if (runIptables({"-F", kFirewallChain}) != 0) SLOG_WARN(SYS, "Fail to flush firewall chain {}", kFirewallChain);

    for (const auto& r : *rules) {
        if (!r.enable) continue;
        std::vector<std::string> a;
        switch (r.type) {
            case 1: a = {"-I", "INPUT", "-i", interfaceName(r.srcIntf, cell, false)}; break;
            case 2: a = {"-I", "OUTPUT", "-o", interfaceName(r.srcIntf, cell, false)}; break;
            case 3:
                a = {"-I", kFirewallChain, "-i", interfaceName(r.srcIntf, cell, false), "-o",
                     interfaceName(r.destIntf, cell, false)};
                break;
            default: SLOG_WARN(SYS, "Unknown firewall type {}", r.type); continue;
        }
        if (r.protocol != 4) {
            a.emplace_back("-p");
            a.emplace_back(r.protocol == 2 ? "udp" : r.protocol == 3 ? "icmp" : "tcp");
        }
        if (r.protocol == 1 || r.protocol == 2) {
            a.emplace_back("--dport");
            a.emplace_back(std::to_string(r.port));
        }
        if (r.sourceType == 2) {
            if (!isDottedIPv4(r.source.view())) {
                SLOG_WARN(SYS, "Skip firewall rule with invalid source IP: {}", r.source.view());
                continue;
            }
            a.emplace_back("-s");
            a.emplace_back(r.source.str());
        }
        if (r.destType == 2) {
            if (!isDottedIPv4(r.destination.view())) {
                SLOG_WARN(SYS, "Skip firewall rule with invalid destination IP: {}", r.destination.view());
                continue;
            }
            a.emplace_back("-d");
            a.emplace_back(r.destination.str());
        }
        a.emplace_back("-j");
        a.emplace_back(r.permission == 1 ? "ACCEPT" : "DROP");
        if (runIptables(a) != 0) SLOG_WARN(SYS, "Fail to apply firewall rule (type {}, port {})", r.type, r.port);
    }
    if (CommandRunner::get().shell(saveRulesCommand()) == -1) SLOG_WARN(SYS, "Fail to save firewall rules");
}

void System::updatePortForwarding() {
    auto table = std::make_unique<std::array<PortForwardingItem, kPortForwardingCount>>();
    {
        std::lock_guard lock(recipe_.mutex);
        *table = recipe_.recipe.portForwarding;
    }
    const std::string cell = cellularInterface();
    auto& runner = CommandRunner::get();
    if (runner.shell(removeForwardingCommand()) == -1) SLOG_WARN(SYS, "Fail to remove existing port forwarding rules");

    bool saved = false;
    for (const auto& e : *table) {
        if (!e.enable) continue;
        const std::string ext = interfaceName(e.externalIntf, cell, true);
        if (!isDottedIPv4(e.internalIP.view())) {
            SLOG_WARN(SYS, "Skip port forwarding rule with invalid internal IP: {}", e.internalIP.view());
            continue;
        }
        const std::string ip = e.internalIP.str();
        const std::string extPort = std::to_string(e.externalPort);
        const std::string inPort = std::to_string(e.internalPort);
        const std::string dest = ip + ":" + inPort;
        auto run = [](const std::vector<std::string>& args, const char* failure) {
            if (runIptables(args) != 0) SLOG_WARN(SYS, "{}", failure);
        };
        run({"-t", "nat", "-A", "PREROUTING", "-i", ext, "-p", "tcp", "--dport", extPort, "-j", "DNAT",
             "--to-destination", dest},
            "Fail to apply PREROUTING port forwarding rule");
        run({"-t", "nat", "-A", "POSTROUTING", "-d", ip, "-p", "tcp", "--dport", inPort, "-j", "MASQUERADE"},
            "Fail to apply POSTROUTING port forwarding rule");
        run({"-A", "FORWARD", "-i", ext, "-o", "eth1", "-p", "tcp", "--dport", inPort, "-d", ip, "-m", "state",
             "--state", "NEW,ESTABLISHED,RELATED", "-j", "ACCEPT"},
            "Fail to apply FORWARD allow rule (new/established)");
        run({"-A", "FORWARD", "-i", "eth1", "-o", ext, "-p", "tcp", "--sport", inPort, "-s", ip, "-m", "state",
             "--state", "ESTABLISHED,RELATED", "-j", "ACCEPT"},
            "Fail to apply FORWARD allow rule (established/related)");
        if (e.externalIntf == 1)
            run({"-t", "nat", "-A", "OUTPUT", "-p", "tcp", "--dport", extPort, "-j", "DNAT", "--to-destination", dest},
                "Fail to apply OUTPUT port forwarding rule");
        if (runner.shell(saveRulesCommand()) == -1) SLOG_WARN(SYS, "Fail to save port forwarding rules");
        saved = true;
    }
    // With no rule left the saved set must lose the removed ones too, or they return at boot.
    if (!saved && runner.shell(saveRulesCommand()) == -1) SLOG_WARN(SYS, "Fail to save port forwarding rules");
}

void System::stopWifiServices() {
    static constexpr const char* kStops[] = {"killall udhcpc", "killall wpa_supplicant", "killall hostapd",
                                             "killall udhcpd"};
    for (const char* c : kStops)
        if (CommandRunner::get().shell(c) == -1) SLOG_WARN(WEB, "Fail to execute {}", c);
}

void System::updateWifi() {
    WifiRecipeData w;
    {
        std::lock_guard lock(recipe_.mutex);
        w = recipe_.recipe.wifi;
    }
    // A value that would end a line of hostapd.conf or pose as an option of a device script is
    // refused whole.
    auto unsafe = [](std::string_view v) { return hasControl(v) || (!v.empty() && v.front() == '-'); };
    if (w.mode == 1) {
        if (hasControl(w.ssid.view()) || hasControl(w.key.view()) || unsafe(w.ipaddr.view())) {
            SLOG_WARN(WEB, "Refused Wi-Fi access point settings: invalid characters");
            return;
        }
        const std::string path = Paths::system("etc/hostapd.conf");
        if (Utility::exists(path)) {
            std::string text = Utility::readConfigFile(path);
            Utility::updateConfig(text, "ssid", w.ssid.str(), false);
            Utility::updateConfig(text, "wpa_passphrase", w.key.str(), false);
            Utility::writeConfigFile(path, text);
        } else {
            SLOG_WARN(WEB, "Missing {}", path);
        }
        if (w.enable) {
            SLOG_INFO(WEB, "Start WiFi AP mode");
            if (Utility::runCommandNoShell({kWifiApScript, "-ip", w.ipaddr.str()}) != 0)
                SLOG_WARN(WEB, "Fail to execute AP mode command");
        } else {
            stopWifiServices();
        }
    } else if (w.mode == 2) {
        if (!w.enable) {
            stopWifiServices();
            return;
        }
        if (unsafe(w.ssidStation.view()) || unsafe(w.keyStation.view())) {
            SLOG_WARN(WEB, "Refused Wi-Fi station settings: invalid characters");
            return;
        }
        SLOG_INFO(WEB, "Start WiFi station mode for SSID {}", w.ssidStation.view());
        if (Utility::runCommandNoShell({kWifiStaScript, "-ssid", w.ssidStation.str(), "-passwd", w.keyStation.str()}) == 0)
            pause(std::chrono::seconds(2));
        else
            SLOG_WARN(WEB, "Fail to exectue");
    }
}

void System::updateWifiIP() {
    int16_t mode;
    bool enable;
    {
        std::lock_guard lock(recipe_.mutex);
        mode = recipe_.recipe.wifi.mode;
        enable = recipe_.recipe.wifi.enable;
    }
    if (mode != 2 || !enable) return;
    const std::string ip = HardwareUtils::getIPAddr("wlan0");
    const std::string gw = HardwareUtils::getGWAddr("wlan0");
    std::lock_guard lock(recipe_.mutex);
    recipe_.recipe.wifi.ipaddrStation.assign(ip);
    recipe_.recipe.wifi.gatewayStation.assign(gw);
}
