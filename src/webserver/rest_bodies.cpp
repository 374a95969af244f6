#include "webserver/rest_bodies.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "utils/log.h"

namespace {

using json_detail::Cursor;

template <class T>
void readKey(T& field, std::string_view object, const char* key) {
    readJsonP(field, findJsonKeyP(object, key));
}

// ---- writer frame ----

struct Obj {
    Cursor& c;
    bool first = true;

    void member(const char* key) {
        if (!first) c.put(std::string_view(",\n"));
        first = false;
        c.indent(gIndentLevelForWriteJsonP);
        c.key(key);
    }
    void integer(const char* key, long long v) {
        member(key);
        c.integer(v);
    }
    void real(const char* key, float v) {
        member(key);
        c.real(v);
    }
    void text(const char* key, const char* v) {
        member(key);
        c.text(v);
    }
    void boolean(const char* key, bool v) {
        member(key);
        c.boolean(v);
    }
    // "key":[ newline, count elements separated by ",\n", "]"
    template <class Elem>
    void array(const char* key, int count, Elem&& elem) {
        member(key);
        openArray(c, count, elem);
    }

    template <class Elem>
    static void openArray(Cursor& c, int count, Elem& elem) {
        int& level = gIndentLevelForWriteJsonP;
        c.put(std::string_view("[\n"));
        ++level;
        for (int i = 0; i < count && !c.overflow(); ++i) {
            if (i) c.put(std::string_view(",\n"));
            c.indent(level);
            elem(i);
        }
        --level;
        c.put(']');
    }
};

// An object at the current level: "name":{ or {, members one level deeper, "}".
template <class Body>
void object(Cursor& c, const char* name, bool indentFirst, Body&& body) {
    int& level = gIndentLevelForWriteJsonP;
    if (indentFirst) c.indent(level);
    c.key(name);
    c.put(std::string_view("{\n"));
    ++level;
    Obj o{c};
    body(o);
    --level;
    c.put('}');
}

// The public writer: the object at the current level.
template <class Body>
int writeObject(char* dst, int room, const char* name, Body&& body) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) { object(c, name, true, body); });
}

void floatArray(Obj& o, const char* key, const float* values, int count) {
    o.array(key, count, [&](int i) { o.c.real(values[i]); });
}

}  // namespace

// ---- request checks ---------------------------------------------------------------------------

namespace {

struct JsonMember;

// One JSON value as the scanner found it: scalars keep their text (texts with their quotes),
// objects their members (keys without quotes, escapes as written), arrays their elements.
struct JsonNode {
    enum class Type : uint8_t { object, array, string, number, boolean, null };
    Type type = Type::null;
    std::string_view raw;
    size_t at = 0;  // where a scalar stands in the compact text
    std::vector<JsonMember> members;
    std::vector<JsonNode> elements;

    const JsonNode* member(std::string_view key) const;
};

struct JsonMember {
    std::string_view key;
    JsonNode value;
};

const JsonNode* JsonNode::member(std::string_view key) const {
    for (const JsonMember& m : members)
        if (m.key == key) return &m.value;
    return nullptr;
}

constexpr int kMaxDepth = 64;

// A strict JSON reader (RFC 8259) that also copies the text without the blanks between tokens.
class JsonScanner {
public:
    JsonScanner(std::string_view text, std::string* compact) : s_(text), compact_(compact) {}

    // True when the whole text is one value, blanks around it allowed.
    bool document(JsonNode& root) {
        skipBlanks();
        if (!value(root, 0)) return false;
        skipBlanks();
        return i_ == s_.size();
    }

private:
    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool digitAt() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }
    void skipBlanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    void emit(std::string_view t) {
        if (compact_) compact_->append(t);
    }

    bool value(JsonNode& n, int depth) {
        if (depth > kMaxDepth || i_ >= s_.size()) return false;
        const size_t start = i_;
        switch (s_[i_]) {
            case '{': return object(n, depth);
            case '[': return array(n, depth);
            case '"':
                if (!text()) return false;
                n.type = JsonNode::Type::string;
                break;
            case 't':
                if (!word("true")) return false;
                n.type = JsonNode::Type::boolean;
                break;
            case 'f':
                if (!word("false")) return false;
                n.type = JsonNode::Type::boolean;
                break;
            case 'n':
                if (!word("null")) return false;
                n.type = JsonNode::Type::null;
                break;
            default:
                if (!number()) return false;
                n.type = JsonNode::Type::number;
        }
        n.raw = s_.substr(start, i_ - start);
        n.at = compact_ ? compact_->size() : 0;
        emit(n.raw);
        return true;
    }

    bool word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }

    bool text() {
        ++i_;  // the opening quote
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                if (++i_ >= s_.size()) return false;
                const char e = s_[i_];
                if (e == 'u') {
                    for (int k = 1; k <= 4; ++k)
                        if (i_ + k >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_ + k]))) return false;
                    i_ += 4;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
            ++i_;
        }
        return false;
    }

    bool number() {
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else if (digitAt()) {
            while (digitAt()) ++i_;
        } else {
            return false;
        }
        if (at('.')) {
            ++i_;
            if (!digitAt()) return false;
            while (digitAt()) ++i_;
        }
        if (at('e') || at('E')) {
            ++i_;
            if (at('+') || at('-')) ++i_;
            if (!digitAt()) return false;
            while (digitAt()) ++i_;
        }
        return true;
    }

    // A punctuation mark, copied to the compact text.
    bool mark(char c) {
        if (!at(c)) return false;
        ++i_;
        emit(std::string_view(&c, 1));
        skipBlanks();
        return true;
    }

    // The items between `open` and `close`, separated by commas; `item` reads one.
    template <class Item>
    bool sequence(char open, char close, Item&& item) {
        mark(open);
        if (mark(close)) return true;
        for (;;) {
            if (!item()) return false;
            skipBlanks();
            if (mark(',')) continue;
            return mark(close);
        }
    }

    bool object(JsonNode& n, int depth) {
        n.type = JsonNode::Type::object;
        return sequence('{', '}', [&] {
            if (!at('"')) return false;
            const size_t keyStart = i_;
            if (!text()) return false;
            emit(s_.substr(keyStart, i_ - keyStart));
            const std::string_view key = s_.substr(keyStart + 1, i_ - keyStart - 2);
            skipBlanks();
            if (!mark(':')) return false;
            JsonNode child;
            if (!value(child, depth + 1)) return false;
            n.members.push_back(JsonMember{key, std::move(child)});
            return true;
        });
    }

    bool array(JsonNode& n, int depth) {
        n.type = JsonNode::Type::array;
        return sequence('[', ']', [&] {
            n.elements.emplace_back();
            return value(n.elements.back(), depth + 1);
        });
    }

    std::string_view s_;
    std::string* compact_;
    size_t i_ = 0;
};

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

const char* kindName(BodyKind kind) {
    switch (kind) {
        case BodyKind::boolean: return "true or false";
        case BodyKind::integer: return "an integer";
        case BodyKind::number: return "a number";
        case BodyKind::text: return "a text";
        case BodyKind::array: return "an array";
        case BodyKind::object: return "an object";
    }
    return "?";
}

// An integer key's number written with a fraction or an exponent ("700.0", "1e3"): where it
// stands in the compact text and the plain digits the readers take in its place.
struct Rewrite {
    size_t at = 0;
    size_t length = 0;
    std::string digits;
};
using Rewrites = std::vector<Rewrite>;

std::string checkObject(const JsonNode& object, const BodySchema& schema, Rewrites& rewrites);

bool isIntegerText(std::string_view raw) { return raw.find_first_of(".eE") == std::string_view::npos; }

enum class Whole : uint8_t { yes, fraction, tooLarge };

// The value of a JSON number text (as the scanner accepted it) when it is a whole number, worked
// out from its decimal digits, so that no rounding can make a fraction look whole.
Whole wholeValue(std::string_view raw, long long& out) {
    size_t i = 0;
    const bool negative = !raw.empty() && raw[0] == '-';
    if (negative) ++i;
    auto digitAt = [&] { return i < raw.size() && raw[i] >= '0' && raw[i] <= '9'; };
    std::string digits;
    long long exponent = 0;
    for (; digitAt(); ++i) digits += raw[i];
    if (i < raw.size() && raw[i] == '.')
        for (++i; digitAt(); ++i) {
            digits += raw[i];
            --exponent;
        }
    if (i < raw.size() && (raw[i] == 'e' || raw[i] == 'E')) {
        ++i;
        const bool down = i < raw.size() && raw[i] == '-';
        if (i < raw.size() && (raw[i] == '+' || raw[i] == '-')) ++i;
        long long e = 0;
        for (; digitAt(); ++i) e = std::min(e * 10 + (raw[i] - '0'), 1000000000LL);  // far past any width
        exponent += down ? -e : e;
    }
    const size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        out = 0;
        return Whole::yes;
    }
    digits.erase(0, first);
    while (digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    if (exponent < 0) return Whole::fraction;
    if (static_cast<long long>(digits.size()) + exponent > 19) return Whole::tooLarge;
    unsigned long long v = 0;  // below 10^19: fits
    for (char c : digits) v = v * 10 + static_cast<unsigned>(c - '0');
    for (long long k = 0; k < exponent; ++k) v *= 10;
    const unsigned long long limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (v > limit + (negative ? 1 : 0)) return Whole::tooLarge;
    out = negative ? static_cast<long long>(0ULL - v) : static_cast<long long>(v);
    return Whole::yes;
}

// The refusal for one value of a known key; empty when it fits.
std::string checkValue(const BodyField& field, const JsonNode& v, Rewrites& rewrites) {
    using T = JsonNode::Type;
    const std::string wrongKind = quoted(field.key) + " must be " + kindName(field.kind);
    const std::string outOfRange = quoted(field.key) + " out of range";
    switch (field.kind) {
        case BodyKind::boolean:
            return v.type == T::boolean ? std::string() : wrongKind;
        case BodyKind::integer: {
            if (v.type != T::number) return wrongKind;
            long long n = 0;
            if (isIntegerText(v.raw)) {  // plain digits: parsed exactly as they stand
                const auto [end, ec] = std::from_chars(v.raw.data(), v.raw.data() + v.raw.size(), n);
                if (ec != std::errc() || end != v.raw.data() + v.raw.size()) return outOfRange;
            } else {
                const Whole w = wholeValue(v.raw, n);
                if (w == Whole::fraction) return wrongKind;
                if (w == Whole::tooLarge) return outOfRange;
            }
            if (n < field.min || n > field.max) return outOfRange;
            if (!isIntegerText(v.raw)) rewrites.push_back(Rewrite{v.at, v.raw.size(), std::to_string(n)});
            return {};
        }
        case BodyKind::number: {
            if (v.type == T::null) return {};  // what the writers show for a missing value: the field stays
            if (v.type != T::number) return wrongKind;
            const double d = std::strtod(std::string(v.raw).c_str(), nullptr);
            if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max()) return outOfRange;
            return {};
        }
        case BodyKind::text:
            return v.type == T::string ? std::string() : wrongKind;
        case BodyKind::array:
            if (v.type != T::array) return wrongKind;
            if (field.element)
                for (const JsonNode& e : v.elements) {
                    if (e.type != T::object) return quoted(field.key) + " must hold objects";
                    std::string refusal = checkObject(e, *field.element, rewrites);
                    if (!refusal.empty()) return refusal;
                }
            return {};
        case BodyKind::object:
            return v.type == T::object ? std::string() : wrongKind;
    }
    return {};
}

std::string checkObject(const JsonNode& object, const BodySchema& schema, Rewrites& rewrites) {
    for (const auto& [key, v] : object.members) {
        if (key == "enable" && v.type != JsonNode::Type::boolean) return "\"enable\" must be true or false";
        const BodyField* field = schema.find(key);
        if (!field) continue;
        std::string refusal = checkValue(*field, v, rewrites);
        if (!refusal.empty()) return refusal;
    }
    return {};
}

// The compact text with each rewritten number in place.
std::string rewritten(const std::string& compact, Rewrites& rewrites) {
    std::sort(rewrites.begin(), rewrites.end(), [](const Rewrite& a, const Rewrite& b) { return a.at < b.at; });
    std::string text;
    text.reserve(compact.size());
    size_t pos = 0;
    for (const Rewrite& r : rewrites) {
        text.append(compact, pos, r.at - pos);
        text += r.digits;
        pos = r.at + r.length;
    }
    text.append(compact, pos, std::string::npos);
    return text;
}

// ---- learning a record's keys ----

// The keys of a written record: booleans, texts, arrays and objects as shown; every number (or
// null) a float until the probes tell otherwise.
BodySchema skeletonOf(const JsonNode& record) {
    BodySchema schema;
    for (const auto& [key, v] : record.members) {
        BodyField f;
        f.key = std::string(key);
        switch (v.type) {
            case JsonNode::Type::boolean: f.kind = BodyKind::boolean; break;
            case JsonNode::Type::string: f.kind = BodyKind::text; break;
            case JsonNode::Type::object: f.kind = BodyKind::object; break;
            case JsonNode::Type::array:
                f.kind = BodyKind::array;
                if (!v.elements.empty() && v.elements.front().type == JsonNode::Type::object)
                    f.element = std::make_shared<BodySchema>(skeletonOf(v.elements.front()));
                break;
            case JsonNode::Type::number:
            case JsonNode::Type::null: f.kind = BodyKind::number; break;
        }
        schema.fields.push_back(std::move(f));
    }
    return schema;
}

// An object that gives every number of the skeleton the same value (array keys: one element).
std::string probeText(const BodySchema& schema, std::string_view value) {
    std::string text = "{";
    for (const BodyField& f : schema.fields) {
        if (f.kind == BodyKind::number) {
            if (text.size() > 1) text += ',';
            text += quoted(f.key) + ":" + std::string(value);
        } else if (f.kind == BodyKind::array && f.element) {
            if (text.size() > 1) text += ',';
            text += quoted(f.key) + ":[" + probeText(*f.element, value) + "]";
        }
    }
    return text + "}";
}

// The probe values, in this order: a fraction (an integer field keeps 0), -1 (an unsigned field
// shows its maximum), then the first value past each signed width.
constexpr std::string_view kProbeValues[] = {"0.5", "-1", "128", "32768", "2147483648"};
constexpr size_t kProbeCount = std::size(kProbeValues);

BodySchema classify(const BodySchema& skeleton, const std::array<const JsonNode*, kProbeCount>& read) {
    BodySchema schema = skeleton;
    for (BodyField& f : schema.fields) {
        std::array<const JsonNode*, kProbeCount> values{};
        for (size_t k = 0; k < kProbeCount; ++k) values[k] = read[k] ? read[k]->member(f.key) : nullptr;
        if (f.kind == BodyKind::array && f.element) {
            std::array<const JsonNode*, kProbeCount> first{};
            for (size_t k = 0; k < kProbeCount; ++k)
                first[k] = values[k] && !values[k]->elements.empty() ? &values[k]->elements.front() : nullptr;
            f.element = std::make_shared<BodySchema>(classify(*f.element, first));
            continue;
        }
        if (f.kind != BodyKind::number) continue;
        auto shown = [&](size_t k) { return values[k] ? values[k]->raw : std::string_view(); };
        if (shown(0) != "0") continue;  // the fraction stayed: a float
        f.kind = BodyKind::integer;
        if (shown(1) != "-1") {
            f.min = 0;
            const std::string maxText(shown(1));
            const unsigned long long max = std::strtoull(maxText.c_str(), nullptr, 10);
            f.max = max > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                        ? std::numeric_limits<long long>::max()
                        : static_cast<long long>(max);
        } else if (shown(2) != kProbeValues[2]) {
            f.min = std::numeric_limits<int8_t>::min();
            f.max = std::numeric_limits<int8_t>::max();
        } else if (shown(3) != kProbeValues[3]) {
            f.min = std::numeric_limits<int16_t>::min();
            f.max = std::numeric_limits<int16_t>::max();
        } else if (shown(4) != kProbeValues[4]) {
            f.min = std::numeric_limits<int32_t>::min();
            f.max = std::numeric_limits<int32_t>::max();
        } else {
            f.min = std::numeric_limits<long long>::min();
            f.max = std::numeric_limits<long long>::max();
        }
    }
    return schema;
}

BodySchema packSchema(std::vector<BodyField> fields) {
    BodySchema schema;
    schema.fields = std::move(fields);
    return schema;
}

constexpr long long kI16Min = std::numeric_limits<int16_t>::min(), kI16Max = std::numeric_limits<int16_t>::max();
constexpr long long kI32Min = std::numeric_limits<int32_t>::min(), kI32Max = std::numeric_limits<int32_t>::max();
constexpr long long kU32Max = std::numeric_limits<uint32_t>::max();

}  // namespace

const BodyField* BodySchema::find(std::string_view key) const {
    for (const BodyField& f : fields)
        if (f.key == key) return &f;
    return nullptr;
}

BodySchema BodySchema::narrowed(std::string_view key, long long lo, long long hi) const {
    BodySchema copy = *this;
    for (BodyField& f : copy.fields)
        if (f.key == key && f.kind == BodyKind::integer) {
            f.min = std::max(f.min, lo);
            f.max = std::min(f.max, hi);
        }
    return copy;
}

BodyField bodyInteger(std::string key, long long lo, long long hi) {
    return BodyField{std::move(key), BodyKind::integer, lo, hi, nullptr};
}
BodyField bodyNumber(std::string key) { return BodyField{std::move(key), BodyKind::number, 0, 0, nullptr}; }
BodyField bodyText(std::string key) { return BodyField{std::move(key), BodyKind::text, 0, 0, nullptr}; }

BodySchema learnBodySchema(RecordProbe probe) {
    const std::string written = probe("");
    JsonNode record;
    if (!JsonScanner(written, nullptr).document(record) || record.type != JsonNode::Type::object) return {};
    const BodySchema skeleton = skeletonOf(record);
    std::array<std::string, kProbeCount> texts;
    std::array<JsonNode, kProbeCount> nodes;
    std::array<const JsonNode*, kProbeCount> read{};
    for (size_t k = 0; k < kProbeCount; ++k) {
        texts[k] = probe(probeText(skeleton, kProbeValues[k]));
        if (JsonScanner(texts[k], nullptr).document(nodes[k])) read[k] = &nodes[k];
    }
    return classify(skeleton, read);
}

BodyCheck checkBody(std::string_view body, const BodySchema& schema, BodyShape shape, int maxElements) {
    BodyCheck check;
    if (ltrimJsonP(body).empty()) return check;  // nothing to read
    JsonNode root;
    if (!JsonScanner(body, &check.body).document(root)) {
        check.body.clear();
        check.refusal = "Malformed JSON body";
        return check;
    }
    Rewrites rewrites;
    if (shape == BodyShape::object) {
        if (root.type != JsonNode::Type::object)
            check.refusal = "JSON object expected";
        else
            check.refusal = checkObject(root, schema, rewrites);
    } else if (root.type != JsonNode::Type::array) {
        check.refusal = "JSON array expected";
    } else {
        const size_t n = std::min(root.elements.size(), static_cast<size_t>(std::max(maxElements, 0)));
        for (size_t i = 0; i < n && check.refusal.empty(); ++i) {
            if (root.elements[i].type != JsonNode::Type::object)
                check.refusal = "Array elements must be objects";
            else
                check.refusal = checkObject(root.elements[i], schema, rewrites);
        }
    }
    if (!check.refusal.empty())
        check.body.clear();
    else if (!rewrites.empty())
        check.body = rewritten(check.body, rewrites);
    return check;
}

template <>
const BodySchema& packBodySchema<ProbeIndexPack>() {
    static const BodySchema s = packSchema({bodyInteger("idxMeasure", kI32Min, kI32Max)});
    return s;
}
template <>
const BodySchema& packBodySchema<CalbCmdPack>() {
    static const BodySchema s = packSchema(
        {bodyInteger("idxMeasure", kI32Min, kI32Max), bodyInteger("idxCal", kI32Min, kI32Max), bodyNumber("solution")});
    return s;
}
template <>
const BodySchema& packBodySchema<ReplaceProbeCmdPack>() {
    static const BodySchema s =
        packSchema({bodyInteger("oldPN", 0, kU32Max), bodyInteger("oldSN", 0, kU32Max), bodyInteger("newPN", 0, kU32Max),
                    bodyInteger("newSN", 0, kU32Max), bodyInteger("newModbusAddr", kI16Min, kI16Max)});
    return s;
}
template <>
const BodySchema& packBodySchema<ConfigCmdPack>() {
    static const BodySchema s = packSchema(
        {bodyInteger("idxMeasure", kI32Min, kI32Max), bodyInteger("idxConfig", kI32Min, kI32Max), bodyNumber("data"),
         bodyText("custName"), bodyInteger("type", 0, kU32Max), bodyInteger("newAddr", kI32Min, kI32Max),
         bodyInteger("oldAddr", kI32Min, kI32Max), bodyInteger("pn", 0, kU32Max), bodyNumber("ma_4"),
         bodyNumber("ma_20")});
    return s;
}
template <>
const BodySchema& packBodySchema<ChangeAddrItemPack>() {
    static const BodySchema s = packSchema(
        {bodyInteger("modbusAddr", kI32Min, kI32Max), bodyInteger("modbusAddrNew", kI32Min, kI32Max),
         bodyInteger("PN", std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max())});
    return s;
}
template <>
const BodySchema& packBodySchema<AddControllerOutputPack>() {
    static const BodySchema s = packSchema(
        {bodyInteger("controllerIndex", kI32Min, kI32Max), bodyInteger("inputIndex", kI32Min, kI32Max),
         bodyInteger("dataType", kI32Min, kI32Max), bodyInteger("dataIndex", kI32Min, kI32Max),
         bodyInteger("loraRegIndex", kI32Min, kI32Max)});
    return s;
}
template <>
const BodySchema& packBodySchema<AuthCommand>() {
    static const BodySchema s =
        packSchema({bodyText("name"), bodyText("password"), bodyText("newPassword"), bodyText("pwdMD5"),
                    bodyText("newPwdMD5"), bodyInteger("cmdType", kI32Min, kI32Max)});
    return s;
}
template <>
const BodySchema& packBodySchema<LogQueryPack>() {
    static const BodySchema s =
        packSchema({bodyInteger("type", 0, kU32Max), bodyInteger("limit", kI32Min, kI32Max),
                    bodyInteger("startTime", 0, kU32Max), bodyInteger("endTime", 0, kU32Max)});
    return s;
}

// ---- request bodies -------------------------------------------------------------------------

std::string_view restBodyObject(std::string_view body) { return extractJsonBlockP(body, '{'); }

bool restBodyDisables(std::string_view body) {
    const std::string_view v = ltrimJsonP(findJsonKeyP(restBodyObject(body), "enable"));
    if (v.empty()) return false;
    return !(v.substr(0, 4) == "true" || v.substr(0, 4) == "True");
}

void readJsonP(ProbeIndexPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) pack = ProbeIndexPack{};
    readKey(pack.idxMeasure, o, "idxMeasure");
}

void readJsonP(CalbCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) pack = CalbCmdPack{.probeId = 0xffffffffu, .idxCal = 0, .solution = 0.0f};
    readKey(pack.probeId, o, "idxMeasure");
    readKey(pack.idxCal, o, "idxCal");
    readKey(pack.solution, o, "solution");
}

void readJsonP(ReplaceProbeCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.oldPN, o, "oldPN");
    readKey(pack.oldSN, o, "oldSN");
    readKey(pack.newPN, o, "newPN");
    readKey(pack.newSN, o, "newSN");
    readKey(pack.newModbusAddr, o, "newModbusAddr");
}

void readJsonP(ConfigCmdPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    if (restBodyDisables(o)) {
        ConfigCmdPack reset;
        reset.probeId = 0xffffffffu;
        reset.param = -1;
        reset.value = 0.0f;
        reset.cmdType = 0;
        reset.newAddr = -1;
        reset.curAddr = -1;
        reset.reserved = 0;
        reset.resultAddr = pack.resultAddr;
        reset.resultPN = pack.resultPN;
        pack = reset;
    }
    readKey(pack.probeId, o, "idxMeasure");
    readKey(pack.param, o, "idxConfig");
    readKey(pack.value, o, "data");
    readKey(pack.custName, o, "custName");
    readKey(pack.cmdType, o, "type");
    readKey(pack.newAddr, o, "newAddr");
    readKey(pack.curAddr, o, "oldAddr");
    readKey(pack.reserved, o, "pn");
    readKey(pack.mA_4, o, "ma_4");
    readKey(pack.mA_20, o, "ma_20");
}

int readJsonP(ChangeAddrBatch& batch, std::string_view body) {
    batch = ChangeAddrBatch{};
    return forEachJsonArrayElementP(body, static_cast<int>(kChangeAddrBatchSize), [&](int i, std::string_view e) {
        const std::string_view o = restBodyObject(e);
        ChangeAddrItemPack& item = batch[static_cast<size_t>(i)];
        readKey(item.addr, o, "modbusAddr");
        readKey(item.newAddr, o, "modbusAddrNew");
        readKey(item.pn, o, "PN");
    });
}

void readJsonP(AddControllerOutputPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.controllerIndex, o, "controllerIndex");
    readKey(pack.inputIndex, o, "inputIndex");
    readKey(pack.dataType, o, "dataType");
    readKey(pack.dataIndex, o, "dataIndex");
    readKey(pack.loraRegIndex, o, "loraRegIndex");
}

void readJsonP(AuthCommand& cmd, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(cmd.name, o, "name");
    readKey(cmd.password, o, "password");
    readKey(cmd.newPassword, o, "newPassword");
    readKey(cmd.pwdMD5, o, "pwdMD5");
    readKey(cmd.newPwdMD5, o, "newPwdMD5");
    readKey(cmd.cmdType, o, "cmdType");
}

void readJsonP(LogQueryPack& pack, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    readKey(pack.type, o, "type");
    readKey(pack.limit, o, "limit");
    readKey(pack.startTime, o, "startTime");
    readKey(pack.endTime, o, "endTime");
}

void readControlLoopBody(LoopRecipeVariant& row, std::string_view body) {
    const std::string_view o = restBodyObject(body);
    if (o.empty()) return;
    readJsonP(row, o);  // a "type" chooses the kind (a new kind starts from its default)
    if (restBodyDisables(o)) {
        std::visit(
            [](auto& rec) {
                using T = std::decay_t<decltype(rec)>;
                const int32_t id = rec.id, type = rec.type;
                rec = T{};
                rec.id = id;
                rec.type = type;
            },
            row);
    }
    std::visit([&](auto& rec) { readJsonP(rec, o); }, row);  // the kind's keys
}

const BodySchema& controlLoopBodySchema(const LoopRecipeVariant& row, std::string_view body) {
    LoopRecipeVariant kind = row;
    const std::string_view o = restBodyObject(body);
    if (!o.empty()) readJsonP(kind, o);
    return std::visit(
        [](const auto& rec) -> const BodySchema& { return recipeBodySchema<std::decay_t<decltype(rec)>>(); }, kind);
}

// ---- response bodies ------------------------------------------------------------------------

int writeJsonP(const SystemLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("Uptime", v.Uptime);
        o.real("CpuUsage", v.CpuUsage);
        o.integer("MemUsed", v.MemUsed);
        o.real("MemUsage", v.MemUsage);
        o.integer("DiskUsed", v.DiskUsed);
        o.real("DiskUsage", v.DiskUsage);
        o.real("Temperature", v.Temperature);
        o.text("timestamp", v.timestamp.c_str());
        o.integer("HMICommand", v.HMICommand);
        o.integer("DbDiskUsed", v.DbDiskUsed);
        o.real("DbDiskUsage", v.DbDiskUsage);
        o.boolean("Connected", v.Connected);
    });
}

int writeJsonP(const LteLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("lte_rssi", v.lte_rssi);
        o.integer("lte_rsrp", v.lte_rsrp);
        o.integer("lte_sinr", v.lte_sinr);
        o.integer("lte_rsrq", v.lte_rsrq);
        o.text("carrier", v.carrier.c_str());
        o.text("imsi", v.imsi.c_str());
        o.text("ip", v.ip.c_str());
        o.text("gateway", v.gateway.c_str());
        o.real("dataUsageCycleRxMB", v.dataUsageCycleRxMB);
        o.real("dataUsageCycleTxMB", v.dataUsageCycleTxMB);
        o.real("dataUsageTotalRxMB", v.dataUsageTotalRxMB);
        o.real("dataUsageTotalTxMB", v.dataUsageTotalTxMB);
    });
}

int writeJsonP(const AnalogLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.array("reading", kAnalogInputs, [&](int i) {
            const AnalogLiveItem& it = v.items[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("id", it.id);
                e.real("raw", it.raw);
                e.real("val", it.val);
                e.integer("status", it.status);
                e.c.put(' ');
            });
        });
    });
}

int writeJsonP(const LoraLiveData& v, char* dst, int room, const char* name) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) {
        int used[kLoraSlots];
        int n = 0;
        for (int i = 0; i < kLoraSlots; ++i)
            if (v.items[static_cast<size_t>(i)].id != 0) used[n++] = i;
        c.indent(gIndentLevelForWriteJsonP);
        c.key(name);
        auto device = [&](int k) {
            const LoraLiveDataItem& d = v.items[static_cast<size_t>(used[k])];
            object(c, nullptr, false, [&](Obj& o) {
                o.text("name", d.cust_name.c_str());
                o.integer("id", d.id);
                o.text("uid", d.uid.c_str());
                int regs[kLoraRegs];
                int m = 0;
                for (int r = 0; r < kLoraRegs; ++r)
                    if (!d.regs[static_cast<size_t>(r)].name.empty()) regs[m++] = r;
                o.array("values", m, [&](int j) {
                    const LoraRegLive& reg = d.regs[static_cast<size_t>(regs[j])];
                    object(c, nullptr, false, [&](Obj& e) {
                        e.text("name", reg.name.c_str());
                        e.text("unit", reg.unit.c_str());
                        e.real("value", reg.value);
                        e.integer("timestamp", d.timestamp);
                    });
                });
            });
        };
        Obj::openArray(c, n, device);
    });
}

int writeJsonP(const ControllerLiveData& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        auto blocks = [&](const char* key, const std::array<ControllerBlock, kControllers>& list) {
            o.array(key, kControllers, [&](int i) {
                const ControllerBlock& b = list[static_cast<size_t>(i)];
                object(o.c, nullptr, false, [&](Obj& e) {
                    e.integer("id", b.id);
                    floatArray(e, "values", b.values.data(), kControllerValues);
                });
            });
        };
        blocks("inputs", v.inputs);
        blocks("outputs", v.outputs);
        o.array("connected", kControllers, [&](int i) { o.c.boolean(v.connected[static_cast<size_t>(i)]); });
    });
}

int writeJsonP(const ScanProbeStatus& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("errorCode", v.scanState);
        o.integer("progress", v.scanProgress);
        o.array("scanResult", static_cast<int>(v.results.size()), [&](int i) {
            const ProbeScanResultItem& r = v.results[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("pn", r.pn);
                e.integer("sn", r.sn);
                e.integer("modbusAddr", r.modbusAddr);
                e.integer("modbusDfltAddr", r.suggestedAddr);
            });
        });
    });
}

int writeJsonP(const ProbeChangeAddrResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("progressPct", v.status);
        o.array("items", static_cast<int>(v.items.size()), [&](int i) {
            const auto& it = v.items[static_cast<size_t>(i)];
            object(o.c, nullptr, false, [&](Obj& e) {
                e.integer("modbusAddr", it.modbusAddr);
                e.integer("status", it.status);
            });
        });
    });
}

int writeJsonP(const AuthResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.text("name", v.name.c_str());
        o.integer("cmdType", v.cmdType);
        o.boolean("success", v.success);
        o.text("msg", v.msg.c_str());
        o.integer("role", v.role);
        o.text("token", v.token.c_str());
    });
}

int writeJsonP(const ProbeValueAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.integer("id", v.id);
        o.text("name", v.name.c_str());
        o.real("value", v.value);
        o.text("unit", v.unit.c_str());
        o.real("warn_low", v.warn_low);
        o.real("warn_high", v.warn_high);
    });
}

int writeJsonP(const LogQueryResult& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        const int rows = static_cast<int>(std::min<uint32_t>(v.timestamp.count, kLogQueryMaxRows));
        o.array("timestamp", rows, [&](int i) { o.c.integer(v.timestamp[static_cast<size_t>(i)]); });
        for (int k = 0; k < kLogVarCount; ++k) {
            char key[8] = {'v', 'a', 'r', 0, 0, 0, 0, 0};
            if (k < 10) {
                key[3] = static_cast<char>('0' + k);
            } else {
                key[3] = static_cast<char>('0' + k / 10);
                key[4] = static_cast<char>('0' + k % 10);
            }
            const auto& series = v.var(static_cast<size_t>(k));
            const int n = static_cast<int>(std::min<uint32_t>(series.count, kLogQueryMaxRows));
            floatArray(o, key, series.data.data(), n);
        }
    });
}

int writeJsonP(const RegAddrAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) { o.integer("regAddr", v.regAddr); });
}

int writeJsonP(const UpgradeStatusAnswer& v, char* dst, int room, const char* name) {
    return writeObject(dst, room, name, [&](Obj& o) {
        o.real("progress", v.progress);
        o.integer("error_code", v.error_code);
        o.text("error_msg", v.error_msg.c_str());
    });
}

RestHandled refuse(fss::stringHuge& out, const BodyCheck& check, LogThrottles& logs) {
    SLOG_THROTTLED(logs, WEB, WARN, "Request body refused: {}", check.refusal);
    RestAPI::_response(out, RESPONSE_CODE::FAILED, check.refusal);
    return RestHandled::AnsweredNoSave;
}
