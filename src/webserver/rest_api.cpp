#include "webserver/rest_api.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <vector>

#include "env/env_guard.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "utils/log.h"

namespace fs = std::filesystem;

// ---- endpoints without an API -------------------------------------------------------------

bool UnknownRoutes::handleGet(std::string_view, const std::string&, std::string_view, fss::stringHuge& out) {
    out.setLength(0);
    return false;
}

void UnknownRoutes::handlePut(std::string_view, const std::string&, std::string_view, fss::stringHuge& out) {
    RestAPI::_response(out, RESPONSE_CODE::NOT_FOUND, "");
}

// ---- targets --------------------------------------------------------------------------------

namespace {

constexpr size_t kPatternMax = 64;

// std::stoi's reading of a segment: blanks, a sign, at least one digit; false when there is no
// number or it does not fit int32 (stoi would throw).
bool segmentNumber(std::string_view seg, int32_t& value) {
    size_t i = 0;
    while (i < seg.size() && std::isspace(static_cast<unsigned char>(seg[i]))) ++i;
    bool negative = false;
    if (i < seg.size() && (seg[i] == '+' || seg[i] == '-')) negative = seg[i++] == '-';
    const size_t digits = i;
    long long v = 0;
    for (; i < seg.size() && seg[i] >= '0' && seg[i] <= '9'; ++i) {
        v = v * 10 + (seg[i] - '0');
        if (v > static_cast<long long>(INT32_MAX) + 1) return false;
    }
    if (i == digits) return false;
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<int32_t>(v);
    return true;
}

constexpr std::string_view kFileSuffixes[] = {".js", ".css", ".html", ".jpg", ".ico", ".ttf", ".woff", ".woff2", ".png"};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<WebPath> normaliseWebPath(std::string_view target) {
    target = target.substr(0, target.find_first_of("?#"));
    if (target.empty() || target.front() != '/') return std::nullopt;
    std::string decoded;
    decoded.reserve(target.size());
    for (size_t i = 0; i < target.size(); ++i) {
        char c = target[i];
        if (c == '%') {
            const int hi = i + 2 < target.size() ? hexDigit(target[i + 1]) : -1;
            const int lo = hi >= 0 ? hexDigit(target[i + 2]) : -1;
            if (lo < 0) return std::nullopt;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
        decoded += c;
    }
    WebPath out;
    out.dotdot = decoded.find("..") != std::string::npos;
    std::vector<std::string_view> segments;
    std::string_view rest(decoded);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view seg = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (seg.empty() || seg == ".") continue;
        if (seg == "..") {
            if (segments.empty()) return std::nullopt;
            segments.pop_back();
            continue;
        }
        segments.push_back(seg);
    }
    for (std::string_view seg : segments) {
        out.path += '/';
        out.path += seg;
    }
    if (out.path.empty()) out.path = "/";
    return out;
}

RouteKey parseTarget(std::string_view target) {
    RouteKey key;
    std::string_view head = target.substr(0, std::min<size_t>(target.size(), kPatternMax));
    if (auto z = head.find('\0'); z != std::string_view::npos) head = head.substr(0, z);

    char pattern[kPatternMax + 1] = {};
    size_t len = 0;
    auto append = [&](std::string_view s) {
        const size_t n = std::min(s.size(), kPatternMax - len);
        std::memcpy(pattern + len, s.data(), n);
        len += n;
    };
    int numbers = 0;
    bool anySegment = false;
    size_t pos = 0;
    while (pos < head.size()) {
        const size_t end = std::min(head.find('/', pos), head.size());
        std::string_view seg = head.substr(pos, end - pos);
        pos = end + 1;
        if (seg.empty()) continue;
        anySegment = true;
        int32_t value = 0;
        if (segmentNumber(seg, value)) {
            if (len < kPatternMax) append("/");
            if (len < kPatternMax) append("?");
            if (numbers == 0) key.id0 = value;
            if (numbers == 1) key.id1 = value;
            if (numbers < 5) ++numbers;
        } else {
            append("/");
            append(seg);
        }
    }
    key.pattern.assignBytes(pattern, len);
    key.hash = anySegment ? route(std::string_view(pattern, len)) : 0;
    // The query names no part of a file: "/parameter.json?.js" is no file name.
    const auto named = normaliseWebPath(target);
    const std::string_view file = named ? std::string_view(named->path) : target.substr(0, target.find_first_of("?#"));
    for (std::string_view suffix : kFileSuffixes)
        if (file.size() >= suffix.size() && file.substr(file.size() - suffix.size()) == suffix) {
            key.isFileName = true;
            break;
        }
    return key;
}

std::optional<std::pair<std::string_view, std::string_view>> parseFormData(std::string_view body) {
    const size_t headerEnd = body.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) return std::nullopt;
    constexpr std::string_view kType = "Content-Type: ";
    const size_t type = body.find(kType);
    if (type == std::string_view::npos || type + kType.size() > headerEnd) return std::nullopt;
    const size_t typeStart = type + kType.size();
    return std::make_pair(body.substr(headerEnd + 4), body.substr(typeStart, headerEnd - typeStart));
}

bool validUpgradeName(std::string_view name) {
    constexpr std::string_view kSuffix = ".tar.gz";
    if (name.empty() || name.size() + kSuffix.size() > 32) return false;
    if (name.front() == '-' || name.front() == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// ---- route table ----------------------------------------------------------------------------

namespace {

using M = RestMethod;
using O = RestAPI::Owner;

#define R(path, key) static_assert(route(path) == (key), "route key of " path)
// Keys the browser pages and other clients already use.
R("/system/settings", 0x7a1a6bf4u);
R("/system/settings/?", 0x5d2f44e4u);
R("/auth", 0x02c42e57u);
R("/system/livedata", 0x791efa67u);
R("/probe/livedata", 0xca4e0c04u);
R("/lora/livedata", 0xd7c89944u);
R("/lte/livedata", 0x6eb24237u);
R("/dhcpd/settings", 0xb7aa5e0eu);
R("/lan/settings", 0xf9496988u);
R("/wan/settings", 0x4deb849du);
R("/wireless/settings", 0x10f2cb25u);
R("/system/datetime", 0x8f816b4cu);
R("/system/ping", 0x0b76c1c3u);
R("/system/ping/output", 0xa17946cdu);
R("/measuretype", 0xfd93b209u);
R("/probe/meta", 0x367fbe73u);
R("/probe/settings", 0xcb497d91u);
R("/probe/settings/?", 0x1ee06341u);
R("/probe/caliblog/?", 0xf83efd1bu);
R("/probe/scan/status", 0x714cb396u);
R("/probe/scan/start", 0xa08edc3eu);
R("/probe/scan/stop", 0xd3a184a6u);
R("/probe/ping", 0x368129e0u);
R("/probe/diagnose", 0x678fcf2cu);
R("/probe/restore", 0x242f2b60u);
R("/probe/replace", 0x24010b86u);
R("/probe/calibrate", 0xffc27f19u);
R("/probe/changeaddr/?", 0xda0853bfu);
R("/probe/setvalue/?", 0x7af00e6du);
R("/probe/probeconfig/?", 0x7f1fcbb4u);
R("/probe/changeAddrBatch", 0x2798b2cbu);
R("/probe/changeAddrResult", 0xe7035eacu);
R("/probe/custommeta/?", 0x0b347bd4u);
R("/probe/upload", 0xa3c852efu);
R("/probe/addcustom", 0x5e7ab3a4u);
R("/analoginput/setting/?", 0x083e847cu);
R("/analoginput/setting", 0x1ea4b18cu);
R("/controller/settings", 0x100b64a7u);
R("/controller/settings/?", 0x3ac4dcd7u);
R("/controller/?/input/?", 0x9a3f8966u);
R("/controller/?/output/?", 0x95d2b205u);
R("/controller/?/addoutput/?", 0x0bfe2a7eu);
R("/controlloop", 0x036b91f2u);
R("/controlloop/?", 0xd6cee362u);
R("/lora/settings", 0xd8c40ad1u);
R("/lora/device", 0xef6c4084u);
R("/lora/device/?", 0xc55e3574u);
R("/probe/mbregaddr/?", 0xa40d6d12u);
R("/ai/mbregaddr/?", 0x3152bbc8u);
R("/system/upgrade", 0x24f32c2bu);
R("/system/upgrade/status", 0x9b488e56u);
R("/reboot", 0x7e8ad894u);
R("/cellular/settings", 0x7b6abed9u);
R("/lte/settings", 0x6fadb3c4u);
R("/cloud/settings", 0xd4a3ecacu);
R("/modbusRTU/settings", 0x4ca6320cu);
R("/firewall/rule", 0xaaf48edcu);
R("/firewall/rule/?", 0xc00c4dccu);
R("/portforwarding/rule", 0x8bb27b9eu);
R("/portforwarding/rule/?", 0x6902120eu);
R("/controller/livedata", 0x0f0ff31au);
R("/analoginput/livedata", 0xb4f60edau);
R("/livedata/?", 0xa5dbd475u);
R("/trendData", 0xeaf01398u);
R("/upload", 0x8448eef0u);
#undef R

#define ROW(m, path, owner, save, fn) RestAPI::Route{route(path), M::m, O::owner, save, &RestAPI::fn, path}

const RestAPI::Route kRoutes[] = {
    // management
    ROW(PUT, "/dhcpd/settings", System, true, _setDHCPDSettings),
    ROW(GET, "/lan/settings", System, false, _getLanSettings),
    ROW(PUT, "/lan/settings", System, true, _setLanSettings),
    ROW(GET, "/wan/settings", System, false, _getWanSettings),
    ROW(PUT, "/wan/settings", System, true, _setWanSettings),
    ROW(GET, "/wireless/settings", System, false, _getWirelessSettings),
    ROW(PUT, "/wireless/settings", System, true, _setWirelessSettings),
    ROW(PUT, "/system/datetime", System, true, _setSysDateTime),
    ROW(PUT, "/system/ping", System, false, _pingHost),
    ROW(GET, "/system/ping/output", System, false, _pingOutput),
    ROW(PUT, "/auth", System, true, _auth),
    ROW(GET, "/system/settings", System, false, _getSysSettings),
    ROW(PUT, "/system/settings", System, true, _setSysSettings),
    ROW(GET, "/system/upgrade", System, false, _getSystemUpgradeInfo),
    ROW(GET, "/system/upgrade/status", System, false, _systemUpgradeStatus),
    ROW(PUT, "/reboot", System, true, _reboot),
    ROW(PUT, "/system/restart", System, true, _restart),
    ROW(GET, "/cellular/settings", System, false, _getCellularSettings),
    ROW(PUT, "/cellular/settings", System, true, _setCellularSettings),
    ROW(GET, "/lte/settings", System, false, _getLteSettings),
    ROW(GET, "/cloud/settings", System, false, _getCloudSettings),
    ROW(PUT, "/cloud/settings", System, false, _setCloudSettings),
    ROW(GET, "/modbusRTU/settings", System, false, _getModbusRTUSettings),
    ROW(PUT, "/modbusRTU/settings", System, true, _setModbusRTUSettings),
    ROW(GET, "/firewall/rule", System, false, _getFirewallRules),
    ROW(PUT, "/firewall/rule/?", System, true, _setFirewallRules),
    ROW(GET, "/portforwarding/rule", System, false, _getPortForwardingRules),
    ROW(PUT, "/portforwarding/rule/?", System, true, _setPortForwardingRules),
    // probes
    ROW(GET, "/measuretype", Field, false, _getMeasureType),
    ROW(GET, "/probe/meta", Field, false, _getProbeMeta),
    ROW(GET, "/probe/settings", Field, false, _getProbeSettingsAll),
    ROW(PUT, "/probe/settings", Field, true, _setProbeSettingsBatch),
    ROW(GET, "/probe/settings/?", Field, false, _getProbeSettings),
    ROW(PUT, "/probe/settings/?", Field, true, _setProbeSettings),
    ROW(GET, "/probe/caliblog/?", Field, false, _getProbeCalibLog),
    ROW(GET, "/probe/scan/status", Field, false, _getScanStatus),
    ROW(PUT, "/probe/scan/start", Field, true, _startScan),
    ROW(PUT, "/probe/scan/stop", Field, true, _stopScan),
    ROW(PUT, "/probe/scan/cancel", Field, true, _stopScan),
    ROW(PUT, "/probe/ping", Field, false, _probePing),
    ROW(PUT, "/probe/diagnose", Field, false, _probeDiagnose),
    ROW(PUT, "/probe/restore", Field, false, _probeRestore),
    ROW(PUT, "/probe/replace", Field, true, _replaceProbe),
    ROW(PUT, "/probe/calibrate", Field, true, _probeCalibrate),
    ROW(PUT, "/probe/changeaddr/?", Field, false, _probeChangeAddr),
    ROW(PUT, "/probe/setvalue/?", Field, true, _probeSetValue),
    ROW(GET, "/probe/probeconfig/?", Field, false, _probeConfigAddr),
    ROW(PUT, "/probe/probeconfig/?", Field, true, _probeConfig),
    ROW(PUT, "/probe/changeAddrBatch", Field, true, _probeChangeAddrBatch),
    ROW(GET, "/probe/changeAddrResult", Field, false, _getProbeChangeAddrResult),
    ROW(GET, "/probe/custommeta/?", Field, false, _getCustomProbeMeta),
    ROW(PUT, "/probe/upload", Field, true, _addKelvaProbe),
    ROW(PUT, "/probe/uploadmeta", Field, true, _addKelvaProbe),
    ROW(PUT, "/probe/addcustom", Field, true, _addCustomProbe),
    ROW(GET, "/analoginput/setting/?", Field, false, _getAnalogInput),
    ROW(PUT, "/analoginput/setting/?", Field, true, _setAnalogInput),
    ROW(GET, "/analoginput/setting", Field, false, _getAnalogInputs),
    // controllers, loops, LoRa, registers
    ROW(GET, "/controller/settings", Field, false, _getControllerSettings),
    ROW(GET, "/controller/settings/?", Field, false, _getControllerSettings),
    ROW(PUT, "/controller/settings/?", Field, true, _setControllerSettings),
    ROW(GET, "/controller/?/input/?", Field, false, _getControllerInputRegSettings),
    ROW(PUT, "/controller/?/input/?", Field, true, _setControllerInputRegSettings),
    ROW(GET, "/controller/?/output/?", Field, false, _getControllerOutputRegSettings),
    ROW(PUT, "/controller/?/output/?", Field, true, _setControllerOutputRegSettings),
    ROW(PUT, "/controller/?/addoutput/?", Field, true, _addControllerOutput),
    ROW(GET, "/controlloop", Field, false, _getControlLoops),
    ROW(PUT, "/controlloop/?", Field, true, _setControlLoop),
    ROW(GET, "/lora/settings", Field, false, _getLoraSettings),
    ROW(PUT, "/lora/settings", Field, true, _setLoraSettings),
    ROW(GET, "/lora/device", Field, false, _getLoraDevices),
    ROW(PUT, "/lora/device/?", Field, true, _setLoraDeviceSettings),
    ROW(GET, "/probe/mbregaddr/?", Field, false, _getMBRegAddr),
    ROW(GET, "/ai/mbregaddr/?", Field, false, _getMBRegAddr),
    ROW(GET, "/lora/mbregaddr/?/?", Field, false, _getLoRaMBRegAddr),
    // live data, trends, uploads
    ROW(GET, "/system/livedata", Field, false, _getSystemLiveData),
    ROW(GET, "/probe/livedata", Field, false, _getProbeLiveData),
    ROW(GET, "/lora/livedata", Field, false, _getLoraLiveData),
    ROW(GET, "/lte/livedata", Field, false, _getLteLiveData),
    ROW(GET, "/controller/livedata", Field, false, _getControllerLiveData),
    ROW(GET, "/analoginput/livedata", Field, false, _getAnalogLiveData),
    ROW(GET, "/livedata/?", Field, false, _get_livedata),
    ROW(PUT, "/trendData", Field, true, _trendData),
    ROW(PUT, "/upload", Field, true, _upload),
};
#undef ROW

// Readable without a login: the system section (its PUT needs a token all the same), accounts and
// the four live-data views of the start page.
constexpr uint32_t kWhitelist[] = {route("/system/settings/?"), route("/system/settings"), route("/auth"),
                                   route("/system/livedata"), route("/probe/livedata"), route("/lora/livedata"),
                                   route("/lte/livedata")};

// A copy of the token as EnvGuard takes it: its first 64 characters.
fss::str64 tokenText(std::string_view token) {
    fss::str64 t;
    t.assignBytes(token.data(), std::min<size_t>(token.size(), fss::str64::capacity));
    return t;
}

}  // namespace

const RestAPI::Route* RestAPI::findRoute(uint32_t key, RestMethod method) {
    for (const Route& r : kRoutes)
        if (r.key == key && r.method == method) return &r;
    return nullptr;
}

std::pair<const RestAPI::Route*, size_t> RestAPI::routes() { return {kRoutes, std::size(kRoutes)}; }

int RestAPI::_needTokenCmd(unsigned hash) {
    for (uint32_t k : kWhitelist)
        if (k == hash) return 0;
    return 1;
}

// ---- answers --------------------------------------------------------------------------------

void RestAPI::_response(fss::stringHuge& out, RESPONSE_CODE code, std::string_view msg) {
    if (msg.empty()) {
        if (code == RESPONSE_CODE::SUCCESS) msg = "OK";
        if (code == RESPONSE_CODE::NOT_FOUND) msg = "Not Found";
    }
    fss::str64 text;
    text.assignBytes(msg.data(), std::min<size_t>(msg.size(), fss::str64::capacity));
    int& level = gIndentLevelForWriteJsonP;
    level = 0;
    json_detail::Cursor c(out.data(), kAnswerRoom);
    c.put(std::string_view("{\n"));
    level = 1;
    c.indent(level);
    c.key("code");
    c.integer(static_cast<int>(code));
    c.put(std::string_view(",\n"));
    c.indent(level);
    c.key("msg");
    c.text(text.c_str());
    c.put('}');
    level = 0;
    out.setLength(static_cast<uint32_t>(c.count()));  // the answer is far below the room
}

void RestAPI::_answerNotStored(fss::stringHuge& out) {
    int32_t code = 0;
    readJsonP(code, findJsonKeyP(out.view(), "code"));
    if (out.view().empty() || code == static_cast<int32_t>(RESPONSE_CODE::SUCCESS))
        _response(out, RESPONSE_CODE::FAILED, kNotStored);
}

void RestAPI::_answerText(fss::stringHuge& out, std::string_view text) {
    if (text.size() > static_cast<size_t>(kAnswerRoom)) {
        _response(out, RESPONSE_CODE::FAILED, "Answer too large");
        return;
    }
    std::memcpy(out.data(), text.data(), text.size());
    out.setLength(static_cast<uint32_t>(text.size()));
}

// ---- entry points ---------------------------------------------------------------------------

RestAPI::RestAPI(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, VarEngine& vars, DatabaseProxy& history)
    : RestAPI(recipe, live, env, vars, history, Options{}) {}

RestAPI::RestAPI(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, VarEngine& vars, DatabaseProxy& history,
                 Options options)
    : recipe_(recipe), live_(live), env_(env), vars_(vars), history_(history), opts_(std::move(options)) {}

RestAPI::~RestAPI() = default;

bool RestAPI::tokenAccepted(uint32_t hash, RestMethod method, std::string_view token, bool always) {
    const bool open =
        !always && !_needTokenCmd(hash) && !(method == RestMethod::PUT && hash == route("/system/settings"));
    if (open) return true;
    return env_.checkAvaliableWebCmd(tokenText(token));
}

namespace {

bool namesWebConfig(std::string_view target) {
    const auto named = normaliseWebPath(target);
    return named && named->path == kWebConfigPath;
}

}  // namespace

// Nothing happens before the token check: the web copy of the configuration is made by handleGet
// once the token has been accepted.
void RestAPI::handlePreGet(std::string_view) {}

void RestAPI::makeWebCopy() {
    const std::string link = scada_paths::CONFIG_FILE_WEBLINK();
    const std::string source = scada_paths::CONFIG_FILE();
    std::error_code ec;
    // An entry that is there (a link, also a dangling one, or a file) stays as it is.
    if (fs::symlink_status(link, ec).type() != fs::file_type::not_found && !ec) {
        SLOG_INFO(WEB, "failed to copy file {} ->{}: {}", source, link, "File exists");
        return;
    }
    ec.clear();
    fs::create_directories(fs::path(link).parent_path(), ec);
    // Relative, so the link stays right wherever the install root is mounted.
    fs::create_symlink("../config/recipes/parameter.json", link, ec);
    if (ec)
        SLOG_INFO(WEB, "failed to copy file {} ->{}: {}", source, link, ec.message());
    else
        SLOG_INFO(WEB, "File copied successfully.");
}

bool RestAPI::fileMayLeaveRoot(std::string_view path) {
    const bool granted = webCopyGranted_ && path == kWebConfigPath;
    webCopyGranted_ = false;
    return granted;
}

bool RestAPI::handleGet(std::string_view target, const std::string& body, std::string_view token,
                        fss::stringHuge& out) {
    out.setLength(0);
    webCopyGranted_ = false;
    const RouteKey key = parseTarget(target);
    // However it is spelt, the configuration's web copy is served only to a valid token.
    const bool webConfig = namesWebConfig(target);
    SLOG_INFO(WEB, "**** handleGet {}  isFileName = {}", target, key.isFileName);
    if (key.isFileName && !webConfig) return false;
    if (!tokenAccepted(key.hash, RestMethod::GET, token, webConfig)) {
        _response(out, RESPONSE_CODE::INVALID_TOKEN, "Invalid token");
        return true;
    }
    if (webConfig) {
        makeWebCopy();
        webCopyGranted_ = true;
        return false;  // served as the file
    }
    const Route* row = findRoute(key.hash, RestMethod::GET);
    if (!row) return false;
    const RestRequest req{key, target, body, token};
    try {
        if (dispatch(*row, req, out) == RestHandled::Unknown) {
            out.setLength(0);
            return false;
        }
    } catch (const std::exception& e) {
        SLOG_THROTTLED(logs_, WEB, ERROR, "handleGet {} failed: {}", target, e.what());
        _response(out, RESPONSE_CODE::FAILED, "Internal error");
    } catch (...) {
        SLOG_THROTTLED(logs_, WEB, ERROR, "handleGet {} failed", target);
        _response(out, RESPONSE_CODE::FAILED, "Internal error");
    }
    return true;
}

void RestAPI::handlePut(std::string_view target, const std::string& body, std::string_view token,
                        fss::stringHuge& out) {
    importAfterPut_ = false;
    out.setLength(0);
    const RouteKey key = parseTarget(target);
    if (key.isFileName) {
        SLOG_INFO(WEB, "**** Never happen handlePut {}, isFileName={}", target, key.isFileName);
        return;
    }
    const bool webConfig = namesWebConfig(target);
    if (!tokenAccepted(key.hash, RestMethod::PUT, token, webConfig)) {
        _response(out, RESPONSE_CODE::INVALID_TOKEN, "Invalid token");
        return;
    }
    importAfterPut_ = webConfig;
    SLOG_INFO(WEB, "**** handlePut {}, isFileName={}", target, key.isFileName);

    bool save = false;
    {
        std::lock_guard<std::mutex> lock(putMutex_);
        const Route* row = findRoute(key.hash, RestMethod::PUT);
        RestHandled handled = RestHandled::Unknown;
        if (row) {
            const RestRequest req{key, target, body, token};
            try {
                handled = dispatch(*row, req, out);
            } catch (const std::exception& e) {
                SLOG_THROTTLED(logs_, WEB, ERROR, "handlePut {} failed: {}", target, e.what());
                _response(out, RESPONSE_CODE::FAILED, "Internal error");
                handled = RestHandled::AnsweredNoSave;
            } catch (...) {
                SLOG_THROTTLED(logs_, WEB, ERROR, "handlePut {} failed", target);
                _response(out, RESPONSE_CODE::FAILED, "Internal error");
                handled = RestHandled::AnsweredNoSave;
            }
        }
        if (handled == RestHandled::Unknown)
            _response(out, RESPONSE_CODE::NOT_FOUND, "");
        else
            save = handled == RestHandled::Answered && row->save;
    }
    if (save && !recipe_.saveToJson()) _answerNotStored(out);
    applyUpgradeRule(target, out);
}

void RestAPI::applyUpgradeRule(std::string_view target, fss::stringHuge& out) {
    constexpr std::string_view kUpgrade = "/system/upgrade/";
    const size_t at = target.find(kUpgrade);
    if (at == std::string_view::npos) return;
    const std::string_view name = target.substr(at + kUpgrade.size());
    if (!validUpgradeName(name)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Invalid upgrade file name {}", name);
        _response(out, RESPONSE_CODE::FAILED, "Invalid file name");
        return;
    }
    const std::string file = std::string(name) + ".tar.gz";
    SLOG_INFO(WEB, "Update file name {}", file);
    if (_systemUpgrade(file))
        _response(out, RESPONSE_CODE::SUCCESS, "");
    else
        _response(out, RESPONSE_CODE::FAILED, "Fail to send the upgrade request");
}

void RestAPI::handlePostPut(std::string_view target, fss::stringHuge& out) {
    const bool import = importAfterPut_;
    importAfterPut_ = false;
    if (!import || !namesWebConfig(target)) return;
    if (!recipe_.importRecipe(scada_paths::CONFIG_FILE_WEBLINK())) _response(out, RESPONSE_CODE::FAILED, kNotStored);
    // Every component takes the imported recipe, as at start-up.
    recipe_.triggerReload(SCADA_MASK_INITIAL);
}
