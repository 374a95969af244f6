#pragma once
// The REST API behind the HTTP server. The server thread runs every handler; a handler writes its
// JSON answer into the 1 MiB buffer it is given.
//
// Routes are not matched as strings: the target is normalised into a path pattern in which every
// numeric segment becomes "?" (parseTarget), the pattern is hashed to a 32-bit key, and the key
// and method select one row of the route table. The numbers taken out of the path reach the
// handler as ids. Every route but a few whitelisted ones needs a valid login token.
//
// Handlers are RestAPI members: the management routes in rest_system.cpp, the field-side routes
// (probes, controllers, LoRa, live data, trends, uploads) in rest_field.cpp. A handler that
// reports RestHandled::Unknown is answered as an unknown route.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "recipe/json_codec.h"
#include "utils/fss.h"
#include "utils/log.h"

class RecipeDataGuard;
class LiveDataGuard;
class EnvGuard;
class VarEngine;
class DatabaseProxy;

enum class RESPONSE_CODE : int {
    SUCCESS = 200,
    NOT_FOUND = 404,
    FAILED = 1001,
    INVALID_TOKEN = 1002,
};

// What the HTTP server needs of the REST API. Tests plug in their own.
class RestEndpoints {
public:
    virtual ~RestEndpoints() = default;
    // Before a GET: side effects on the target only (no answer).
    virtual void handlePreGet(std::string_view target) = 0;
    // True when the route answered into `out`; false sends the static file of that name.
    virtual bool handleGet(std::string_view target, const std::string& body, std::string_view token,
                           fss::stringHuge& out) = 0;
    // Always answers into `out` (an empty text is a valid answer).
    virtual void handlePut(std::string_view target, const std::string& body, std::string_view token,
                           fss::stringHuge& out) = 0;
    // After every PUT, whatever handlePut did; may change the answer in `out`.
    virtual void handlePostPut(std::string_view target, fss::stringHuge& out) = 0;
    // Asked right after handleGet returned false: true when the static file at `path` (as
    // normaliseWebPath gives it) may be served although it resolves outside the document root,
    // because that GET's token check let it through. Everything else stays inside the root.
    virtual bool fileMayLeaveRoot(std::string_view /*path*/) { return false; }
};

// The file a request target names, as the static files and the token rule see it.
struct WebPath {
    std::string path;     // "/" or "/a/b": no query, no fragment, no "//", no "." or ".." segment,
                          // no trailing '/'
    bool dotdot = false;  // the decoded path held ".." somewhere (static files refuse it)
};
// The target up to its first '?' or '#', percent-decoded, with empty and "." segments dropped,
// ".." segments resolved and the trailing '/' removed. nullopt when it names no file under the
// root: no leading '/', a malformed escape, a control character, or a ".." above the root.
std::optional<WebPath> normaliseWebPath(std::string_view target);
// The web copy of the configuration, the one file whose GET needs a token however it is spelt.
inline constexpr std::string_view kWebConfigPath = "/parameter.json";

// Endpoints of a server built without a REST API: every GET goes to the static files, every PUT
// answers code 404 "Not Found".
class UnknownRoutes : public RestEndpoints {
public:
    void handlePreGet(std::string_view) override {}
    bool handleGet(std::string_view, const std::string&, std::string_view, fss::stringHuge& out) override;
    void handlePut(std::string_view, const std::string&, std::string_view, fss::stringHuge& out) override;
    void handlePostPut(std::string_view, fss::stringHuge&) override {}
};

// ---- route keys -----------------------------------------------------------------------------

// The multiplicative string hash (multiplier 31, modulo 2^32) of a path pattern; 0 for "".
constexpr uint32_t route(std::string_view pattern) {
    uint32_t h = 0;
    for (char c : pattern) h = h * 31u + static_cast<unsigned char>(c);
    return h;
}

struct RouteKey {
    uint32_t hash = 0;
    int32_t id0 = -1;  // first numeric segment, -1 when absent
    int32_t id1 = -1;  // second numeric segment
    bool isFileName = false;
    fss::str64 pattern;  // the normalised path ("/probe/settings/?")
};

// At most the first 64 bytes of the target are split at '/' (empty segments vanish). A segment
// that reads as a decimal int32 the way std::stoi does ("12abc" is 12, " -3" is -3) becomes "?";
// a digit run that does not fit int32 stays text. isFileName looks at the suffix of the file the
// target names (normaliseWebPath; the target without its query when that fails): a query string
// never makes a route a file.
RouteKey parseTarget(std::string_view target);

// A multipart/form-data body of one part: (content, content type). content runs from the end of
// the part's header to the end of the body; content type from "Content-Type: " to the end of the
// part's header. nullopt (an unusable upload) without "\r\n\r\n" or without "Content-Type: " in
// the part's header.
std::optional<std::pair<std::string_view, std::string_view>> parseFormData(std::string_view body);

// The package name of an upgrade order: [A-Za-z0-9._-], not starting with '-' or '.', without
// "..", and short enough that name + ".tar.gz" fits 32 bytes.
bool validUpgradeName(std::string_view name);

enum class RestMethod : uint8_t { GET, PUT };

// What a handler did.
enum class RestHandled : uint8_t {
    Unknown,         // not served here (yet): answered as an unknown route
    Answered,        // answered; a PUT row marked for saving saves parameter.json
    AnsweredNoSave,  // answered; parameter.json is not saved whatever the row says
};

struct RestRequest {
    RouteKey key;
    std::string_view target;
    const std::string& body;
    std::string_view token;
};

class RestAPI : public RestEndpoints {
public:
    struct Options {
        std::string pingProgram = "ping";  // the ping worker's program
        std::chrono::milliseconds upgradeStatusTimeout{1500};
        std::chrono::milliseconds releaseNotesConnectTimeout{5000};
        std::chrono::milliseconds releaseNotesTimeout{10000};
    };

    RestAPI(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, VarEngine& vars, DatabaseProxy& history);
    RestAPI(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, VarEngine& vars, DatabaseProxy& history,
            Options options);
    ~RestAPI() override;
    RestAPI(const RestAPI&) = delete;
    RestAPI& operator=(const RestAPI&) = delete;

    void handlePreGet(std::string_view target) override;
    bool handleGet(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override;
    void handlePut(std::string_view target, const std::string& body, std::string_view token,
                   fss::stringHuge& out) override;
    void handlePostPut(std::string_view target, fss::stringHuge& out) override;
    bool fileMayLeaveRoot(std::string_view path) override;

    // 0 for a whitelisted key (no token needed), 1 otherwise.
    static int _needTokenCmd(unsigned hash);

    // The common answer: {"code":<code>,"msg":"<msg>"} laid out over three lines; an empty
    // message reads "OK" for 200 and "Not Found" for 404. The message is cut at 64 bytes and
    // escaped.
    static void _response(fss::stringHuge& out, RESPONSE_CODE code, std::string_view msg);
    // A change in force that parameter.json could not store: an answer that would report success
    // (empty, or code 200) answers 1001 kNotStored instead. Other answers stay.
    static void _answerNotStored(fss::stringHuge& out);
    static constexpr std::string_view kNotStored = "Changed but not saved: in force until the restart";
    // The cloud settings are not changed when they cannot be stored (orvane-lte reads the file).
    static constexpr std::string_view kCloudNotStored = "Not saved: the cloud link keeps its settings";
    // A whole body from one writer: f(char* dst, int room) -> characters written or -1. The
    // indentation level starts at 0. A body that does not fit answers 1001 "Answer too large".
    template <class F>
    static void _answer(fss::stringHuge& out, F&& f);
    // A body already built as text (same size rule).
    static void _answerText(fss::stringHuge& out, std::string_view text);
    static constexpr int kAnswerRoom = 1048574;

    // One row of the route table.
    using Handler = RestHandled (RestAPI::*)(const RestRequest&, fss::stringHuge&);
    enum class Owner : uint8_t { System, Field };
    struct Route {
        uint32_t key;
        RestMethod method;
        Owner owner;
        bool save;  // PUT: parameter.json saved after the case
        Handler handler;
        const char* path;
    };
    static const Route* findRoute(uint32_t key, RestMethod method);
    static std::pair<const Route*, size_t> routes();

    const Options& options() const { return opts_; }

    // ---- management routes (rest_system.cpp) ----
    RestHandled _getLanSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setLanSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getWanSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setWanSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getWirelessSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setWirelessSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setDHCPDSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setSysDateTime(const RestRequest&, fss::stringHuge&);
    RestHandled _pingHost(const RestRequest&, fss::stringHuge&);
    RestHandled _pingOutput(const RestRequest&, fss::stringHuge&);
    RestHandled _auth(const RestRequest&, fss::stringHuge&);
    RestHandled _getSysSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setSysSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getSystemUpgradeInfo(const RestRequest&, fss::stringHuge&);
    RestHandled _systemUpgradeStatus(const RestRequest&, fss::stringHuge&);
    RestHandled _reboot(const RestRequest&, fss::stringHuge&);
    RestHandled _restart(const RestRequest&, fss::stringHuge&);
    RestHandled _getCellularSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setCellularSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getLteSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getCloudSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setCloudSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getModbusRTUSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setModbusRTUSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getFirewallRules(const RestRequest&, fss::stringHuge&);
    RestHandled _setFirewallRules(const RestRequest&, fss::stringHuge&);
    RestHandled _getPortForwardingRules(const RestRequest&, fss::stringHuge&);
    RestHandled _setPortForwardingRules(const RestRequest&, fss::stringHuge&);
    // Asks the system-service daemon to download and install the package; true when the order
    // was delivered.
    bool _systemUpgrade(std::string_view fileName);
    // Prefix length of a dotted mask (an unreadable one counts as 32); the dotted mask of a
    // prefix text (empty when it is not a number).
    static int _get_mask_size(const std::string& netmask);
    static std::string _get_mask_string(const std::string& prefixText);
    // True while a ping child runs.
    bool pingRunning() const;

    // ---- field-side routes (rest_field.cpp) ----
    RestHandled _getMeasureType(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeMeta(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeSettingsAll(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setProbeSettingsBatch(const RestRequest&, fss::stringHuge&);
    RestHandled _setProbeSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeCalibLog(const RestRequest&, fss::stringHuge&);
    RestHandled _getScanStatus(const RestRequest&, fss::stringHuge&);
    RestHandled _startScan(const RestRequest&, fss::stringHuge&);
    RestHandled _stopScan(const RestRequest&, fss::stringHuge&);
    RestHandled _probePing(const RestRequest&, fss::stringHuge&);
    RestHandled _probeDiagnose(const RestRequest&, fss::stringHuge&);
    RestHandled _probeRestore(const RestRequest&, fss::stringHuge&);
    RestHandled _replaceProbe(const RestRequest&, fss::stringHuge&);
    RestHandled _probeCalibrate(const RestRequest&, fss::stringHuge&);
    RestHandled _probeChangeAddr(const RestRequest&, fss::stringHuge&);
    RestHandled _probeSetValue(const RestRequest&, fss::stringHuge&);
    RestHandled _probeConfigAddr(const RestRequest&, fss::stringHuge&);  // GET /probe/probeconfig/?
    RestHandled _probeConfig(const RestRequest&, fss::stringHuge&);      // PUT /probe/probeconfig/?
    RestHandled _probeChangeAddrBatch(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeChangeAddrResult(const RestRequest&, fss::stringHuge&);
    RestHandled _getCustomProbeMeta(const RestRequest&, fss::stringHuge&);
    RestHandled _addKelvaProbe(const RestRequest&, fss::stringHuge&);
    RestHandled _addCustomProbe(const RestRequest&, fss::stringHuge&);
    RestHandled _getAnalogInput(const RestRequest&, fss::stringHuge&);
    RestHandled _setAnalogInput(const RestRequest&, fss::stringHuge&);
    RestHandled _getAnalogInputs(const RestRequest&, fss::stringHuge&);
    RestHandled _getControllerSettings(const RestRequest&, fss::stringHuge&);  // all, or one (id0)
    RestHandled _setControllerSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getControllerInputRegSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setControllerInputRegSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getControllerOutputRegSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setControllerOutputRegSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _addControllerOutput(const RestRequest&, fss::stringHuge&);
    RestHandled _getControlLoops(const RestRequest&, fss::stringHuge&);
    RestHandled _setControlLoop(const RestRequest&, fss::stringHuge&);
    RestHandled _getLoraSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _setLoraSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getLoraDevices(const RestRequest&, fss::stringHuge&);
    RestHandled _setLoraDeviceSettings(const RestRequest&, fss::stringHuge&);
    RestHandled _getMBRegAddr(const RestRequest&, fss::stringHuge&);  // probe or analog values
    RestHandled _getLoRaMBRegAddr(const RestRequest&, fss::stringHuge&);
    RestHandled _getSystemLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _getProbeLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _getLoraLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _getLteLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _getControllerLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _getAnalogLiveData(const RestRequest&, fss::stringHuge&);
    RestHandled _get_livedata(const RestRequest&, fss::stringHuge&);
    RestHandled _trendData(const RestRequest&, fss::stringHuge&);
    RestHandled _upload(const RestRequest&, fss::stringHuge&);

protected:
    // Runs one row's handler (tests put a failing one in its place).
    virtual RestHandled dispatch(const Route& row, const RestRequest& req, fss::stringHuge& out) {
        return (this->*row.handler)(req, out);
    }

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    EnvGuard& env_;
    VarEngine& vars_;
    DatabaseProxy& history_;
    Options opts_;
    LogThrottles logs_;  // the warnings a request can cause, one throttle per kind

private:
    // The last ping: held by the API and by the detached worker of a running ping.
    struct PingState {
        std::mutex mutex;
        std::string output;  // at most 8192 bytes
        bool running = false;
        int exitCode = 0;
    };
    static void pingWorker(std::shared_ptr<PingState> state, std::string program, std::string address, int count);
    RestHandled answerNetwork(fss::stringHuge& out, bool lan);

    // True when the token may use this key (whitelisted, or a live session's token). A change of
    // the system section needs a token although reading it does not.
    // `always`: the target names the configuration's web copy, which no whitelisted key opens.
    bool tokenAccepted(uint32_t hash, RestMethod method, std::string_view token, bool always = false);
    // Links the web copy of the configuration (web/parameter.json) when nothing is there yet.
    void makeWebCopy();
    void applyUpgradeRule(std::string_view target, fss::stringHuge& out);

    std::shared_ptr<PingState> ping_ = std::make_shared<PingState>();
    std::mutex putMutex_;  // held while a PUT handler runs; taken before any store mutex
    bool importAfterPut_ = false;  // the last PUT of /parameter.json carried a valid token
    bool webCopyGranted_ = false;  // the last GET of /parameter.json carried a valid token

    // ---- field-side working copies (rest_field.cpp) ----
    // Copies of live blocks, probe items, a controller and the trend result, on the heap and
    // reused by every request; its mutex is taken after putMutex_ and before any store mutex.
    struct FieldScratch;
    struct FieldScratchDelete {
        void operator()(FieldScratch* p) const;
    };
    FieldScratch& fieldScratch();
    std::once_flag fieldOnce_;
    std::unique_ptr<FieldScratch, FieldScratchDelete> field_;
};

template <class F>
void RestAPI::_answer(fss::stringHuge& out, F&& f) {
    gIndentLevelForWriteJsonP = 0;
    const int n = f(out.data(), kAnswerRoom);
    gIndentLevelForWriteJsonP = 0;
    if (n < 0 || n > kAnswerRoom) {
        _response(out, RESPONSE_CODE::FAILED, "Answer too large");
        return;
    }
    out.setLength(static_cast<uint32_t>(n));
}
