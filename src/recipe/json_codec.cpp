#include "recipe/json_codec.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

thread_local int gIndentLevelForWriteJsonP = 0;

namespace json_detail {

void Cursor::key(const char* name) {
    if (!name) return;
    put('"');
    put(std::string_view(name));
    put('"');
    put(':');
}

void Cursor::integer(long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    put(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void Cursor::unsignedInteger(unsigned long long v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    put(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void Cursor::real(float v) {
    if (!std::isfinite(v)) {
        put(std::string_view("null"));
        return;
    }
    // Truncate toward zero, saturating at the int32 limits, and compare the difference in float.
    int32_t t;
    if (v >= 2147483647.0f)
        t = std::numeric_limits<int32_t>::max();
    else if (v <= -2147483648.0f)
        t = std::numeric_limits<int32_t>::min();
    else
        t = static_cast<int32_t>(v);
    float diff = std::fabs(static_cast<float>(t) - v);
    int precision = static_cast<double>(diff) < 0.001 ? 0 : 6;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(v), std::chars_format::fixed, precision);
    if (r.ec != std::errc()) {
        put(std::string_view("null"));
        return;
    }
    put(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
}

void Cursor::text(const char* s) {
    put('"');
    if (s) {
        static constexpr char kHex[] = "0123456789abcdef";
        const char* run = s;  // start of the pending plain run
        const char* p = s;
        for (; *p; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            put(std::string_view(run, static_cast<size_t>(p - run)));
            run = p + 1;
            switch (c) {
                case '"': put(std::string_view("\\\"")); break;
                case '\\': put(std::string_view("\\\\")); break;
                case '\n': put(std::string_view("\\n")); break;
                case '\r': put(std::string_view("\\r")); break;
                case '\t': put(std::string_view("\\t")); break;
                case '\b': put(std::string_view("\\b")); break;
                case '\f': put(std::string_view("\\f")); break;
                default: {
                    char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                    put(std::string_view(esc, 6));
                }
            }
        }
        put(std::string_view(run, static_cast<size_t>(p - run)));
    }
    put('"');
}

size_t closeQuote(std::string_view s, size_t pos, JsonTextRule rule) {
    const char* b = s.data();
    const size_t n = s.size();
    size_t i = pos + 1;
    while (i < n) {
        const void* hit = std::memchr(b + i, '"', n - i);
        if (!hit) return std::string_view::npos;
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - b);
        if (rule == JsonTextRule::legacy) return at;
        // Escaped when an odd run of backslashes stands right before it (inside the text).
        size_t k = at;
        while (k > pos + 1 && b[k - 1] == '\\') --k;
        if (((at - k) & 1u) == 0) return at;
        i = at + 1;
    }
    return std::string_view::npos;
}

size_t skipString(std::string_view s, size_t pos, JsonTextRule rule) {
    size_t q = closeQuote(s, pos, rule);
    return q == std::string_view::npos ? s.size() : q + 1;
}

namespace {

inline bool isTrim(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Whether what follows a text's closing quote (blanks aside) may follow a text in a document:
// ':' after a key, ',', '}' or ']' after a value; the end of the view as well.
bool endsCleanly(std::string_view s, size_t after) {
    while (after < s.size() && isTrim(s[after])) ++after;
    if (after >= s.size()) return true;
    char c = s[after];
    return c == ':' || c == ',' || c == '}' || c == ']';
}

}  // namespace

// Index of the bracket that closes the block opened at s[pos] (counting only that bracket pair,
// skipping quoted texts), or npos. With clean given, it turns false at the first text whose
// closing quote is followed by something no text can be followed by, and the scan stops there.
size_t blockEnd(std::string_view s, size_t pos, JsonTextRule rule, bool* clean) {
    const char open = s[pos];
    const char close = open == '{' ? '}' : ']';
    int depth = 0;
    const size_t n = s.size();
    size_t i = pos;
    while (i < n) {
        char c = s[i];
        if (c == '"') {
            size_t q = closeQuote(s, i, rule);
            if (q == std::string_view::npos) return q;
            if (clean && !endsCleanly(s, q + 1)) {
                *clean = false;
                return std::string_view::npos;
            }
            i = q + 1;
            continue;
        }
        if (c == open) {
            ++depth;
        } else if (c == close) {
            if (--depth == 0) return i;
        }
        ++i;
    }
    return std::string_view::npos;
}

ValueSpan spanOfValue(std::string_view s, size_t pos) {
    constexpr size_t npos = std::string_view::npos;
    if (s[pos] == '"') {
        size_t e = closeQuote(s, pos, JsonTextRule::escaped);
        if (e != npos && endsCleanly(s, e + 1)) return {e + 1, JsonTextRule::escaped};
        size_t l = closeQuote(s, pos, JsonTextRule::legacy);
        if (l != npos && (endsCleanly(s, l + 1) || e == npos)) return {l + 1, JsonTextRule::legacy};
        return {e == npos ? npos : e + 1, JsonTextRule::escaped};
    }
    bool clean = true;
    size_t e = blockEnd(s, pos, JsonTextRule::escaped, &clean);
    if (e != npos) return {e + 1, JsonTextRule::escaped};
    if (clean) return {npos, JsonTextRule::escaped};  // does not close: cut off, not a quirk
    bool cleanLegacy = true;
    size_t l = blockEnd(s, pos, JsonTextRule::legacy, &cleanLegacy);
    if (l != npos) return {l + 1, JsonTextRule::legacy};
    // Neither closes cleanly: take whichever closes at all.
    e = blockEnd(s, pos, JsonTextRule::escaped);
    if (e != npos) return {e + 1, JsonTextRule::escaped};
    l = blockEnd(s, pos, JsonTextRule::legacy);
    return {l == npos ? npos : l + 1, JsonTextRule::legacy};
}

std::string_view valueAt(std::string_view s, size_t pos, JsonTextRule rule) {
    while (pos < s.size() && isTrim(s[pos])) ++pos;
    if (pos >= s.size()) return {};
    std::string_view rest = s.substr(pos);
    char c = rest[0];
    if (c == '"') return rest.substr(0, skipString(rest, 0, rule));
    if (c == '{' || c == '[') {
        size_t end = blockEnd(rest, 0, rule);
        if (end == std::string_view::npos) return {};
        return rest.substr(0, end + 1);
    }
    size_t end = rest.find_first_of(",}]");
    return end == std::string_view::npos ? rest : rest.substr(0, end);
}

size_t elementLength(std::string_view content, size_t pos, JsonTextRule rule) {
    int open = 0;
    int close = 0;
    size_t i = pos;
    const size_t n = content.size();
    while (i < n) {
        char c = content[i];
        if (c == '"') {
            i = skipString(content, i, rule);
            continue;
        }
        if (c == '[' || c == '{') {
            ++open;
        } else if (c == ']' || c == '}') {
            ++close;
        } else if (c == ',' && open == close) {
            return i + 1 - pos;
        }
        ++i;
    }
    return n - pos;
}

}  // namespace json_detail

using json_detail::Cursor;

namespace {

template <class Fn>
int writeScalar(char* dst, int room, const char* name, Fn&& fn) {
    Cursor cur(dst, room);
    cur.indent(gIndentLevelForWriteJsonP);
    cur.key(name);
    fn(cur);
    cur.terminate();
    return cur.result();
}

}  // namespace

int writeJsonP(int value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.integer(value); });
}
int writeJsonP(unsigned int value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.unsignedInteger(value); });
}
int writeJsonP(long value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.integer(value); });
}
int writeJsonP(unsigned long value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.unsignedInteger(value); });
}
int writeJsonP(long long value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.integer(value); });
}
int writeJsonP(unsigned long long value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.unsignedInteger(value); });
}
int writeJsonP(bool value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.boolean(value); });
}
int writeJsonP(char* dst, int room, const char* name, float value) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.real(value); });
}
int writeJsonP(const char* value, char* dst, int room, const char* name) {
    return writeScalar(dst, room, name, [&](Cursor& c) { c.text(value); });
}

// ---- readers ----------------------------------------------------------------------------------

std::string_view ltrimJsonP(std::string_view v) {
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == '\r' || v[i] == '\n')) ++i;
    return v.substr(i);
}

std::string_view extractJsonBlockP(std::string_view v, char open, bool withBrackets, JsonTextRule rule) {
    v = ltrimJsonP(v);
    if (v.empty() || (open != '{' && open != '[')) return {};
    size_t start = v.find(open);
    if (start == std::string_view::npos) return {};
    std::string_view block = json_detail::valueAt(v, start, rule);
    if (block.empty()) return {};
    return withBrackets ? block : block.substr(1, block.size() - 2);
}

std::string_view findJsonKeyP(std::string_view v, const char* name, JsonTextRule rule) {
    if (!name) return {};
    const size_t keyLen = std::strlen(name);
    if (keyLen >= 252) return {};
    std::string_view key(name, keyLen);
    size_t pos = 0;
    std::string_view t = ltrimJsonP(v);
    if (!t.empty() && t[0] == '{') {
        v = t;
        pos = 1;
    }
    int level = 0;
    const size_t n = v.size();
    while (pos < n) {
        char c = v[pos];
        if (c == '"') {
            size_t end = json_detail::skipString(v, pos, rule);
            if (level == 0 && end < n && v[end] == ':' && end - pos - 2 == keyLen &&
                v.compare(pos + 1, keyLen, key) == 0)
                return json_detail::valueAt(v, end + 1, rule);
            pos = end;
            continue;
        }
        if (c == '{' || c == '[') {
            ++level;
        } else if (c == '}' || c == ']') {
            if (--level < 0) return {};
        }
        ++pos;
    }
    return {};
}

void readJsonP(bool& field, std::string_view value) {
    if (value.empty()) return;
    field = value.size() >= 4 && (value[0] == 't' || value[0] == 'T') && value.substr(1, 3) == "rue";
}

void readJsonP(float& field, std::string_view value) {
    if (value.empty()) return;
    char buf[64];
    size_t n = value.size() < sizeof buf - 1 ? value.size() : sizeof buf - 1;
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    char* end = nullptr;
    float v = std::strtof(buf, &end);
    if (end == buf) return;
    field = v;
}

bool parseJsonIntegerP(std::string_view value, long long& out) {
    if (value.empty()) return false;
    char buf[32];
    size_t n = value.size() < sizeof buf - 1 ? value.size() : sizeof buf - 1;
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    char* end = nullptr;
    long long v = std::strtoll(buf, &end, 10);
    if (end == buf) return false;
    out = v;
    return true;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool read4Hex(std::string_view s, size_t pos, unsigned& cp) {
    if (pos + 4 > s.size()) return false;
    cp = 0;
    for (size_t i = 0; i < 4; ++i) {
        int h = hexValue(s[pos + i]);
        if (h < 0) return false;
        cp = cp * 16 + static_cast<unsigned>(h);
    }
    return true;
}

// Appends bytes to out unless they do not fit in cap; returns false (and sets full) then.
struct Sink {
    char* out;
    size_t cap;
    size_t n = 0;
    bool full = false;
    bool add(const char* b, size_t len) {
        if (full || n + len > cap) {
            full = true;
            return false;
        }
        std::memcpy(out + n, b, len);
        n += len;
        return true;
    }
};

size_t encodeUtf8(unsigned cp, char* b) {
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Length of text[0..n) cut back so that it does not end inside a UTF-8 character.
size_t utf8Boundary(const char* text, size_t n) {
    if (n == 0) return 0;
    size_t i = n;
    size_t back = 0;
    while (i > 0 && back < 4 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++back;
    }
    if (i == 0) return n;
    unsigned char lead = static_cast<unsigned char>(text[i - 1]);
    size_t need;
    if (lead < 0x80)
        return n;  // ends with an ASCII byte (any continuation bytes after it are stray)
    else if ((lead & 0xE0) == 0xC0)
        need = 2;
    else if ((lead & 0xF0) == 0xE0)
        need = 3;
    else if ((lead & 0xF8) == 0xF0)
        need = 4;
    else
        return n;
    size_t have = back + 1;
    return have < need ? i - 1 : n;
}

}  // namespace

size_t readJsonTextP(char* out, size_t cap, std::string_view value, JsonTextRule rule) {
    out[0] = '\0';
    size_t q1 = value.find('"');
    if (q1 == std::string_view::npos || q1 + 1 >= value.size()) return 0;
    size_t q2 = json_detail::closeQuote(value, q1, rule);
    if (q2 == std::string_view::npos) return 0;
    std::string_view body = value.substr(q1 + 1, q2 - q1 - 1);
    if (rule == JsonTextRule::legacy) {  // as it stands
        size_t n = body.size() <= cap ? body.size() : utf8Boundary(body.data(), cap);
        std::memcpy(out, body.data(), n);
        out[n] = '\0';
        return n;
    }
    Sink sink{out, cap};
    size_t i = 0;
    while (i < body.size() && !sink.full) {
        size_t run = i;
        while (i < body.size() && body[i] != '\\') ++i;
        if (i > run) {
            size_t len = i - run;
            if (sink.n + len > cap) {
                sink.add(body.data() + run, cap - sink.n);
                sink.full = true;
                break;
            }
            sink.add(body.data() + run, len);
        }
        if (i >= body.size()) break;
        // escape sequence; a lone backslash at the end stays
        if (i + 1 >= body.size()) {
            sink.add("\\", 1);
            break;
        }
        char e = body[i + 1];
        char b[4];
        size_t len = 1;
        i += 2;
        switch (e) {
            case '"': b[0] = '"'; break;
            case '\\': b[0] = '\\'; break;
            case '/': b[0] = '/'; break;
            case 'b': b[0] = '\b'; break;
            case 'f': b[0] = '\f'; break;
            case 'n': b[0] = '\n'; break;
            case 'r': b[0] = '\r'; break;
            case 't': b[0] = '\t'; break;
            case 'u': {
                unsigned cp = 0;
                if (!read4Hex(body, i, cp)) {  // not an escape: the backslash stays
                    b[0] = '\\';
                    b[1] = 'u';
                    len = 2;
                    break;
                }
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    unsigned lo = 0;
                    if (i + 1 < body.size() && body[i] == '\\' && body[i + 1] == 'u' && read4Hex(body, i + 2, lo) &&
                        lo >= 0xDC00 && lo <= 0xDFFF) {
                        i += 6;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                len = encodeUtf8(cp, b);
                break;
            }
            default:  // not an escape: the backslash stays, the character after it is read as usual
                b[0] = '\\';
                len = 1;
                i -= 1;
                break;
        }
        sink.add(b, len);
    }
    size_t n = sink.n;
    if (sink.full) n = utf8Boundary(out, n);
    out[n] = '\0';
    return n;
}

// ---- members of one object -------------------------------------------------------------------

template <class Fn>
bool JsonMembers::members(Fn&& onMember) {
    constexpr size_t npos = std::string_view::npos;
    const std::string_view s = s_;
    const size_t n = s.size();
    size_t pos = open_ + 1;
    int level = 0;
    while (pos < n) {
        const char ch = s[pos];
        if (ch == '"') {
            size_t end;
            if (fixed_) {
                end = json_detail::skipString(s, pos, rule_);
            } else {
                const json_detail::ValueSpan span = json_detail::spanOfValue(s, pos);
                end = span.end == npos ? n : span.end;
            }
            if (level == 0 && end < n && s[end] == ':' && end >= pos + 2) {
                const std::string_view key = s.substr(pos + 1, end - pos - 2);
                size_t v = end + 1;
                while (v < n && (s[v] == ' ' || s[v] == '\t' || s[v] == '\r' || s[v] == '\n')) ++v;
                if (v < n && (s[v] == '"' || s[v] == '{' || s[v] == '[')) {
                    // A text or block: its end found once, and the walk goes on behind it.
                    json_detail::ValueSpan span;
                    if (fixed_) {
                        span.rule = rule_;
                        span.end = s[v] == '"' ? json_detail::skipString(s, v, rule_)
                                               : json_detail::blockEnd(s, v, rule_);
                        if (s[v] != '"' && span.end != npos) ++span.end;
                    } else {
                        span = json_detail::spanOfValue(s, v);
                    }
                    if (span.end == npos) {  // a block that does not close: the rest is this value
                        onMember(key, std::string_view{}, span.rule);
                        return false;
                    }
                    if (onMember(key, s.substr(v, span.end - v), span.rule)) return true;
                    pos = span.end;
                    continue;
                }
                if (onMember(key, json_detail::valueAt(s, v, rule_), rule_)) return true;
            }
            pos = end;
            continue;
        }
        if (ch == '{' || ch == '[') {
            ++level;
        } else if (ch == '}' || ch == ']') {
            if (--level < 0) {
                closed_ = true;
                return false;
            }
        }
        ++pos;
    }
    return false;
}

void JsonMembers::walk(std::string_view text, bool fixed, JsonTextRule rule) {
    fixed_ = fixed;
    rule_ = rule;
    text = ltrimJsonP(text);
    const size_t open = text.find('{');
    if (open == std::string_view::npos) return;
    hasObject_ = true;
    s_ = text;
    open_ = open;
    members([&](std::string_view key, std::string_view value, JsonTextRule r) {
        if (count_ < kMax)
            entries_[count_++] = {key, value, r};
        else
            full_ = true;
        return false;
    });
}

int JsonMembers::indexOf(std::string_view key) const {
    for (int i = 0; i < count_; ++i)
        if (entries_[i].key == key) return i;
    return -1;
}

JsonMembers::Value JsonMembers::find(const char* key) const {
    const std::string_view wanted(key);
    const int i = indexOf(wanted);
    if (i >= 0) return {entries_[i].value, entries_[i].rule};
    if (!full_) return {};
    // More members than the index holds: walk again for this one.
    Value found;
    JsonMembers again = *this;
    again.members([&](std::string_view k, std::string_view value, JsonTextRule r) {
        if (k != wanted) return false;
        found = {value, r};
        return true;
    });
    return found;
}

bool JsonMembers::has(const char* key) const {
    if (indexOf(key) >= 0) return true;
    if (!full_) return false;
    bool seen = false;
    JsonMembers again = *this;
    again.members([&](std::string_view k, std::string_view, JsonTextRule) { return seen = (k == key); });
    return seen;
}
