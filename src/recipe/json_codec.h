#pragma once
// The gateway's own JSON text codec for parameter.json and the other recipe texts.
//
// Writers print straight into a caller's buffer, key by key, in a fixed order, pretty-printed
// with two blanks per indentation level; readers search a text view for each key their record
// knows and convert its value in place over the record's current contents (a key that is absent
// leaves its field unchanged; readers never fail).
//
// Writer form: writeJsonP(value, dst, room, name) (the float writer takes the value last). With a
// name the member is written as "name":value, without (nullptr) as a bare value; both after the
// indentation of the current level. Every writer stays inside its room: it never touches
// dst[room] or beyond. The result is the count of characters written; -1 when the text did not
// fit (the bytes written up to the room are then incomplete and must not be used). When room
// allows, a terminating zero follows the text (not counted).
//
// Texts are escaped on writing (quote, backslash, control characters) and unescaped on reading;
// plain texts are written and read byte for byte. Non-finite floats are written as null.
//
// Files written by earlier firmware hold texts as they were, unescaped: there a text ends at the
// next quote, whatever stands before it, and may end in a backslash ("pw\"). Readers take both:
// a backslash before anything but a valid escape stays a backslash, and a value (a section of a
// stored document, a record, a text) that does not close cleanly under the escaping rule is read
// again under the old one (see JsonMembers).
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

#include "utils/fss.h"

// How the quoted texts of a value are delimited: escaped (a backslash protects the character
// after it) or legacy (a text ends at the next quote; backslashes are ordinary characters).
enum class JsonTextRule : uint8_t { escaped, legacy };

// Indentation level of the writers, one per thread (the document writer and the web interface's
// section writers run on different threads). The caller of a write sets it to 0 first.
extern thread_local int gIndentLevelForWriteJsonP;

// ---- writer primitives ----------------------------------------------------------------------
int writeJsonP(int value, char* dst, int room, const char* name);
int writeJsonP(unsigned int value, char* dst, int room, const char* name);
int writeJsonP(long value, char* dst, int room, const char* name);
int writeJsonP(unsigned long value, char* dst, int room, const char* name);
int writeJsonP(long long value, char* dst, int room, const char* name);
int writeJsonP(unsigned long long value, char* dst, int room, const char* name);
int writeJsonP(bool value, char* dst, int room, const char* name);
// Float: null for NaN and infinities; "%.0f" when the value differs from its integer part
// (truncated toward zero, saturated at the int32 limits) by less than 0.001, else "%.6f".
int writeJsonP(char* dst, int room, const char* name, float value);
// Text: the characters up to the terminating zero, quoted and escaped.
int writeJsonP(const char* value, char* dst, int room, const char* name);
template <uint32_t N>
int writeJsonP(const fss::basic_str<char, N>& value, char* dst, int room, const char* name) {
    return writeJsonP(value.c_str(), dst, room, name);
}

// ---- reader primitives ----------------------------------------------------------------------
// Drops leading blanks, tabs, CR and LF.
std::string_view ltrimJsonP(std::string_view v);
// The balanced block opened by the first `open` ('{' or '[') of the view (after trimming), with
// or without its brackets; empty when there is none or it does not close. Quoted texts are
// skipped, so brackets inside them do not count.
std::string_view extractJsonBlockP(std::string_view v, char open, bool withBrackets = true,
                                   JsonTextRule rule = JsonTextRule::escaped);
// The value of "name": at the own level of the record being read: the top level of the view, or
// the level just inside the first '{' when the view (trimmed) starts with '{'. Occurrences inside
// nested objects or arrays, and inside quoted texts, are skipped; no blank is allowed between the
// key's closing quote and the colon. The value is: a quoted text with its quotes; a balanced
// block with its brackets; or the text up to the next ',', '}' or ']'. Empty when not found.
std::string_view findJsonKeyP(std::string_view v, const char* name, JsonTextRule rule = JsonTextRule::escaped);

// Bool: true exactly when the value starts with "true" or "True"; any other present value is
// false; an empty view keeps the field.
void readJsonP(bool& field, std::string_view value);
// Float: a decimal number parsed over the view; anything else (null, a quoted text) keeps it.
void readJsonP(float& field, std::string_view value);
// Integer: a decimal integer (leading blanks and sign allowed, parsing stops at the first
// character that is not a digit, so 12.7 reads 12) stored into the field's width; anything that
// does not start with a number keeps the field. Unsigned 32-bit values read back exactly.
bool parseJsonIntegerP(std::string_view value, long long& out);
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
void readJsonP(T& field, std::string_view value) {
    long long v = 0;
    if (parseJsonIntegerP(value, v)) field = static_cast<T>(v);
}
// Text: the characters between the quotes (unescaped under the escaping rule, a backslash
// before anything but a valid escape kept; as they stand under the legacy rule), cut at N bytes
// at the last complete UTF-8 character; a present value that is not a complete quoted text
// empties the field.
size_t readJsonTextP(char* out, size_t cap, std::string_view value,
                     JsonTextRule rule = JsonTextRule::escaped);  // returns the length
template <uint32_t N>
void readJsonP(fss::basic_str<char, N>& field, std::string_view value, JsonTextRule rule = JsonTextRule::escaped) {
    if (value.empty()) return;
    if constexpr (N <= 1024) {
        char scratch[N + 1];
        size_t n = readJsonTextP(scratch, N, value, rule);
        field.assignBytes(scratch, n);
    } else {  // large texts: scratch on the heap, never on a thread stack
        std::unique_ptr<char[]> scratch(new char[N + 1]);
        size_t n = readJsonTextP(scratch.get(), N, value, rule);
        field.assignBytes(scratch.get(), n);
    }
}

// Calls visit(index, elementText) for each element of an array value (the text with its
// brackets, as findJsonKeyP gives it), at most maxElements. Elements are split at the commas of
// the array's own level; an empty element ends the walk. Returns the number of elements visited.
template <class Visit>
int forEachJsonArrayElementP(std::string_view arrayValue, int maxElements, Visit&& visit,
                             JsonTextRule rule = JsonTextRule::escaped);

// The members of one object's own level, found in one pass; the object is the block opened by
// the text's first '{'. With a rule, every quoted text follows it. Without one (stored files,
// texts from outside), each member's value is judged on its own: a text or block that does not
// close cleanly under the escaping rule (a quote that ends a text must be followed by ':', ',',
// '}' or ']') is taken under the legacy rule, and the walk goes on behind it, so one text of
// earlier firmware never hides the members after it. find() gives the value with its rule.
class JsonMembers {
public:
    struct Value {
        std::string_view text;  // as findJsonKeyP gives it; empty when absent
        JsonTextRule rule = JsonTextRule::escaped;
    };

    explicit JsonMembers(std::string_view text) { walk(text, false, JsonTextRule::escaped); }
    JsonMembers(std::string_view text, JsonTextRule rule) { walk(text, true, rule); }

    bool hasObject() const { return hasObject_; }
    bool closed() const { return closed_; }
    bool has(const char* key) const;
    Value find(const char* key) const;

private:
    struct Entry {
        std::string_view key;
        std::string_view value;  // as find() gives it
        JsonTextRule rule;
    };
    static constexpr int kMax = 48;

    void walk(std::string_view text, bool fixed, JsonTextRule rule);
    // Walks the members from the start, calling onMember(key, value, rule) for each; stops early
    // when it returns true. Sets the closing state when the walk reaches the end.
    template <class Fn>
    bool members(Fn&& onMember);
    int indexOf(std::string_view key) const;

    std::string_view s_;
    size_t open_ = 0;
    Entry entries_[kMax];
    int count_ = 0;
    bool fixed_ = false;
    JsonTextRule rule_ = JsonTextRule::escaped;
    bool full_ = false;
    bool hasObject_ = false;
    bool closed_ = false;
};

// ---- internals shared by the record codecs ---------------------------------------------------
namespace json_detail {

// Bounded output cursor: never writes at or past dst[room]; overflow is sticky.
class Cursor {
public:
    Cursor(char* dst, int room) : dst_(dst), room_(room > 0 ? room : 0), overflow_(room <= 0) {}

    void put(char c) {
        if (overflow_) return;
        if (n_ >= room_) {
            overflow_ = true;
            return;
        }
        dst_[n_++] = c;
    }
    void put(std::string_view s) {
        if (overflow_) return;
        if (static_cast<long long>(n_) + static_cast<long long>(s.size()) > room_) {
            overflow_ = true;
            return;
        }
        std::memcpy(dst_ + n_, s.data(), s.size());
        n_ += static_cast<int>(s.size());
    }
    void indent(int level) {
        if (level <= 0 || overflow_) return;
        long long want = 2LL * level;
        if (n_ + want > room_) {
            overflow_ = true;
            return;
        }
        for (long long i = 0; i < want; ++i) dst_[n_++] = ' ';
    }
    // Writes c at the current position without counting it (the uncounted newline after an
    // object's "}"), when there is room.
    void putUncounted(char c, int offset = 0) {
        if (!overflow_ && n_ + offset < room_) dst_[n_ + offset] = c;
    }
    void key(const char* name);  // "name": (nothing for a null name)
    void integer(long long v);
    void unsignedInteger(unsigned long long v);
    void boolean(bool v) { put(v ? std::string_view("true") : std::string_view("false")); }
    void real(float v);
    void text(const char* s);

    int count() const { return n_; }
    bool overflow() const { return overflow_; }
    int result() const { return overflow_ ? -1 : n_; }
    // Terminating zero after the counted text (and after an uncounted newline when given).
    void terminate(int offset = 0) {
        if (!overflow_ && n_ + offset < room_) dst_[n_ + offset] = '\0';
    }

private:
    char* dst_;
    int room_;
    int n_ = 0;
    bool overflow_;
};

// Public frame of an object writer: runs fn on a cursor over dst, restores the indentation
// level, adds the uncounted newline and the terminating zero; the writer's result.
template <class Fn>
int writeObjectPublic(char* dst, int room, Fn&& fn) {
    Cursor c(dst, room);
    const int saved = gIndentLevelForWriteJsonP;
    fn(c);
    gIndentLevelForWriteJsonP = saved;
    c.putUncounted('\n');
    c.terminate(1);
    return c.result();
}

// Index just past the closing quote of the quoted text that starts at s[pos]; s.size() when it
// does not close.
size_t skipString(std::string_view s, size_t pos, JsonTextRule rule = JsonTextRule::escaped);
// Index of the quote that closes the quoted text starting at s[pos], or npos.
size_t closeQuote(std::string_view s, size_t pos, JsonTextRule rule = JsonTextRule::escaped);
// Value view that starts at or after pos (see findJsonKeyP).
std::string_view valueAt(std::string_view s, size_t pos, JsonTextRule rule = JsonTextRule::escaped);

// Index of the bracket that closes the block opened at s[pos] ('{' or '['; only that bracket pair
// is counted, quoted texts are skipped), or npos. With clean given, the scan stops with npos and
// clean false at the first text whose closing quote is followed by something no text can be
// followed by (see spanOfValue).
size_t blockEnd(std::string_view s, size_t pos, JsonTextRule rule, bool* clean = nullptr);

// The text or block that starts at s[pos] ('"', '{' or '['): the index just past it and the rule
// it closes under (escaped when it closes cleanly so, else legacy when that closes cleanly, else
// whichever closes); end is npos when it closes under neither.
struct ValueSpan {
    size_t end;
    JsonTextRule rule;
};
ValueSpan spanOfValue(std::string_view s, size_t pos);

// Element walk of an array's content (without its brackets): returns the length of the element
// that starts at pos, including its ending comma.
size_t elementLength(std::string_view content, size_t pos, JsonTextRule rule = JsonTextRule::escaped);

}  // namespace json_detail

template <class Visit>
int forEachJsonArrayElementP(std::string_view arrayValue, int maxElements, Visit&& visit, JsonTextRule rule) {
    std::string_view content = extractJsonBlockP(arrayValue, '[', false, rule);
    int index = 0;
    size_t pos = 0;
    while (index < maxElements && pos < content.size()) {
        size_t len = json_detail::elementLength(content, pos, rule);
        if (len <= 1) break;
        visit(index, content.substr(pos, len));
        ++index;
        pos += len;
    }
    return index;
}
