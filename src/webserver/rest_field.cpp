// Field-side routes of the REST API: probes, analog inputs, controllers, control loops, LoRa,
// register addresses, live data, trends and uploads.
//
// Every handler copies what it needs out of a store under that store's mutex and writes its
// answer outside it. Probe commands go to EnvGuard's mailbox after the recipe mutex is released;
// a command that the mailbox refuses (busy, index out of range) answers 1001, except on the
// settings routes, whose recipe change stands and answers 200 whatever became of the command.
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "database/database.h"
#include "env/env_guard.h"
#include "env/probe_live_sync.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "platform/paths.h"
#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"
#include "webserver/rest_api.h"
#include "webserver/rest_bodies.h"

struct RestAPI::FieldScratch {
    std::mutex mutex;
    ProbeRecipeItems items;  // probe items as copied out of the recipe
    ProbeRecipeItems fresh;  // items of a batch body
    ProbeLiveData probe;
    SystemLiveData system;
    LteLiveData lte;
    LoraLiveData lora;
    ControllerLiveData controller;
    // The controller answer is rendered again only when what it shows changed since.
    ControllerLiveData controllerShown;
    std::string controllerText;
    AnalogLiveData analog;
    LogQueryResult trend;
    MBTcpClientItem client;
    std::array<LoopRecipeVariant, kControlLoopCount> loops{};
    std::array<LoraDeviceRecipeItem, kLoraDeviceCount> loraDevices{};
    std::array<AIRecipeItem, kAnalogInputCount> ai{};
};

void RestAPI::FieldScratchDelete::operator()(FieldScratch* p) const { delete p; }

RestAPI::FieldScratch& RestAPI::fieldScratch() {
    std::call_once(fieldOnce_, [this] { field_.reset(new FieldScratch); });
    return *field_;
}

namespace {

using Lock = std::lock_guard<StoreMutex>;
constexpr RestHandled kAnswered = RestHandled::Answered;
constexpr RestHandled kNoSave = RestHandled::AnsweredNoSave;

constexpr std::string_view kRefused = "Probe command refused";
constexpr float kSpanEpsilon = 0.0001f;

// The built-in example client: what a fresh controller holds. Built once, kept for the process.
const MBTcpClientItem& exampleClient() {
    static const std::unique_ptr<const MBTcpClientItem> example = std::make_unique<MBTcpClientItem>();
    return *example;
}
const MBTcpClientInputItem& exampleInput() { return exampleClient().inputs[0]; }

const AIRecipeItem& defaultAnalogItem() {
    static const AIRecipeItem item{};
    return item;
}

// A record as the whole answer (a bare object).
template <class R>
void answerRecord(fss::stringHuge& out, const R& record) {
    RestAPI::_answer(out, [&](char* dst, int room) { return writeJsonP(record, dst, room, nullptr); });
}

template <class R, size_t N>
void answerRecords(fss::stringHuge& out, const std::array<R, N>& records, int count = static_cast<int>(N)) {
    RestAPI::_answer(out, [&](char* dst, int room) {
        return writeArray(dst, room, count, [&](int i, char* d, int r) {
            return writeJsonP(records[static_cast<size_t>(i)], d, r, nullptr);
        });
    });
}

void notFound(fss::stringHuge& out) { RestAPI::_response(out, RESPONSE_CODE::NOT_FOUND, ""); }
void ok(fss::stringHuge& out, std::string_view msg = {}) { RestAPI::_response(out, RESPONSE_CODE::SUCCESS, msg); }
void failed(fss::stringHuge& out, std::string_view msg) { RestAPI::_response(out, RESPONSE_CODE::FAILED, msg); }
void empty(fss::stringHuge& out) { out.setLength(0); }

template <class T>
constexpr bool kIsArray = false;
template <class R, size_t N>
constexpr bool kIsArray<std::array<R, N>> = true;

// A block of a store copied out under the store's mutex into the answer scratch, then written
// (an array as its list of records) while the scratch stays held.
template <class Scratch, class Block>
RestHandled answerCopy(StoreMutex& m, const Block& from, Scratch& s, Block Scratch::*into, fss::stringHuge& out) {
    std::lock_guard scratch(s.mutex);
    {
        Lock lk(m);
        s.*into = from;
    }
    if constexpr (kIsArray<Block>)
        answerRecords(out, s.*into);
    else
        answerRecord(out, s.*into);
    return kAnswered;
}

// A probe command's answer: 1001 kRefused when the probe service did not take it, else the
// route's own answer (empty, or the success response).
RestHandled commandAnswer(bool accepted, fss::stringHuge& out, bool withResponse = false) {
    if (!accepted) {
        failed(out, kRefused);
        return kNoSave;
    }
    if (withResponse)
        ok(out);
    else
        empty(out);
    return kAnswered;
}

bool spanChanged(float before, float after) { return std::fabs(after - before) >= kSpanEpsilon; }

// The 4-20 mA span command for probe item `slot`: NaN marks the side that stays.
ConfigCmdPack spanCommand(int slot, const ProbeMeasureRecipeItem& before, const ProbeMeasureRecipeItem& after) {
    ConfigCmdPack pack;
    pack.probeId = static_cast<uint32_t>(slot);
    pack.param = -1;
    pack.value = 0.0f;
    pack.cmdType = CONFIG_CMD_SPAN_4_20MA;
    pack.newAddr = -1;
    pack.curAddr = -1;
    pack.reserved = 0;
    pack.mA_4 = spanChanged(before.mA_4, after.mA_4) ? after.mA_4 : std::numeric_limits<float>::quiet_NaN();
    pack.mA_20 = spanChanged(before.mA_20, after.mA_20) ? after.mA_20 : std::numeric_limits<float>::quiet_NaN();
    return pack;
}

bool spanDiffers(const ProbeMeasureRecipeItem& before, const ProbeMeasureRecipeItem& after) {
    return spanChanged(before.mA_4, after.mA_4) || spanChanged(before.mA_20, after.mA_20);
}

// The 0-based probe index of a route number; a number outside int32's reach of 1 gives an index
// that EnvGuard refuses.
uint32_t probeIndexOf(int32_t routeNumber) {
    return static_cast<uint32_t>(static_cast<int64_t>(routeNumber) - 1);
}

// The configuration pack of the set-value and address routes before the body is read.
ConfigCmdPack blankConfigPack() {
    ConfigCmdPack pack;
    pack.probeId = 0xffffffffu;  // -1
    pack.param = -1;
    pack.value = 0.0f;
    pack.cmdType = 0;
    pack.newAddr = -1;
    pack.curAddr = -1;
    pack.reserved = 0;
    return pack;
}

// A probe definition from an upload body; null when the body holds no JSON object.
std::unique_ptr<ProbeMeta> readDefinition(std::string_view body) {
    auto def = std::make_unique<ProbeMeta>();
    if (!readJson(body, *def)) return nullptr;
    return def;
}

// Recipe items hold 32-bit part numbers: a larger one would be stored cut (to 0 for 2^32, the
// mark of a free item).
constexpr std::string_view kPartNumberRange = "PN out of range";
constexpr std::string_view kProbeNotStored = "Fail to store the probe definition";
bool partNumberFits(const ProbeMeta& def) { return def.PN <= static_cast<int64_t>(std::numeric_limits<uint32_t>::max()); }

// std::stoi's reading of a CSV column (blanks, a sign, digits, anything after them ignored),
// limited to [lo, hi]; false when there is no number or it does not fit.
bool csvInteger(std::string_view s, long long lo, long long hi, long long& value) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\v' || s[i] == '\f')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t digits = i;
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > hi + 1 || v > (1LL << 40)) return false;
    }
    if (i == digits) return false;
    if (negative) v = -v;
    if (v < lo || v > hi) return false;
    value = v;
    return true;
}

template <uint32_t N>
void assignText(fss::basic_str<char, N>& field, std::string_view text) {
    field.assignBytes(text.data(), std::min<size_t>(text.size(), N));
}

enum class CsvOutcome { Done, Invalid, Full, NoLine };

// Appends the CSV rows of `text` to the inputs of `client` that are not enabled. The first line
// of five or more fields is the header; shorter lines are skipped (boundary and part headers of
// a form-data body among them). A text that yields no row is NoLine: nothing was imported.
CsvOutcome importCsv(std::string_view text, MBTcpClientItem& client) {
    bool header = true;
    int taken = 0;
    size_t pos = 0;
    std::string line;
    std::vector<std::string_view> fields;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        line.clear();
        for (char c : text.substr(pos, end - pos))
            if (c != '\r') line.push_back(c);
        pos = end + 1;

        fields.clear();
        size_t at = 0;
        for (;;) {
            const size_t comma = line.find(',', at);
            fields.emplace_back(std::string_view(line).substr(at, comma == std::string::npos ? std::string::npos : comma - at));
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        if (fields.size() < 5) continue;
        if (header) {
            header = false;
            continue;
        }
        if (fields.size() < 7) return CsvOutcome::Invalid;
        long long regAddr = 0, regLen = 0, precision = 0;
        if (!csvInteger(fields[2], std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), regAddr) ||
            !csvInteger(fields[3], std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), regLen) ||
            !csvInteger(fields[6], std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), precision))
            return CsvOutcome::Invalid;
        MBTcpClientInputItem* slot = nullptr;
        for (auto& input : client.inputs)
            if (!input.enable) {
                slot = &input;
                break;
            }
        if (!slot) return CsvOutcome::Full;
        assignText(slot->regName, fields[0]);
        assignText(slot->custName, fields[1]);
        slot->regAddr = static_cast<int32_t>(regAddr);
        slot->regLen = static_cast<int16_t>(regLen);
        assignText(slot->dataType, fields[4]);
        assignText(slot->unit, fields[5]);
        slot->precision = static_cast<int16_t>(precision);
        slot->enable = true;
        ++taken;
    }
    return taken > 0 ? CsvOutcome::Done : CsvOutcome::NoLine;
}

// The media type of a part's Content-Type value, in lower case: its first line, up to any
// parameter (";"), without the blanks around it.
std::string mediaType(std::string_view contentType) {
    contentType = contentType.substr(0, contentType.find_first_of("\r\n"));
    contentType = contentType.substr(0, contentType.find(';'));
    const size_t first = contentType.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    contentType = contentType.substr(first, contentType.find_last_not_of(" \t") - first + 1);
    std::string type(contentType);
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type;
}

// True when the two blocks show the same ids, values (bit for bit) and connection flags.
bool sameControllerView(const ControllerLiveData& a, const ControllerLiveData& b) {
    auto same = [](const std::array<ControllerBlock, kControllers>& x, const std::array<ControllerBlock, kControllers>& y) {
        for (size_t i = 0; i < x.size(); ++i)
            if (x[i].id != y[i].id || std::memcmp(x[i].values.data(), y[i].values.data(), sizeof x[i].values) != 0)
                return false;
        return true;
    };
    return a.connected == b.connected && same(a.inputs, b.inputs) && same(a.outputs, b.outputs);
}

// True when the object closes and holds at least one top-level key of parameter.json.
bool holdsRecipeSection(std::string_view object) {
    const JsonMembers members(object);
    if (!members.closed()) return false;
    for (const char* key : kRecipeDocumentKeys)
        if (members.has(key)) return true;
    return false;
}

// At most this much of an upload goes into a log line.
std::string_view logCut(std::string_view text) { return text.substr(0, 256); }

}  // namespace

// ---- probes ---------------------------------------------------------------------------------

RestHandled RestAPI::_getMeasureType(const RestRequest&, fss::stringHuge& out) {
    const auto& types = env_.measureTypes;
    _answer(out, [&](char* dst, int room) {
        return writeArray(dst, room, static_cast<int>(types.size()), [&](int i, char* d, int r) {
            return writeJsonP(types[static_cast<size_t>(i)].name.c_str(), d, r, nullptr);
        });
    });
    return kAnswered;
}

RestHandled RestAPI::_getProbeMeta(const RestRequest&, fss::stringHuge& out) {
    _answerText(out, env_.getProbeLibraryJson());
    return kAnswered;
}

RestHandled RestAPI::_getProbeSettingsAll(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(recipe_.mutex, recipe_.recipe.sensors, fieldScratch(), &FieldScratch::items, out);
}

RestHandled RestAPI::_getProbeSettings(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    if (n < 1 || n > kProbeItemCount) return _getProbeSettingsAll(req, out);
    ProbeMeasureRecipeItem item;
    {
        Lock lk(recipe_.mutex);
        item = recipe_.recipe.sensors[static_cast<size_t>(n - 1)];
    }
    answerRecord(out, item);
    return kAnswered;
}

RestHandled RestAPI::_setProbeSettings(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    if (n < 1 || n > kProbeItemCount) {
        notFound(out);
        return kNoSave;
    }
    const BodyCheck body = checkRecord<ProbeMeasureRecipeItem>(req.body);
    if (!body) return refuse(out, body, logs_);
    const size_t slot = static_cast<size_t>(n - 1);
    ProbeMeasureRecipeItem before, after;
    {
        Lock lk(recipe_.mutex);
        ProbeMeasureRecipeItem& item = recipe_.recipe.sensors[slot];
        before = item;
        readSectionBody(item, body.body, ProbeMeasureRecipeItem{});
        after = item;
    }
    if (spanDiffers(before, after)) env_.set_probeConfig(spanCommand(n - 1, before, after));
    recipe_.buildReferenceForSensor();
    recipe_.triggerReload(SCADA_MASK_PROBE);
    ok(out);
    return kAnswered;
}

RestHandled RestAPI::_setProbeSettingsBatch(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body =
        checkBody(req.body, recipeBodySchema<ProbeMeasureRecipeItem>(), BodyShape::array, kProbeItemCount);
    if (!body) return refuse(out, body, logs_);
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    for (auto& item : s.fresh) item = ProbeMeasureRecipeItem{};
    const int read = forEachJsonArrayElementP(body.body, kProbeItemCount, [&](int k, std::string_view element) {
        readSectionBody(s.fresh[static_cast<size_t>(k)], element, ProbeMeasureRecipeItem{});
    });

    for (int k = 0; k < read; ++k) {
        const ProbeMeasureRecipeItem& fresh = s.fresh[static_cast<size_t>(k)];
        if (fresh.id >= 1 && fresh.id <= kProbeItemCount) SLOG_WARN(WEB, "Probe ID: {}, PN: {}", fresh.id, fresh.pn);
    }
    std::array<bool, kProbeItemCount> touched{};
    {
        Lock lk(recipe_.mutex);
        auto& items = recipe_.recipe.sensors;
        s.items = items;  // the spans before the batch
        for (int k = 0; k < read; ++k) {
            const ProbeMeasureRecipeItem& fresh = s.fresh[static_cast<size_t>(k)];
            if (fresh.id < 1 || fresh.id > kProbeItemCount) continue;
            items[static_cast<size_t>(fresh.id - 1)] = fresh;
            touched[static_cast<size_t>(fresh.id - 1)] = true;
        }
        for (size_t i = 0; i < touched.size(); ++i)
            if (touched[i]) s.fresh[i] = items[i];  // the items as they are now, for the commands
    }
    for (size_t i = 0; i < touched.size(); ++i)
        if (touched[i] && spanDiffers(s.items[i], s.fresh[i]))
            env_.set_probeConfig(spanCommand(static_cast<int>(i), s.items[i], s.fresh[i]));
    recipe_.buildReferenceForSensor();
    recipe_.triggerReload(SCADA_MASK_PROBE);
    ok(out);
    return kAnswered;
}

RestHandled RestAPI::_getProbeCalibLog(const RestRequest& req, fss::stringHuge& out) {
    const int s = req.key.id0;
    if (s < 0 || s >= kProbeItemCount) {
        empty(out);
        return kAnswered;
    }
    uint32_t sn = 0;
    {
        Lock lk(live_.mutex());
        sn = live_.data().probe.items[static_cast<size_t>(s)].SN;
    }
    uint32_t pn = 0;
    text32 name;
    {
        Lock lk(recipe_.mutex);
        pn = recipe_.recipe.sensors[static_cast<size_t>(s)].pn;
        name = recipe_.recipe.sensors[static_cast<size_t>(s)].name;
    }
    env_.getCalibLogJsonString(fmt::format("{}_{}_{}", pn, sn, name.c_str()), out);
    return kAnswered;
}

RestHandled RestAPI::_getScanStatus(const RestRequest&, fss::stringHuge& out) {
    const ScanProbeStatus status = env_.getScanProbeStatus();
    answerRecord(out, status);
    return kAnswered;
}

RestHandled RestAPI::_startScan(const RestRequest&, fss::stringHuge& out) {
    env_.startScan(SCAN_MODE::DEFAULT, 0);
    empty(out);
    return kAnswered;
}

RestHandled RestAPI::_stopScan(const RestRequest&, fss::stringHuge& out) {
    env_.stopScan();
    empty(out);
    return kAnswered;
}

RestHandled RestAPI::_probePing(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ProbeIndexPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    ProbeIndexPack pack;
    readJsonP(pack, body.body);
    return commandAnswer(env_.set_probePing(pack.idxMeasure), out);
}

RestHandled RestAPI::_probeDiagnose(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ProbeIndexPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    ProbeIndexPack pack;
    readJsonP(pack, body.body);
    return commandAnswer(env_.set_probeDiagnose(pack.idxMeasure), out);
}

RestHandled RestAPI::_probeRestore(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ProbeIndexPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    int32_t index = -1;
    readJsonP(index, findJsonKeyP(restBodyObject(body.body), "idxMeasure"));
    return commandAnswer(env_.set_restoreCmd(RestoreCmdPack{static_cast<uint32_t>(index)}), out);
}

RestHandled RestAPI::_replaceProbe(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ReplaceProbeCmdPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    ReplaceProbeCmdPack pack{};
    readJsonP(pack, body.body);
    return commandAnswer(env_.replaceProbe(pack), out);
}

RestHandled RestAPI::_probeCalibrate(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<CalbCmdPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    CalbCmdPack pack;
    pack.probeId = 0xffffffffu;
    readJsonP(pack, body.body);
    return commandAnswer(env_.set_calibCmd(pack), out);
}

// Shared by PUT /probe/setvalue/? and PUT /probe/probeconfig/?: values and spans go to the
// probe; a custom name only concerns the recipe.
RestHandled RestAPI::_probeSetValue(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ConfigCmdPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    ConfigCmdPack pack = blankConfigPack();
    readJsonP(pack, body.body);
    pack.probeId = probeIndexOf(req.key.id0);
    bool accepted = false;
    switch (pack.cmdType) {
        case CONFIG_CMD_CHANGE_ADDR:
        case CONFIG_CMD_SPAN_4_20MA:
        case CONFIG_CMD_WRITE_VALUE: accepted = env_.set_probeConfig(pack); break;
        case CONFIG_CMD_CUSTOM_NAME: accepted = env_.set_probeCustname(pack) == 0; break;
        default:
            failed(out, "Unsupported configuration type");
            return kNoSave;
    }
    return commandAnswer(accepted, out, true);
}

RestHandled RestAPI::_probeConfig(const RestRequest& req, fss::stringHuge& out) { return _probeSetValue(req, out); }

RestHandled RestAPI::_probeChangeAddr(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<ConfigCmdPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    ConfigCmdPack pack = blankConfigPack();
    readJsonP(pack, body.body);
    pack.probeId = probeIndexOf(req.key.id0);
    return commandAnswer(env_.set_probeAddr(pack), out, true);
}

RestHandled RestAPI::_probeConfigAddr(const RestRequest& req, fss::stringHuge& out) { return _probeChangeAddr(req, out); }

RestHandled RestAPI::_probeChangeAddrBatch(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkBody(req.body, packBodySchema<ChangeAddrItemPack>(), BodyShape::array,
                                     static_cast<int>(kChangeAddrBatchSize));
    if (!body) return refuse(out, body, logs_);
    ChangeAddrBatch batch{};
    readJsonP(batch, body.body);
    std::vector<int> addresses;
    for (const ChangeAddrItemPack& item : batch)
        if (item.addr != 0) addresses.push_back(item.addr);
    env_.setLastScannedSlaveIDs(addresses);
    env_.set_probeAddBatch(batch, true);
    empty(out);
    return kAnswered;
}

RestHandled RestAPI::_getProbeChangeAddrResult(const RestRequest&, fss::stringHuge& out) {
    const ProbeChangeAddrResult result = env_.getChangeAddrResult();
    answerRecord(out, result);
    return kAnswered;
}

RestHandled RestAPI::_getCustomProbeMeta(const RestRequest& req, fss::stringHuge& out) {
    if (!env_.getCustomProbeMeta(req.key.id0, out)) empty(out);
    return kAnswered;
}

RestHandled RestAPI::_addKelvaProbe(const RestRequest& req, fss::stringHuge& out) {
    const std::unique_ptr<ProbeMeta> def = readDefinition(req.body);
    if (!def) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Probe upload: JSON parse failed: {}", "no JSON object in the body");
        failed(out, "Invalid JSON - could not parse probe file");
        return kNoSave;
    }
    if (!partNumberFits(*def)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Probe upload: part number {} out of range", def->PN);
        failed(out, kPartNumberRange);
        return kNoSave;
    }
    if (def->PN <= 0 || def->ModelName.empty() || def->Readings.empty()) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Probe upload: incomplete definition (PN={}, model='{}', readings={})",
                       def->PN, def->ModelName.c_str(), def->Readings.size());
        failed(out, "Probe file must include PN, ModelName and at least one Reading");
        return kNoSave;
    }
    bool stored = false;
    const uint32_t pn = env_.addCustomProbe(*def, &stored);
    if (!stored) {
        failed(out, kProbeNotStored);
        return kNoSave;
    }
    SLOG_INFO(WEB, "Probe uploaded: PN={}, model={}", pn, def->ModelName.c_str());
    ok(out, fmt::format("Probe {} ({}) uploaded", pn, def->ModelName.c_str()));
    return kAnswered;
}

RestHandled RestAPI::_addCustomProbe(const RestRequest& req, fss::stringHuge& out) {
    const std::unique_ptr<ProbeMeta> def = readDefinition(req.body);
    if (!def) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Probe upload: JSON parse failed: {}", "no JSON object in the body");
        failed(out, "Invalid JSON - could not parse probe file");
        return kNoSave;
    }
    if (!partNumberFits(*def)) {
        SLOG_THROTTLED(logs_, WEB, WARN, "Probe upload: part number {} out of range", def->PN);
        failed(out, kPartNumberRange);
        return kNoSave;
    }
    bool stored = false;
    const uint32_t pn = env_.addCustomProbe(*def, &stored);
    if (!stored) {
        failed(out, kProbeNotStored);
        return kNoSave;
    }
    const auto addr = static_cast<int16_t>(def->ModbusAddr);
    bool full = false;
    {
        // One hold: the probe service may change items between a copy and its write-back.
        Lock lk(recipe_.mutex);
        auto& items = recipe_.recipe.sensors;
        int next = EnvGuard::findNextDisplayId(items);
        for (auto& item : items)
            if (item.pn == pn && item.modbusAddr == addr) {
                const int16_t id = item.id;
                item = ProbeMeasureRecipeItem{};
                item.id = id;
            }
        for (const ReadingItem& r : def->Readings) {
            if (r.RegAddress == 0) continue;
            ProbeMeasureRecipeItem* slot = nullptr;
            for (auto& item : items)
                if (item.pn == 0) {
                    slot = &item;
                    break;
                }
            if (!slot) {
                full = true;
                break;
            }
            slot->pn = pn;
            slot->modbusAddr = addr;
            slot->name = r.Name;
            slot->custName = r.Name;
            slot->unit = r.Unit;
            slot->displayUnit = r.DisplayUnit;
            slot->precision = static_cast<int16_t>(r.Decimal);
            slot->enable = true;
            slot->display = true;
            slot->displayId = static_cast<int16_t>(next++);
        }
    }
    recipe_.buildReferenceForSensor();
    recipe_.triggerReload(SCADA_MASK_PROBE);
    if (full)
        failed(out, "Exceed the maximal number");
    else
        ok(out, std::to_string(pn));
    return kAnswered;
}

// ---- analog inputs --------------------------------------------------------------------------

RestHandled RestAPI::_getAnalogInput(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    AIRecipeItem item = defaultAnalogItem();
    if (n >= 1 && n <= kAnalogInputCount) {
        Lock lk(recipe_.mutex);
        item = recipe_.recipe.ai[static_cast<size_t>(n - 1)];
    }
    answerRecord(out, item);
    return kAnswered;
}

RestHandled RestAPI::_setAnalogInput(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    if (n < 1 || n > kAnalogInputCount) {
        notFound(out);
        return kNoSave;
    }
    const BodyCheck body = checkRecord<AIRecipeItem>(req.body);
    if (!body) return refuse(out, body, logs_);
    {
        Lock lk(recipe_.mutex);
        AIRecipeItem& item = recipe_.recipe.ai[static_cast<size_t>(n - 1)];
        AIRecipeItem reset = defaultAnalogItem();
        reset.reg = item.reg;  // the board's register of this input stays
        readSectionBody(item, body.body, reset);
    }
    recipe_.triggerReload(SCADA_MASK_PROBE_RELOAD);
    ok(out);
    return kAnswered;
}

RestHandled RestAPI::_getAnalogInputs(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(recipe_.mutex, recipe_.recipe.ai, fieldScratch(), &FieldScratch::ai, out);
}

// ---- controllers ----------------------------------------------------------------------------

RestHandled RestAPI::_getControllerSettings(const RestRequest& req, fss::stringHuge& out) {
    const int c = req.key.id0;
    if (c > kMBTcpClientCount) {
        notFound(out);
        return kAnswered;
    }
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    auto copy = [&](int index) {
        Lock lk(recipe_.mutex);
        s.client = recipe_.recipe.mbTcpClient[static_cast<size_t>(index)];
    };
    if (c >= 1) {
        copy(c - 1);
        answerRecord(out, s.client);
        return kAnswered;
    }
    _answer(out, [&](char* dst, int room) {
        return writeArray(dst, room, kMBTcpClientCount, [&](int i, char* d, int r) {
            copy(i);
            return writeJsonP(s.client, d, r, nullptr);
        });
    });
    return kAnswered;
}

RestHandled RestAPI::_setControllerSettings(const RestRequest& req, fss::stringHuge& out) {
    const int c = req.key.id0;
    if (c < 1) {
        notFound(out);
        return kNoSave;
    }
    if (c > kMBTcpClientCount) {
        empty(out);
        return kNoSave;
    }
    const BodyCheck body = checkRecord<MBTcpClientItem>(req.body);
    if (!body) return refuse(out, body, logs_);
    {
        Lock lk(recipe_.mutex);
        readSectionBody(recipe_.recipe.mbTcpClient[static_cast<size_t>(c - 1)], body.body, exampleClient());
    }
    recipe_.triggerReload(SCADA_MASK_MBTCP_CLIENT);
    ok(out);
    return kAnswered;
}

namespace {

// GET /controller/c/input|output/n: item n of controller c (the built-in example's for c = 0 or
// below); 404 for a controller beyond 8 or an item outside 1..128. `pick` selects the list.
template <class Pick>
RestHandled answerControllerIo(RecipeDataGuard& recipe, const RestRequest& req, fss::stringHuge& out,
                               const MBTcpClientItem& example, Pick pick) {
    const int c = req.key.id0, n = req.key.id1;
    if (c > kMBTcpClientCount || n < 1 || n > kMBTcpClientIoCount) {
        notFound(out);
        return kAnswered;
    }
    auto item = pick(example)[static_cast<size_t>(n - 1)];
    if (c >= 1) {
        Lock lk(recipe.mutex);
        item = pick(recipe.recipe.mbTcpClient[static_cast<size_t>(c - 1)])[static_cast<size_t>(n - 1)];
    }
    answerRecord(out, item);
    return kAnswered;
}

// PUT /controller/c/input|output/n: `store(body, client, index)` takes the body, once it holds
// nothing an Item cannot take; 404 for a controller or item outside 1..8 / 1..128.
template <class Item, class Store>
RestHandled storeControllerIo(RecipeDataGuard& recipe, LogThrottles& logs, const RestRequest& req, fss::stringHuge& out,
                              Store store) {
    const int c = req.key.id0, n = req.key.id1;
    if (c < 1 || c > kMBTcpClientCount || n < 1 || n > kMBTcpClientIoCount) {
        notFound(out);
        return kNoSave;
    }
    const BodyCheck body = checkRecord<Item>(req.body);
    if (!body) return refuse(out, body, logs);
    store(body.body, c - 1, n - 1);
    recipe.triggerReload(SCADA_MASK_MBTCP_CLIENT);
    ok(out);
    return kAnswered;
}

}  // namespace

RestHandled RestAPI::_getControllerInputRegSettings(const RestRequest& req, fss::stringHuge& out) {
    return answerControllerIo(recipe_, req, out, exampleClient(), [](auto& client) -> auto& { return client.inputs; });
}

// With an item number, that input from the body; with a negative one (the number left out), the
// body is an array of inputs that each name their own "id".
RestHandled RestAPI::_setControllerInputRegSettings(const RestRequest& req, fss::stringHuge& out) {
    if (req.key.id1 >= 0)
        return storeControllerIo<MBTcpClientInputItem>(recipe_, logs_, req, out,
                                                       [this](const std::string& body, int c, int n) {
                                                           recipe_.set_MBTcpClient_input(body, c, n);
                                                       });
    const int c = req.key.id0;
    if (c < 1 || c > kMBTcpClientCount) {
        notFound(out);
        return kNoSave;
    }
    constexpr int kMaxObjects = 30;
    const BodyCheck body =
        checkBody(req.body, recipeBodySchema<MBTcpClientInputItem>(), BodyShape::array, kMaxObjects);
    if (!body) return refuse(out, body, logs_);
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    {
        Lock lk(recipe_.mutex);
        s.client = recipe_.recipe.mbTcpClient[static_cast<size_t>(c - 1)];
    }
    forEachJsonArrayElementP(body.body, kMaxObjects, [&](int, std::string_view element) {
        const std::string_view object = restBodyObject(element);
        int32_t id = 0;
        readJsonP(id, findJsonKeyP(object, "id"));
        if (id < 1 || id > kMBTcpClientIoCount) return;
        readSectionBody(s.client.inputs[static_cast<size_t>(id - 1)], object, exampleInput());
    });
    recipe_.set_MBTcpClient(s.client, c - 1);
    recipe_.triggerReload(SCADA_MASK_MBTCP_CLIENT);
    ok(out);
    return kAnswered;
}

RestHandled RestAPI::_getControllerOutputRegSettings(const RestRequest& req, fss::stringHuge& out) {
    return answerControllerIo(recipe_, req, out, exampleClient(), [](auto& client) -> auto& { return client.outputs; });
}

RestHandled RestAPI::_setControllerOutputRegSettings(const RestRequest& req, fss::stringHuge& out) {
    return storeControllerIo<MBTcpClientOutputItem>(recipe_, logs_, req, out,
                                                    [this](const std::string& body, int c, int n) {
                                                        recipe_.set_MBTcpClient_output(body, c, n);
                                                    });
}

RestHandled RestAPI::_addControllerOutput(const RestRequest& req, fss::stringHuge& out) {
    const int c = req.key.id0, o = req.key.id1;
    if (c < 1 || c > kMBTcpClientCount || o < 1 || o > kMBTcpClientIoCount) {
        notFound(out);
        return kNoSave;
    }
    const BodyCheck body = checkPack<AddControllerOutputPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    AddControllerOutputPack pack{};
    readJsonP(pack, body.body);
    pack.controllerIndex = c - 1;
    pack.inputIndex = o - 1;
    recipe_.addControllerOutput(pack);
    recipe_.triggerReload(SCADA_MASK_MBTCP_CLIENT);
    ok(out);
    return kAnswered;
}

// ---- control loops --------------------------------------------------------------------------

RestHandled RestAPI::_getControlLoops(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(recipe_.mutex, recipe_.recipe.controlloop, fieldScratch(), &FieldScratch::loops, out);
}

// The loop manager reads its rows when it starts: an edited row applies from the next start.
RestHandled RestAPI::_setControlLoop(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    if (n < 1 || n > kControlLoopCount) {
        notFound(out);
        return kNoSave;
    }
    const size_t index = static_cast<size_t>(n - 1);
    LoopRecipeVariant row;
    {
        Lock lk(recipe_.mutex);
        row = recipe_.recipe.controlloop[index];
    }
    // The keys to check are those of the kind the body's "type" chooses.
    static const BodySchema kKind{{bodyInteger("type", std::numeric_limits<long long>::min(),
                                               std::numeric_limits<long long>::max())}};
    const BodyCheck form = checkBody(req.body, kKind);
    if (!form) return refuse(out, form, logs_);
    const BodyCheck body = checkBody(form.body, controlLoopBodySchema(row, form.body));
    if (!body) return refuse(out, body, logs_);
    {
        Lock lk(recipe_.mutex);
        readControlLoopBody(recipe_.recipe.controlloop[index], body.body);
    }
    ok(out);
    return kAnswered;
}

// ---- LoRa -----------------------------------------------------------------------------------

RestHandled RestAPI::_getLoraSettings(const RestRequest&, fss::stringHuge& out) {
    LoraRecipe lora;
    {
        Lock lk(recipe_.mutex);
        lora = recipe_.recipe.lora;
    }
    answerRecord(out, lora);
    return kAnswered;
}

RestHandled RestAPI::_setLoraSettings(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkRecord<LoraRecipe>(req.body);
    if (!body) return refuse(out, body, logs_);
    ok(out);
    {
        Lock lk(recipe_.mutex);
        readSectionBody(recipe_.recipe.lora, body.body, LoraRecipe{});
    }
    recipe_.triggerReload(SCADA_MASK_LORA);
    return kAnswered;
}

RestHandled RestAPI::_getLoraDevices(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(recipe_.mutex, recipe_.recipe.loraDevice, fieldScratch(), &FieldScratch::loraDevices, out);
}

RestHandled RestAPI::_setLoraDeviceSettings(const RestRequest& req, fss::stringHuge& out) {
    const int d = req.key.id0;
    if (d < 1) {
        notFound(out);
        return kNoSave;
    }
    if (d > kLoraDeviceCount) {
        empty(out);
        return kNoSave;
    }
    const BodyCheck body = checkRecord<LoraDeviceRecipeItem>(req.body);
    if (!body) return refuse(out, body, logs_);
    LoraDeviceRecipeItem blank{};  // texts empty, numbers and flags 0, spans 4 and 20
    blank.precision = 0;
    {
        Lock lk(recipe_.mutex);
        readSectionBody(recipe_.recipe.loraDevice[static_cast<size_t>(d - 1)], body.body, blank);
    }
    recipe_.triggerReload(SCADA_MASK_LORA_DEVICE);
    ok(out);
    return kAnswered;
}

// ---- register addresses ---------------------------------------------------------------------

RestHandled RestAPI::_getMBRegAddr(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    if (n <= 0) {
        empty(out);
        return kAnswered;
    }
    const RegValType group = req.key.hash == route("/probe/mbregaddr/?") ? RegValType::PROBE_VAL : RegValType::AI_VAL;
    const int limit = group == RegValType::PROBE_VAL ? kProbeItemCount : kAnalogInputCount;
    const int reg = n <= limit ? vars_.findRegByGroupIndex(group, n - 1) : -1;
    if (reg < 1) {
        notFound(out);
        return kAnswered;
    }
    answerRecord(out, RegAddrAnswer{reg});
    return kAnswered;
}

RestHandled RestAPI::_getLoRaMBRegAddr(const RestRequest& req, fss::stringHuge& out) {
    const int d = req.key.id0, r = req.key.id1;
    if (d < 1) {
        notFound(out);
        return kAnswered;
    }
    if (d > kLoraDeviceCount) {
        empty(out);
        return kAnswered;
    }
    if (r < 0 || r >= kLoraRegisterCount) {
        notFound(out);
        return kAnswered;
    }
    const int reg = vars_.findRegByGroupIndex(RegValType::LORA_VAL, (d - 1) * kLoraRegisterCount + r);
    answerRecord(out, RegAddrAnswer{reg});
    return kAnswered;
}

// ---- live data ------------------------------------------------------------------------------

RestHandled RestAPI::_getProbeLiveData(const RestRequest&, fss::stringHuge& out) {
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    {
        Lock lk(live_.mutex());
        s.probe = live_.data().probe;
    }
    s.probe.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    syncCmdStatusFromEnv(s.probe, env_);
    answerRecord(out, s.probe);
    return kAnswered;
}

RestHandled RestAPI::_getSystemLiveData(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(live_.mutex(), live_.data().system, fieldScratch(), &FieldScratch::system, out);
}

RestHandled RestAPI::_getLteLiveData(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(live_.mutex(), live_.data().lte, fieldScratch(), &FieldScratch::lte, out);
}

RestHandled RestAPI::_getLoraLiveData(const RestRequest&, fss::stringHuge& out) {
    return answerCopy(live_.mutex(), live_.data().lora, fieldScratch(), &FieldScratch::lora, out);
}

RestHandled RestAPI::_getControllerLiveData(const RestRequest&, fss::stringHuge& out) {
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    {
        // What the answer shows: ids, values and the connection flags (not the value names).
        Lock lk(live_.mutex());
        const ControllerLiveData& live = live_.data().controller;
        for (size_t i = 0; i < static_cast<size_t>(kControllers); ++i) {
            s.controller.inputs[i].id = live.inputs[i].id;
            s.controller.inputs[i].values = live.inputs[i].values;
            s.controller.outputs[i].id = live.outputs[i].id;
            s.controller.outputs[i].values = live.outputs[i].values;
        }
        s.controller.connected = live.connected;
    }
    if (!s.controllerText.empty() && sameControllerView(s.controller, s.controllerShown)) {
        _answerText(out, s.controllerText);
        return kAnswered;
    }
    s.controllerText.clear();
    bool written = false;
    _answer(out, [&](char* dst, int room) {
        const int n = writeJsonP(s.controller, dst, room, nullptr);
        written = n >= 0 && n <= room;
        return n;
    });
    if (written) {
        s.controllerText.assign(out.view());
        s.controllerShown = s.controller;
    }
    return kAnswered;
}

RestHandled RestAPI::_getAnalogLiveData(const RestRequest&, fss::stringHuge& out) {
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    {
        Lock lk(live_.mutex());
        s.analog = live_.data().analog;
    }
    answerRecord(out, s.analog);
    return kAnswered;
}

RestHandled RestAPI::_get_livedata(const RestRequest& req, fss::stringHuge& out) {
    const int n = req.key.id0;
    SLOG_INFO(WEB, "Get Live data at {}", n);
    ProbeValueAnswer answer;
    answer.value = 0;
    if (n >= 1 && n <= kProbeSlots) {
        const size_t slot = static_cast<size_t>(n - 1);
        {
            Lock lk(live_.mutex());
            answer.value = live_.data().probe.items[slot].val;
        }
        {
            Lock lk(recipe_.mutex);
            const ProbeMeasureRecipeItem& item = recipe_.recipe.sensors[slot];
            answer.name = item.custName;
            answer.unit = item.unit;
            answer.warn_low = item.alarmLow;
            answer.warn_high = item.alarmHigh;
        }
        answer.id = n;
        SLOG_INFO(WEB, "Get Live data: Val:{}, Name: {}", answer.value, answer.name.c_str());
    }
    answerRecord(out, answer);
    return kAnswered;
}

// ---- trends and uploads ---------------------------------------------------------------------

RestHandled RestAPI::_trendData(const RestRequest& req, fss::stringHuge& out) {
    const BodyCheck body = checkPack<LogQueryPack>(req.body);
    if (!body) return refuse(out, body, logs_);
    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    LogQueryPack pack;  // table type 1, 480 rows, 0..0
    if (!body.body.empty()) readJsonP(pack, body.body);
    // A query that fails leaves the result as it is: it must not show the previous request's rows.
    s.trend.setCount(0);
    history_.log_query(pack, s.trend);
    SLOG_INFO(WEB, "RESULT memory size = {}, actual length", sizeof(LogQueryResult));
    answerRecord(out, s.trend);
    return kAnswered;
}

RestHandled RestAPI::_upload(const RestRequest& req, fss::stringHuge& out) {
    const auto part = parseFormData(req.body);
    if (!part) {
        SLOG_THROTTLED(logs_, WEB, WARN, "upload: no usable form-data part");
        failed(out, "Invalid upload");
        return kNoSave;
    }
    const auto [data, type] = *part;
    if (mediaType(type) == "application/json") {
        if (restBodyObject(data).empty()) {
            SLOG_THROTTLED(logs_, WEB, WARN, "upload: the JSON part holds no object");
            failed(out, "Invalid JSON");
            return kNoSave;
        }
        // The import starts from the defaults: a file without any recipe section (a probe
        // definition picked by mistake) would wipe the gateway's configuration.
        if (!holdsRecipeSection(restBodyObject(data))) {
            SLOG_THROTTLED(logs_, WEB, WARN, "upload: the JSON part holds no recipe section");
            failed(out, "Not a recipe file");
            return kNoSave;
        }
        const std::string path = orvane::platform::Paths::runtime("upload.json");
        auto text = std::make_unique<fss::stringHuge>();
        text->assignBytes(data.data(), data.size());
        if (!Utility::writeText(path, *text)) {
            SLOG_THROTTLED(logs_, WEB, ERROR, "upload: {} could not be written", path);
            failed(out, "Fail to store the upload");
            return kNoSave;
        }
        recipe_.importRecipe(path);
        // Every component takes the imported recipe, as at start-up.
        recipe_.triggerReload(SCADA_MASK_INITIAL);
        ok(out);
        return kAnswered;
    }

    FieldScratch& s = fieldScratch();
    std::lock_guard scratch(s.mutex);
    {
        Lock lk(recipe_.mutex);
        s.client = recipe_.recipe.mbTcpClient[0];
    }
    const CsvOutcome outcome = importCsv(req.body, s.client);
    if (outcome != CsvOutcome::Done) {
        const char* msg = "Failure: there are errors in csv file!";
        if (outcome == CsvOutcome::Full) {
            SLOG_INFO(WEB, "**** input is  FULL");
            msg = "Failure: exceed the maximal number";
        } else if (outcome == CsvOutcome::NoLine) {
            SLOG_INFO(WEB, "**** input is  empty");
            msg = "Failure: no input line in csv file!";
        } else {
            SLOG_INFO(WEB, "**** input is  invalid");
        }
        SLOG_INFO(WEB, "**** handlePut failure msg={}, data = {}", msg, logCut(req.body));
        failed(out, msg);
        return kNoSave;
    }
    SLOG_INFO(WEB, "**** handlePut {}", logCut(req.body));
    recipe_.set_MBTcpClient(s.client, 0);
    ok(out);
    return kAnswered;
}
