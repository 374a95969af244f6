#pragma once
// Request and response bodies of the REST API, on the gateway's own JSON text codec.
//
// Readers take the first balanced {...} (or [...] for a batch) of the body and apply the keys
// found at the record's own level; a key that is absent or empty leaves its field. When the
// body holds "enable" with a value that does not read as true, the record is first reset to its
// reset value, then the keys present are read over it.
//
// Writers follow the codec's contract: at the calling thread's indentation level, the count
// ending at the closing bracket, -1 when the text does not fit the room.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "database/database.h"
#include "env/cmd_packs.h"
#include "env/op_data.h"
#include "live/live_data.h"
#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "utils/fss.h"
#include "webserver/rest_api.h"

// ---- request checks ---------------------------------------------------------------------------
//
// Before a handler reads a body it checks it whole, so that a body it refuses changes nothing: the
// body must be one well-formed JSON value of the shape the route reads (an empty body holds no
// key), "enable" must be a boolean wherever it stands, and each key the route knows must hold a
// value of its kind within its range. Keys the route does not know are left alone.

// What a key of a body holds.
enum class BodyKind : uint8_t {
    boolean,
    integer,  // a JSON number of whole value within [min, max] (700, 700.0 and 7e2 alike)
    number,   // any JSON number a float holds (null: the field stays)
    text,     // a quoted text (cut to its field by the reader)
    array,    // an array, of objects checked against `element` when there is one
    object,
};

struct BodySchema;
struct BodyField {
    std::string key;
    BodyKind kind = BodyKind::text;
    long long min = 0;
    long long max = 0;
    std::shared_ptr<const BodySchema> element;
};

struct BodySchema {
    std::vector<BodyField> fields;

    const BodyField* find(std::string_view key) const;
    // The same keys with the range of one integer key narrowed to [lo, hi].
    BodySchema narrowed(std::string_view key, long long lo, long long hi) const;
};

// Shorthands for the keys of command packs.
BodyField bodyInteger(std::string key, long long lo, long long hi);
BodyField bodyNumber(std::string key);
BodyField bodyText(std::string key);

// Reads a text over a fresh record and gives the record back as its writer prints it.
using RecordProbe = std::string (*)(std::string_view text);
// The keys of a record and what each holds, learnt from the record's own reader and writer: the
// writer names the keys and shows booleans, texts and arrays; values read back through the record
// tell integers from floats and each integer's width.
BodySchema learnBodySchema(RecordProbe probe);

template <class R>
std::string probeRecordText(std::string_view text) {
    auto record = std::make_unique<R>();  // records can be large: never on the stack
    if (!text.empty()) readJsonP(*record, text);
    const int saved = gIndentLevelForWriteJsonP;
    std::string buffer(size_t{1} << 16, '\0');
    for (;;) {
        gIndentLevelForWriteJsonP = 0;
        const int n = writeJsonP(*record, buffer.data(), static_cast<int>(buffer.size()) - 1, nullptr);
        if (n >= 0) {
            buffer.resize(static_cast<size_t>(n));
            break;
        }
        buffer.assign(buffer.size() * 2, '\0');
    }
    gIndentLevelForWriteJsonP = saved;
    return buffer;
}

// The schema of a recipe record, learnt once per record type.
template <class R>
const BodySchema& recipeBodySchema() {
    static const BodySchema schema = learnBodySchema(&probeRecordText<R>);
    return schema;
}

enum class BodyShape : uint8_t { object, array };

struct BodyCheck {
    std::string refusal;  // empty when the body may be read; else the answer's message
    std::string body;     // the body without blanks between its tokens, the whole numbers of integer
                          // keys in plain digits: what the readers take

    explicit operator bool() const { return refusal.empty(); }
};

// An object body, or an array body whose first maxElements elements are objects of the schema
// (the elements after them are not read, so they are not checked either).
BodyCheck checkBody(std::string_view body, const BodySchema& schema, BodyShape shape = BodyShape::object,
                    int maxElements = 0);

// A body the route cannot read: 1001 with the reason; nothing changed, nothing saved. The warning
// goes through the caller's throttles.
RestHandled refuse(fss::stringHuge& out, const BodyCheck& check, LogThrottles& logs);

// ---- request bodies -------------------------------------------------------------------------

// The first balanced object of a body (with its braces); empty when there is none.
std::string_view restBodyObject(std::string_view body);
// True when the body's object holds "enable" with a value that does not read as true.
bool restBodyDisables(std::string_view body);

// Probe ping and diagnosis: "idxMeasure" (reset -1).
struct ProbeIndexPack {
    int32_t idxMeasure = -1;
};
void readJsonP(ProbeIndexPack& pack, std::string_view body);
// "idxMeasure"->probeId, "idxCal", "solution" (reset: -1, 0, 0).
void readJsonP(CalbCmdPack& pack, std::string_view body);
// "oldPN", "oldSN", "newPN", "newSN", "newModbusAddr".
void readJsonP(ReplaceProbeCmdPack& pack, std::string_view body);
// "idxMeasure"->probeId, "idxConfig"->param, "data"->value, "custName", "type"->cmdType,
// "newAddr", "oldAddr"->curAddr, "pn"->reserved, "ma_4"->mA_4, "ma_20"->mA_20. Reset: probeId
// -1, param -1, value 0, custName empty, cmdType 0, newAddr -1, curAddr -1, reserved 0, spans NaN.
void readJsonP(ConfigCmdPack& pack, std::string_view body);
// Array of at most 20 {"modbusAddr"->addr, "modbusAddrNew"->newAddr, "PN"->pn}; later elements
// are ignored, the slots after the last element read are zero (a zero address ends the batch).
// Returns the number of elements read.
int readJsonP(ChangeAddrBatch& batch, std::string_view body);
// "controllerIndex", "inputIndex", "dataType", "dataIndex", "loraRegIndex".
void readJsonP(AddControllerOutputPack& pack, std::string_view body);
// "name" (32), "password", "newPassword", "pwdMD5", "newPwdMD5" (64), "cmdType".
void readJsonP(AuthCommand& cmd, std::string_view body);
// "type", "limit", "startTime", "endTime".
void readJsonP(LogQueryPack& pack, std::string_view body);

// The keys of the packs above; "enable" is checked on every body.
template <class P>
const BodySchema& packBodySchema();
template <> const BodySchema& packBodySchema<ProbeIndexPack>();
template <> const BodySchema& packBodySchema<CalbCmdPack>();
template <> const BodySchema& packBodySchema<ReplaceProbeCmdPack>();
template <> const BodySchema& packBodySchema<ConfigCmdPack>();
template <> const BodySchema& packBodySchema<ChangeAddrItemPack>();
template <> const BodySchema& packBodySchema<AddControllerOutputPack>();
template <> const BodySchema& packBodySchema<AuthCommand>();
template <> const BodySchema& packBodySchema<LogQueryPack>();

// A body checked against the keys of a recipe record or of a pack.
template <class R>
BodyCheck checkRecord(std::string_view body) {
    return checkBody(body, recipeBodySchema<R>());
}
template <class P>
BodyCheck checkPack(std::string_view body) {
    return checkBody(body, packBodySchema<P>());
}

// One control-loop row: "type" selects the kind (negative or absent keeps it; 0..3 the kinds,
// 4 or more none; another kind starts from that kind's default keeping the row's id); then
// "enable" false resets the row's record to its kind's defaults, keeping the row's id and type
// (a row with type 0 would load as no loop at the next start), and the kind's keys are read.
void readControlLoopBody(LoopRecipeVariant& row, std::string_view body);
// The schema of the kind a row takes with this body.
const BodySchema& controlLoopBodySchema(const LoopRecipeVariant& row, std::string_view body);

// A recipe section or item from a body: "enable" false first resets it to `reset`, then the
// section's reader runs over it.
template <class R>
void readSectionBody(R& record, std::string_view body, const R& reset = R{}) {
    const std::string_view object = restBodyObject(body);
    if (object.empty()) return;
    if (restBodyDisables(object)) record = reset;
    readJsonP(record, object);
}

// ---- response bodies ------------------------------------------------------------------------

int writeJsonP(const SystemLiveData& v, char* dst, int room, const char* name);
int writeJsonP(const LteLiveData& v, char* dst, int room, const char* name);
// {"reading":[{"id","raw","val","status"} x 8]}
int writeJsonP(const AnalogLiveData& v, char* dst, int room, const char* name);
// Array of the devices that hold one, each {"name","id","uid","values":[{"name","unit","value",
// "timestamp"}]} listing the registers in use.
int writeJsonP(const LoraLiveData& v, char* dst, int room, const char* name);
// {"inputs":[{"id","values":[...]}],"outputs":[...],"connected":[...]}
int writeJsonP(const ControllerLiveData& v, char* dst, int room, const char* name);
// {"errorCode" (the scan state),"progress","scanResult":[{"pn","sn","modbusAddr","modbusDfltAddr"}]}
int writeJsonP(const ScanProbeStatus& v, char* dst, int room, const char* name);
// {"progressPct","items":[{"modbusAddr","status"}]}
int writeJsonP(const ProbeChangeAddrResult& v, char* dst, int room, const char* name);
// {"name","cmdType","success","msg","role","token"}
int writeJsonP(const AuthResult& v, char* dst, int room, const char* name);

struct ProbeValueAnswer {
    int32_t id = 0;
    fss::str32 name;
    float value = kLiveNaN;
    fss::str16 unit;
    float warn_low = 0;
    float warn_high = 0;
};
int writeJsonP(const ProbeValueAnswer& v, char* dst, int room, const char* name);
// {"timestamp":[...],"var0":[...], ... "var19":[...]} with the delivered rows.
int writeJsonP(const LogQueryResult& v, char* dst, int room, const char* name);

struct RegAddrAnswer {
    int32_t regAddr = -1;
};
int writeJsonP(const RegAddrAnswer& v, char* dst, int room, const char* name);

struct UpgradeStatusAnswer {
    float progress = 0;
    int32_t error_code = 0;
    fss::str64 error_msg;
};
int writeJsonP(const UpgradeStatusAnswer& v, char* dst, int room, const char* name);

// "[", a newline, the elements one level deeper separated by "," and a newline, then close
// ("]" and a newline, or a newline and "]"). elem(i, dst, room) writes element i as the record
// writers do. The indentation level is back where it was on every return.
template <class Elem>
int writeArray(char* dst, int room, int count, Elem&& elem, std::string_view close = "]\n") {
    int n = 0;
    auto put = [&](std::string_view s) {
        if (n < 0) return;
        if (static_cast<long long>(n) + static_cast<long long>(s.size()) > room) {
            n = -1;
            return;
        }
        std::memcpy(dst + n, s.data(), s.size());
        n += static_cast<int>(s.size());
    };
    int& level = gIndentLevelForWriteJsonP;
    const int saved = level;
    put("[\n");
    level = saved + 1;
    for (int i = 0; i < count && n >= 0; ++i) {
        if (i) put(",\n");
        if (n < 0) break;
        const int k = elem(i, dst + n, room - n);
        n = k < 0 ? -1 : n + k;
    }
    level = saved;
    put(close);
    if (n >= 0 && n < room) dst[n] = '\0';
    return n;
}
