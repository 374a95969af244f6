// Management routes of the REST API: Ethernet, Wi-Fi and DHCP settings, date, ping, accounts,
// the system, cloud, cellular, Modbus RTU, firewall and forwarding sections, reboot and restart,
// and the firmware upgrade (order, status and release notes).
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "env/env_guard.h"
#include "orvane_ipc/orvane_ipc.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "platform/local_socket.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"
#include "webserver/rest_api.h"
#include "webserver/rest_bodies.h"

using orvane::platform::Clock;
using orvane::platform::CommandRunner;

namespace {

constexpr const char* kLanFile = "etc/systemd/network/10-eth1.network";
constexpr const char* kWanFile = "etc/systemd/network/10-eth0.network";
constexpr size_t kPingOutputMax = 8192;

template <class R>
RestHandled answerRecord(fss::stringHuge& out, const R& record) {
    RestAPI::_answer(out, [&](char* dst, int room) { return writeJsonP(record, dst, room, nullptr); });
    return RestHandled::Answered;
}

// A whole array of records: "[", one element per line one level deeper, "]".
template <class R, size_t N>
RestHandled answerArray(fss::stringHuge& out, const std::array<R, N>& items) {
    RestAPI::_answer(out, [&](char* dst, int room) {
        return writeArray(dst, room, static_cast<int>(N),
                          [&](int i, char* d, int r) { return writeJsonP(items[static_cast<size_t>(i)], d, r, nullptr); },
                          "\n]");
    });
    return RestHandled::Answered;
}

bool readWholeFile(const std::string& path, std::string& text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

// JSON escaping of the ping output: \t \n \r \" \\, other control bytes as \u00xx.
void appendEscaped(std::string& dst, std::string_view s) {
    for (unsigned char ch : s) {
        switch (ch) {
            case '\t': dst += "\\t"; break;
            case '\n': dst += "\\n"; break;
            case '\r': dst += "\\r"; break;
            case '"': dst += "\\\""; break;
            case '\\': dst += "\\\\"; break;
            default:
                if (ch < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", ch);
                    dst += buf;
                } else {
                    dst += static_cast<char>(ch);
                }
        }
    }
}

void compactAnswer(fss::stringHuge& out, RESPONSE_CODE code, std::string_view msg) {
    std::string text = "{\"code\":" + std::to_string(static_cast<int>(code)) + ",\"msg\":\"";
    appendEscaped(text, msg);
    text += "\"}";
    RestAPI::_answerText(out, text);
}

// The Wi-Fi record that "enable" false goes back to: the record's defaults but for the station
// network's name, which the web side resets to its own.
WifiRecipeData wifiReset() {
    WifiRecipeData wifi;
    wifi.ssidStation = "kelva_ap_alpha";
    return wifi;
}

constexpr int kPortMin = 1, kPortMax = 65535;

}  // namespace

// ---- netmask helpers ------------------------------------------------------------------------

int RestAPI::_get_mask_size(const std::string& netmask) {
    const in_addr_t addr = ::inet_addr(netmask.c_str());
    if (addr == 0) return 0;
    const uint32_t host = ntohl(addr);  // INADDR_NONE (unreadable) reads as 255.255.255.255
    int sum = 0;
    for (int k = 0; k < 4; ++k) {
        const unsigned octet = (host >> (24 - 8 * k)) & 0xffu;
        if (octet == 0) break;
        sum = static_cast<int>(sum + 8 - std::log2(256.0 - octet));
    }
    return sum;
}

std::string RestAPI::_get_mask_string(const std::string& prefixText) {
    int r = 0;
    try {
        r = std::stoi(prefixText);
    } catch (const std::exception& e) {
        static LogThrottles logs;  // the mask comes from a network file that every GET reads again
        SLOG_THROTTLED(logs, WEB, WARN, "Fail to convert {} to network mask. {}", prefixText, e.what());
        return {};
    }
    std::string mask;
    for (int k = 0; k < 4; ++k) {
        int octet = 0;
        if (r >= 8) {
            octet = 255;
            r -= 8;
        } else if (r > 0) {
            octet = 256 - (1 << (8 - r));
            r = 0;
        }
        if (k) mask += '.';
        mask += std::to_string(octet);
    }
    return mask;
}

// ---- Ethernet ---------------------------------------------------------------------------------

namespace {

struct NetworkFileValues {
    bool found = false;
    std::string dhcp, address, prefix, gateway, dns1, dns2;
    bool hasAddress = false, hasGateway = false, hasDns1 = false, hasDns2 = false;
};

NetworkFileValues readNetworkFile(const std::string& path) {
    NetworkFileValues v;
    std::string text;
    if (!readWholeFile(path, text)) return v;
    v.found = true;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || line[0] == '[') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "DHCP") {
            v.dhcp = value;
        } else if (key == "Address") {
            const size_t slash = value.find('/');
            v.address = value.substr(0, slash);
            v.prefix = slash == std::string::npos ? std::string() : value.substr(slash + 1);
            v.hasAddress = true;
        } else if (key == "Gateway") {
            v.gateway = value;
            v.hasGateway = true;
        } else if (key == "DNS") {
            if (!v.hasDns1) {
                v.dns1 = value;
                v.hasDns1 = true;
            } else {
                v.dns2 = value;
                v.hasDns2 = true;
            }
        }
    }
    return v;
}

}  // namespace

RestHandled RestAPI::answerNetwork(fss::stringHuge& out, bool lan) {
    WanRecipeData answer;
    LanRecipeData lanRecord;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        answer = recipe_.recipe.wan;
        lanRecord = recipe_.recipe.lan;
    }
    if (lan) {
        answer.mac = lanRecord.mac;
        answer.ipaddr = lanRecord.ipaddr;
        answer.netmask = lanRecord.netmask;
        answer.gateway = lanRecord.gateway;
        answer.primayDNS = lanRecord.primayDNS;
        answer.secondaryDNS = lanRecord.secondaryDNS;
    }
    const NetworkFileValues file = readNetworkFile(orvane::platform::Paths::system(lan ? kLanFile : kWanFile));
    if (!file.found) {  // nothing on the device: what the recipe holds
        if (lan) return answerRecord(out, lanRecord);
        return answerRecord(out, answer);
    }
    answer.device = lan ? "eth1" : "eth0";
    const std::string mask = file.hasAddress ? _get_mask_string(file.prefix) : std::string();
    if (lan) SLOG_INFO(WEB, "IP setting: {} {} ==> {}", file.address, file.prefix, mask);
    if (file.dhcp != "yes") {
        answer.ipmode = 2;
        if (file.hasAddress) {
            answer.ipaddr = file.address;
            answer.netmask = mask;
        }
        if (file.hasGateway) answer.gateway = file.gateway;
        if (file.hasDns1) answer.primayDNS = file.dns1;
        if (file.hasDns2) answer.secondaryDNS = file.dns2;
    } else {
        answer.ipmode = 1;
        answer.ipaddr = HardwareUtils::getIPAddr(answer.device.str());
    }
    return answerRecord(out, answer);
}

RestHandled RestAPI::_getLanSettings(const RestRequest&, fss::stringHuge& out) { return answerNetwork(out, true); }
RestHandled RestAPI::_getWanSettings(const RestRequest&, fss::stringHuge& out) { return answerNetwork(out, false); }

namespace {

// The four lines of a network file for a static address. False when a value may not be written.
bool staticLines(std::string& text, const std::string& ip, const std::string& mask, const std::string& gw,
                 const std::string& dns) {
    Utility::updateConfig(text, "DHCP", "no", true);
    Utility::updateConfig(text, "Address", ip + "/" + std::to_string(RestAPI::_get_mask_size(mask)), false);
    Utility::updateConfig(text, "Gateway", gw, false);
    Utility::updateConfig(text, "DNS", dns, false);
    return true;
}

bool validStatic(const std::string& ip, const std::string& mask, const std::string& gw, const std::string& dns) {
    return isDottedIPv4(ip) && isDottedIPv4(mask) && (gw.empty() || isDottedIPv4(gw)) && (dns.empty() || isDottedIPv4(dns));
}

}  // namespace

RestHandled RestAPI::_setLanSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<LanRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    LanRecipeData lan;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        lan = recipe_.recipe.lan;
    }
    readSectionBody(lan, body.body, LanRecipeData{});
    const std::string ip = lan.ipaddr.str(), mask = lan.netmask.str(), gw = lan.gateway.str(),
                      dns = lan.primayDNS.str();
    if (!validStatic(ip, mask, gw, dns)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "LAN settings refused: {} {} {} {}", ip, mask, gw, dns);
        _response(out, RESPONSE_CODE::FAILED, "Invalid address");
        return RestHandled::AnsweredNoSave;
    }
    const std::string path = orvane::platform::Paths::system(kLanFile);
    std::string text;
    if (!readWholeFile(path, text) || !staticLines(text, ip, mask, gw, dns) || !Utility::writeConfigFile(path, text)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to apply network settings to {}", path);
        _response(out, RESPONSE_CODE::FAILED, "Fail to apply network settings");
        return RestHandled::AnsweredNoSave;
    }
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        recipe_.recipe.lan = lan;
    }
    CommandRunner& runner = CommandRunner::get();
    runner.syncFs();
    if (runner.shell("systemctl restart systemd-networkd") == -1)
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to exectue");
    _response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

RestHandled RestAPI::_setWanSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<WanRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    WanRecipeData wan;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        wan = recipe_.recipe.wan;
    }
    WanRecipeData reset;
    reset.ipmode = 0;  // DHCP unless the body asks for a static address
    readSectionBody(wan, body.body, reset);
    const std::string ip = wan.ipaddr.str(), mask = wan.netmask.str(), gw = wan.gateway.str(),
                      dns = wan.primayDNS.str();
    const bool isStatic = wan.ipmode == 2;
    if (isStatic && !validStatic(ip, mask, gw, dns)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "WAN settings refused: {} {} {} {}", ip, mask, gw, dns);
        _response(out, RESPONSE_CODE::FAILED, "Invalid address");
        return RestHandled::AnsweredNoSave;
    }
    const std::string path = orvane::platform::Paths::system(kWanFile);
    std::string text;
    bool ok = readWholeFile(path, text);
    if (ok && isStatic) {
        staticLines(text, ip, mask, gw, dns);
    } else if (ok) {
        Utility::updateConfig(text, "DHCP", "yes", false);
        for (const char* key : {"Address", "Gateway", "DNS"}) Utility::updateConfig(text, key, "", true);
    }
    if (!ok || !Utility::writeConfigFile(path, text)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to apply network settings to {}", path);
        _response(out, RESPONSE_CODE::FAILED, "Fail to apply network settings");
        return RestHandled::AnsweredNoSave;
    }
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        recipe_.recipe.wan = wan;
    }
    if (CommandRunner::get().shell("systemctl restart systemd-networkd") == -1)
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to exectue");
    _response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

// ---- Wi-Fi and DHCP ---------------------------------------------------------------------------

RestHandled RestAPI::_getWirelessSettings(const RestRequest&, fss::stringHuge& out) {
    WifiRecipeData wifi;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        wifi = recipe_.recipe.wifi;
    }
    if (wifi.mode == 2) {
        wifi.ipaddrStation = HardwareUtils::getIPAddr("wlan0");
        wifi.gatewayStation = HardwareUtils::getGWAddr("wlan0");
    }
    return answerRecord(out, wifi);
}

RestHandled RestAPI::_setWirelessSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<WifiRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        readSectionBody(recipe_.recipe.wifi, body.body, wifiReset());
    }
    recipe_.triggerReload(SCADA_MASK_WIFI);
    out.setLength(0);
    return RestHandled::Answered;
}

RestHandled RestAPI::_setDHCPDSettings(const RestRequest&, fss::stringHuge& out) {
    out.setLength(0);
    return RestHandled::Answered;
}

// ---- date ----------------------------------------------------------------------------------

RestHandled RestAPI::_setSysDateTime(const RestRequest& req, fss::stringHuge& out) {
    static const BodySchema kKeys{{bodyText("timestamp")}};
    const BodyCheck body = checkBody(req.body, kKeys);
    if (!body) return refuse(out, body, logs_);
    fss::str32 stamp;
    readJsonP(stamp, findJsonKeyP(restBodyObject(body.body), "timestamp"));
    const std::string ts = stamp.str();
    if (!Utility::isValidTimestamp(ts)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Reject invalid system datetime payload");
        _response(out, RESPONSE_CODE::FAILED, "Invalid timestamp format");
        return RestHandled::Answered;
    }
    if (Utility::runCommandNoShell({"/bin/date", "-s", ts}) != 0) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to set system datetime");
        _response(out, RESPONSE_CODE::FAILED, "Fail to set system datetime");
        return RestHandled::Answered;
    }
    Clock::get().sleepFor(std::chrono::milliseconds(100));
    if (Utility::runCommandNoShell({"hwclock", "-w"}) != 0) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to sync hardware clock");
        _response(out, RESPONSE_CODE::FAILED, "Fail to sync hardware clock");
        return RestHandled::Answered;
    }
    _response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

// ---- ping ----------------------------------------------------------------------------------

namespace {

// Child side of the ping worker, between fork and exec: only async-signal-safe calls.
[[noreturn]] void execPing(const char* program, const char* count, const char* address) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
    {
        rlimit lim{};
        const long max = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                             ? static_cast<long>(lim.rlim_cur)
                             : 65536;
        for (long fd = 3; fd < max; ++fd) close(static_cast<int>(fd));
    }
    execlp(program, program, "-c", count, "-W", "2", "-n", address, static_cast<char*>(nullptr));
    _exit(127);
}

}  // namespace

void RestAPI::pingWorker(std::shared_ptr<PingState> state, std::string program, std::string address, int count) {
    const std::string countText = std::to_string(count);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->output += "Failed to fork ping process\n";
        state->exitCode = -1;
        state->running = false;
        return;
    }
    if (pid == 0) execPing(program.c_str(), countText.c_str(), address.c_str());

    char buf[256];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(state->mutex);
        // Past the cut the rest is read and dropped, so the child never blocks on a full terminal.
        if (state->output.size() < kPingOutputMax)
            state->output.append(buf, std::min(static_cast<size_t>(n), kPingOutputMax - state->output.size()));
    }
    ::close(master);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    state->running = false;
}

RestHandled RestAPI::_pingHost(const RestRequest& req, fss::stringHuge& out) {
    static const BodySchema kKeys{{bodyText("address"), bodyInteger("count", INT32_MIN, INT32_MAX)}};
    const BodyCheck body = checkBody(req.body, kKeys);
    if (!body) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Request body refused: {}", body.refusal);
        compactAnswer(out, RESPONSE_CODE::FAILED, body.refusal);
        return RestHandled::AnsweredNoSave;
    }
    const std::string_view object = restBodyObject(body.body);
    fss::str64 address;
    readJsonP(address, findJsonKeyP(object, "address"));
    int count = 4;
    readJsonP(count, findJsonKeyP(object, "count"));
    if (count < 1) count = 4;
    if (count > 10) count = 10;
    static const std::regex kAddress("^[A-Za-z0-9._:\\-]+$");
    const std::string addr = address.str();
    if (addr.empty() || addr[0] == '-' || !std::regex_match(addr, kAddress)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Ping rejected, invalid address: {}", addr);
        compactAnswer(out, RESPONSE_CODE::FAILED, "Invalid address");
        return RestHandled::AnsweredNoSave;
    }
    {
        std::lock_guard<std::mutex> lock(ping_->mutex);
        if (ping_->running) {
            compactAnswer(out, RESPONSE_CODE::FAILED, "Ping already running");
            return RestHandled::AnsweredNoSave;
        }
        ping_->running = true;
        ping_->exitCode = 0;
        ping_->output.clear();
    }
    SLOG_INFO(WEB, "Ping start: {} count={}", addr, count);
    try {
        std::thread(&RestAPI::pingWorker, ping_, opts_.pingProgram, addr, count).detach();
    } catch (const std::system_error& e) {
        // No worker will ever clear the flag: clear it here, or every later ping is refused.
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to start the ping worker: {}", e.what());
        {
            std::lock_guard<std::mutex> lock(ping_->mutex);
            ping_->output += "Failed to fork ping process\n";
            ping_->exitCode = -1;
            ping_->running = false;
        }
        compactAnswer(out, RESPONSE_CODE::FAILED, "Fail to start ping");
        return RestHandled::AnsweredNoSave;
    }
    compactAnswer(out, RESPONSE_CODE::SUCCESS, "started");
    return RestHandled::AnsweredNoSave;
}

RestHandled RestAPI::_pingOutput(const RestRequest&, fss::stringHuge& out) {
    bool running;
    int exitCode;
    std::string output;
    {
        std::lock_guard<std::mutex> lock(ping_->mutex);
        running = ping_->running;
        exitCode = ping_->exitCode;
        output = ping_->output;
    }
    std::string text = "{\"code\":200,\"running\":";
    text += running ? "true" : "false";
    text += ",\"exit_code\":" + std::to_string(exitCode) + ",\"output\":\"";
    appendEscaped(text, output);
    text += "\"}";
    _answerText(out, text);
    return RestHandled::Answered;
}

bool RestAPI::pingRunning() const {
    std::lock_guard<std::mutex> lock(ping_->mutex);
    return ping_->running;
}

// ---- accounts ------------------------------------------------------------------------------

RestHandled RestAPI::_auth(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkBody(req.body, packBodySchema<AuthCommand>());
    if (!body) return refuse(out, body, logs_);
    AuthCommand cmd;  // empty texts, cmdType -1: also what "enable" false resets to
    if (restBodyDisables(body.body)) cmd = AuthCommand{};
    readJsonP(cmd, body.body);
    cmd.token.assignBytes(req.token.data(), std::min<size_t>(req.token.size(), fss::str64::capacity));
    const int32_t type = cmd.cmdType;
    const AuthResult result = env_.auth(cmd);
    answerRecord(out, result);
    return type == AUTH_LOGIN || type == AUTH_LOGOUT ? RestHandled::AnsweredNoSave : RestHandled::Answered;
}

// ---- sections ------------------------------------------------------------------------------

RestHandled RestAPI::_getSysSettings(const RestRequest&, fss::stringHuge& out) {
    SystemRecipeData system;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        system = recipe_.recipe.system;
    }
    system.Timestamp = TimeUtility::getTimeString(static_cast<long>(Clock::get().wallSeconds()));
    return answerRecord(out, system);
}

RestHandled RestAPI::_setSysSettings(const RestRequest& req, fss::stringHuge& out) {
    static const BodySchema kKeys = recipeBodySchema<SystemRecipeData>().narrowed("guardPort", kPortMin, kPortMax);
    const BodyCheck body = checkBody(req.body, kKeys);
    if (!body) return refuse(out, body, logs_);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        SystemRecipeData& system = recipe_.recipe.system;
        const SystemRecipeData before = system;
        if (restBodyDisables(body.body)) {
            // The gateway's identity and the watched port are not reset; the body may still set
            // the port.
            system = SystemRecipeData{};
            system.model = before.model;
            system.pn = before.pn;
            system.sn = before.sn;
            system.hwVer = before.hwVer;
            system.guardPort = before.guardPort;
        }
        readJsonP(system, restBodyObject(body.body));
    }
    recipe_.triggerReload(SCADA_MASK_SYSTEM);
    return RestHandled::Answered;
}

RestHandled RestAPI::_getCloudSettings(const RestRequest&, fss::stringHuge& out) {
    CloudServerRecipeData cloud;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        cloud = recipe_.recipe.cloudServer;
    }
    return answerRecord(out, cloud);
}

RestHandled RestAPI::_setCloudSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<CloudServerRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    CloudServerRecipeData stored;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        stored = recipe_.recipe.cloudServer;
        readSectionBody(recipe_.recipe.cloudServer, body.body, CloudServerRecipeData{});
    }
    if (!recipe_.saveToJson()) {
        // orvane-lte reads its settings from the file only: a change the file does not hold would
        // never reach the cloud link. It is undone, and the link is left alone.
        {
            std::lock_guard<StoreMutex> lock(recipe_.mutex);
            recipe_.recipe.cloudServer = stored;
        }
        _response(out, RESPONSE_CODE::FAILED, kCloudNotStored);
        return RestHandled::AnsweredNoSave;
    }
    Clock::get().sleepFor(std::chrono::milliseconds(500));
    if (CommandRunner::get().shell("systemctl restart orvane-lte") == -1)
        SLOG_THROTTLED(logs_, WEB, WARN, "Fail to restart orvane-lte");
    return RestHandled::Answered;
}

RestHandled RestAPI::_getCellularSettings(const RestRequest&, fss::stringHuge& out) {
    CellularRecipeData cellular;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        cellular = recipe_.recipe.cellular;
    }
    return answerRecord(out, cellular);
}

RestHandled RestAPI::_setCellularSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<CellularRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        readSectionBody(recipe_.recipe.cellular, body.body, CellularRecipeData{});
    }
    CommandRunner& runner = CommandRunner::get();
    runner.syncFs();
    runner.shell("systemctl restart quectel-cm.service");
    return RestHandled::Answered;
}

RestHandled RestAPI::_getLteSettings(const RestRequest&, fss::stringHuge& out) {
    ModemInfoRecipeData lte;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        lte = recipe_.recipe.lte;
    }
    return answerRecord(out, lte);
}

RestHandled RestAPI::_getModbusRTUSettings(const RestRequest&, fss::stringHuge& out) {
    ModbusRtuRecipeData rtu;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        rtu = recipe_.recipe.modbusRtu;
    }
    return answerRecord(out, rtu);
}

RestHandled RestAPI::_setModbusRTUSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<ModbusRtuRecipeData>(req.body);
    if (!body) return refuse(out, body, logs_);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    std::lock_guard<StoreMutex> lock(recipe_.mutex);
    readSectionBody(recipe_.recipe.modbusRtu, body.body, ModbusRtuRecipeData{});
    return RestHandled::Answered;
}

namespace {

// GET of a recipe table of rules: the whole table, copied under the recipe mutex.
template <class Item, size_t N>
RestHandled answerRuleTable(RecipeDataGuard& recipe, std::array<Item, N> ScadaRecipeData::*table,
                            fss::stringHuge& out) {
    std::array<Item, N> rules;
    {
        std::lock_guard<StoreMutex> lock(recipe.mutex);
        rules = recipe.recipe.*table;
    }
    return answerArray(out, rules);
}

// PUT of one rule (row numbers from 1): 404 below 1, an empty answer past the table's end, else
// the row read from the body (absent fields take their defaults) and each reload raised.
template <class Item, size_t N>
RestHandled setRuleRow(RecipeDataGuard& recipe, LogThrottles& logs, std::array<Item, N> ScadaRecipeData::*table,
                       const RestRequest& req, fss::stringHuge& out, std::initializer_list<uint32_t> reloads) {
    const int n = req.key.id0;
    if (n < 1) {
        RestAPI::_response(out, RESPONSE_CODE::NOT_FOUND, "");
        return RestHandled::AnsweredNoSave;
    }
    if (n > static_cast<int>(N)) {
        out.setLength(0);
        return RestHandled::AnsweredNoSave;
    }
    const BodyCheck body = checkRecord<Item>(req.body);
    if (!body) return refuse(out, body, logs);
    {
        std::lock_guard<StoreMutex> lock(recipe.mutex);
        readSectionBody((recipe.recipe.*table)[static_cast<size_t>(n - 1)], body.body, Item{});
    }
    for (uint32_t mask : reloads) recipe.triggerReload(mask);
    RestAPI::_response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

}  // namespace

RestHandled RestAPI::_getFirewallRules(const RestRequest&, fss::stringHuge& out) {
    return answerRuleTable(recipe_, &ScadaRecipeData::firewall, out);
}

RestHandled RestAPI::_setFirewallRules(const RestRequest& req, fss::stringHuge& out) {
    return setRuleRow(recipe_, logs_, &ScadaRecipeData::firewall, req, out, {SCADA_MASK_FIREWALL});
}

RestHandled RestAPI::_getPortForwardingRules(const RestRequest&, fss::stringHuge& out) {
    return answerRuleTable(recipe_, &ScadaRecipeData::portForwarding, out);
}

RestHandled RestAPI::_setPortForwardingRules(const RestRequest& req, fss::stringHuge& out) {
    return setRuleRow(recipe_, logs_, &ScadaRecipeData::portForwarding, req, out,
                      {SCADA_MASK_PORT_FORWARDING, SCADA_MASK_REMOTE_FORWARDING});
}

RestHandled RestAPI::_reboot(const RestRequest&, fss::stringHuge& out) {
    recipe_.triggerReload(SCADA_MASK_REBOOT);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

RestHandled RestAPI::_restart(const RestRequest&, fss::stringHuge& out) {
    recipe_.triggerReload(SCADA_MASK_RESTART);
    _response(out, RESPONSE_CODE::SUCCESS, "");
    return RestHandled::Answered;
}

// ---- upgrade -------------------------------------------------------------------------------

namespace {

using LocalSocket = boost::asio::local::stream_protocol::socket;

// Connects to the system service; false (logged) when nobody listens. A service that accepts
// nothing (its queue full) must not hold the server thread: the connect and every later write give
// up after the time-out.
bool connectSystemService(LocalSocket& socket, std::chrono::milliseconds timeout, LogThrottles& logs) {
    const std::string path = scada_paths::SYSETM_MODULE_SOCKET();
    boost::system::error_code ec;
    socket.open(boost::asio::local::stream_protocol(), ec);
    if (ec) {
        SLOG_THROTTLED(logs, WEB, WARN, "Fail to connect {}: {}", path, ec.message());
        return false;
    }
    const int fd = socket.native_handle();
    const long ms = std::max<long>(1, static_cast<long>(timeout.count()));
    const timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(endpoint.data()), static_cast<socklen_t>(endpoint.size()));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        SLOG_THROTTLED(logs, WEB, WARN, "Fail to connect {}: {}", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool sendAll(LocalSocket& socket, const std::vector<uint8_t>& frame, std::chrono::milliseconds timeout) {
    return orvane::platform::local::writeAll(socket, frame.data(), frame.size(), nullptr, timeout) == frame.size();
}

}  // namespace

bool RestAPI::_systemUpgrade(std::string_view fileName) {
    orvane_ipc::request::SystemUpdate request;
    request.firmware_source(2);
    request.file_name(std::string(fileName).c_str(), static_cast<unsigned>(fileName.size()));
    const std::vector<uint8_t> frame = orvane_ipc::to_frame(request);
    boost::asio::io_context io;
    LocalSocket socket(io);
    if (!connectSystemService(socket, opts_.upgradeStatusTimeout, logs_)) return false;
    const bool ok = sendAll(socket, frame, opts_.upgradeStatusTimeout);
    if (!ok) SLOG_THROTTLED(logs_, WEB, WARN, "Fail to send the upgrade request: {}", std::strerror(errno));
    boost::system::error_code ec;
    socket.close(ec);
    return ok;
}

RestHandled RestAPI::_systemUpgradeStatus(const RestRequest&, fss::stringHuge& out) {
    boost::asio::io_context io;
    LocalSocket socket(io);  // closed by its destructor on every path
    const std::vector<uint8_t> frame = orvane_ipc::to_frame(orvane_ipc::request::SystemUpdateStatus{});
    if (!connectSystemService(socket, opts_.upgradeStatusTimeout, logs_) ||
        !sendAll(socket, frame, opts_.upgradeStatusTimeout)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "NO Response for upgrade status.");
        _response(out, RESPONSE_CODE::FAILED, "");
        return RestHandled::Answered;
    }
    Clock::get().sleepFor(std::chrono::milliseconds(100));
    // The service takes one connection a second: wait for a whole frame up to the time-out.
    std::vector<uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + opts_.upgradeStatusTimeout;
    for (;;) {
        if (!received.empty() && orvane_ipc::Utilities::find_frame(received.data(), received.size()) >= 0) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        uint8_t buf[256];
        const auto r = orvane::platform::local::readFor(socket, buf, sizeof buf, left);
        if (r.status != orvane::platform::local::ReadStatus::Data) break;
        if (received.size() < 4096) received.insert(received.end(), buf, buf + r.bytes);
    }
    if (received.empty()) {
        SLOG_THROTTLED(logs_, WEB, WARN, "NO Response for upgrade status.");
        _response(out, RESPONSE_CODE::FAILED, "");
        return RestHandled::Answered;
    }
    std::optional<orvane_ipc::ResponseVariant> reply;
    try {
        reply = orvane_ipc::Service::response_analyze(received.data(), received.size());
    } catch (const std::out_of_range&) {
        reply.reset();
    }
    if (!reply) {
        SLOG_THROTTLED(logs_, WEB, WARN, "NO command for upgrade status.");
        _response(out, RESPONSE_CODE::FAILED, "");
        return RestHandled::Answered;
    }
    const auto* status = std::get_if<orvane_ipc::response::SystemUpdateStatus>(&*reply);
    if (!status) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Response cmd is wrong for upgrade status.");
        _response(out, RESPONSE_CODE::NOT_FOUND, "");
        return RestHandled::Answered;
    }
    SLOG_INFO(WEB, "Response cmd {}% {}", status->progress(), status->error_code());
    UpgradeStatusAnswer answer;
    answer.progress = status->progress();
    answer.error_code = static_cast<int32_t>(status->error_code());
    switch (status->error_code()) {
        case 1: answer.error_msg = "Fail to downlowad files."; break;
        case 2: answer.error_msg = "The MD5 of file is wrong."; break;
        case 3: answer.error_msg = "Unable to unpackage the files."; break;
        case 4: answer.error_msg = "Fail to upgrade the files"; break;
        case 5: answer.error_msg = "Unable to execute the command."; break;
        default: answer.error_msg = "Unknown error code: " + std::to_string(status->error_code()); break;
    }
    return answerRecord(out, answer);
}

namespace {

struct NotesSink {
    fss::stringHuge* out;
    uint32_t length = 0;
};

size_t receiveNotes(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<NotesSink*>(user);
    const size_t bytes = size * count;
    SLOG_INFO(WEB, "Get upgrade information size {} x {}", size, count);
    const size_t room = fss::stringHuge::capacity - sink->length;
    const size_t n = std::min(bytes, room);
    std::memcpy(sink->out->data() + sink->length, data, n);
    sink->length += static_cast<uint32_t>(n);
    sink->out->setLength(sink->length);
    return bytes;  // a text that no longer fits is cut, the transfer goes on
}

}  // namespace

RestHandled RestAPI::_getSystemUpgradeInfo(const RestRequest&, fss::stringHuge& out) {
    std::string url;
    {
        std::lock_guard<StoreMutex> lock(recipe_.mutex);
        url = recipe_.recipe.upgrade.url.str() + "/" + recipe_.recipe.upgrade.notes_name.str();
    }
    SLOG_INFO(WEB, "Get upgrade information from {}", url);
    out.setLength(0);
    NotesSink sink{&out};
    CURL* curl = curl_easy_init();
    if (!curl) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Failed to get upgrade information: {}", "no transfer handle");
        return RestHandled::Answered;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, receiveNotes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(opts_.releaseNotesConnectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(opts_.releaseNotesTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK)
        SLOG_THROTTLED(logs_, WEB, WARN, "Failed to get upgrade information: {}", curl_easy_strerror(rc));
    else
        SLOG_INFO(WEB, "Get upgrade information {}", std::string_view(out.data(), sink.length));
    curl_easy_cleanup(curl);
    out.setLength(sink.length);
    return RestHandled::Answered;
}
