#include "sensors/probe_meta.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "recipe/recipe_data.h"
#include "utils/log.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view ltrim(std::string_view v) {
    size_t i = 0;
    while (i < v.size() && isBlank(v[i])) ++i;
    return v.substr(i);
}

std::string_view trim(std::string_view v) {
    v = ltrim(v);
    while (!v.empty() && isBlank(v.back())) v.remove_suffix(1);
    return v;
}

// Index just past the string that starts with the quote at v[i] (escapes honoured); v.size()
// when it never closes.
size_t skipString(std::string_view v, size_t i) {
    ++i;
    while (i < v.size()) {
        if (v[i] == '\\') {
            i += 2;
            continue;
        }
        if (v[i] == '"') return i + 1;
        ++i;
    }
    return v.size();
}

// The balanced {...} or [...] block at the start of v (brackets inside strings do not count);
// empty when v does not start with an opening bracket or the block never closes.
std::string_view block(std::string_view v) {
    if (v.empty() || (v[0] != '{' && v[0] != '[')) return {};
    int depth = 0;
    size_t i = 0;
    while (i < v.size()) {
        char c = v[i];
        if (c == '"') {
            i = skipString(v, i);
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') {
            if (--depth == 0) return v.substr(0, i + 1);
        }
        ++i;
    }
    return {};
}

// Value of key in the object obj ({...}), looked up among the object's own keys only; the view
// starts at the value (blanks skipped) and runs to the end of the object. Empty when absent.
std::string_view findKey(std::string_view obj, std::string_view key) {
    if (obj.size() < 2 || obj[0] != '{') return {};
    int depth = 0;
    size_t i = 0;
    while (i < obj.size()) {
        char c = obj[i];
        if (c == '"') {
            size_t end = skipString(obj, i);
            if (depth == 1) {
                size_t len = end >= i + 2 ? end - i - 2 : 0;
                std::string_view name = obj.substr(i + 1, len);
                size_t j = end;
                while (j < obj.size() && isBlank(obj[j])) ++j;
                if (j < obj.size() && obj[j] == ':') {
                    if (name == key) return ltrim(obj.substr(j + 1));
                    i = j + 1;
                    continue;
                }
            }
            i = end;
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
        ++i;
    }
    return {};
}

// Copies at most 63 characters of a number's text so that strtoll/strtof never read past the view.
std::string numberText(std::string_view v) {
    size_t n = 0;
    while (n < v.size() && n < 63 && !isBlank(v[n]) && v[n] != ',' && v[n] != '}' && v[n] != ']') ++n;
    return std::string(v.substr(0, n));
}

bool readInt64(std::string_view v, int64_t& out) {
    if (v.empty()) return false;
    std::string s = numberText(v);
    const char* b = s.c_str();
    char* e = nullptr;
    errno = 0;
    long long x = std::strtoll(b, &e, 10);
    if (e == b) return false;
    if (errno == ERANGE) return false;
    out = x;
    return true;
}

bool readInt(std::string_view v, int32_t& out) {
    int64_t x = 0;
    if (!readInt64(v, x)) return false;
    if (x > std::numeric_limits<int32_t>::max()) x = std::numeric_limits<int32_t>::max();
    if (x < std::numeric_limits<int32_t>::min()) x = std::numeric_limits<int32_t>::min();
    out = static_cast<int32_t>(x);
    return true;
}

bool readFloat(std::string_view v, float& out) {
    if (v.empty()) return false;
    if (v.substr(0, 4) == "null") {
        out = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    std::string s = numberText(v);
    const char* b = s.c_str();
    char* e = nullptr;
    float x = std::strtof(b, &e);
    if (e == b) return false;
    out = x;
    return true;
}

bool readBool(std::string_view v, bool& out) {
    if (v.empty()) return false;
    if (v[0] == '"') v.remove_prefix(1);
    out = v.size() >= 4 && (v[0] == 't' || v[0] == 'T') && v.substr(1, 3) == "rue";
    return true;
}

void appendUtf8(std::string& s, uint32_t cp) {
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

template <uint32_t N>
bool readText(std::string_view v, fss::basic_str<char, N>& out) {
    if (v.empty() || v[0] != '"') return false;
    std::string s;
    size_t i = 1;
    while (i < v.size() && v[i] != '"' && s.size() <= N + 4) {
        char c = v[i];
        if (c == '\\' && i + 1 < v.size()) {
            char e = v[i + 1];
            i += 2;
            switch (e) {
                case 'n': s += '\n'; break;
                case 't': s += '\t'; break;
                case 'r': s += '\r'; break;
                case 'b': s += '\b'; break;
                case 'f': s += '\f'; break;
                case 'u': {
                    uint32_t cp = 0;
                    size_t k = 0;
                    for (; k < 4 && i + k < v.size(); ++k) {
                        char h = v[i + k];
                        cp <<= 4;
                        if (h >= '0' && h <= '9') cp |= static_cast<uint32_t>(h - '0');
                        else if (h >= 'a' && h <= 'f') cp |= static_cast<uint32_t>(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F') cp |= static_cast<uint32_t>(h - 'A' + 10);
                        else break;
                    }
                    i += k;
                    if (cp != 0) appendUtf8(s, cp);
                    break;
                }
                default: s += e; break;
            }
            continue;
        }
        s += c;
        ++i;
    }
    // Cut at the capacity, on a whole UTF-8 character.
    if (s.size() > N) {
        size_t n = N;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
        s.resize(n);
    }
    out.assignBytes(s.data(), s.size());
    return true;
}

// Calls fn(elementObject) for each object element of the array at the start of v. Elements are
// split at top-level commas; reading stops at the first empty element. Non-object elements
// carry nothing and are skipped.
template <typename Fn>
void forEachElement(std::string_view v, Fn&& fn) {
    std::string_view arr = block(v);
    if (arr.size() < 2 || arr[0] != '[') return;
    std::string_view body = arr.substr(1, arr.size() - 2);
    size_t start = 0;
    int depth = 0;
    size_t i = 0;
    auto emit = [&](size_t end) -> bool {
        std::string_view el = trim(body.substr(start, end - start));
        if (el.empty()) return false;
        if (el[0] == '{') {
            std::string_view obj = block(el);
            if (!obj.empty()) fn(obj);
        }
        return true;
    };
    while (i < body.size()) {
        char c = body[i];
        if (c == '"') {
            i = skipString(body, i);
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if (c == '}' || c == ']') --depth;
        else if (c == ',' && depth == 0) {
            if (!emit(i)) return;
            start = i + 1;
        }
        ++i;
    }
    emit(body.size());
}

// Reads the array under key into list, cutting (with one warning) at the list's capacity.
template <typename List, typename Fn>
void readList(std::string_view obj, std::string_view key, List& list, Fn&& parseOne) {
    std::string_view v = findKey(obj, key);
    if (v.empty()) return;
    bool warned = false;
    forEachElement(v, [&](std::string_view el) {
        auto* item = list.emplace_default();
        if (!item) {
            if (!warned) {
                SLOG_WARN(SENSOR, "probe definition: more than {} entries in \"{}\"; the rest is ignored",
                          List::capacity, key);
                warned = true;
            }
            return;
        }
        parseOne(el, *item);
    });
}

template <typename T>
void getInt(std::string_view obj, std::string_view key, T& out) {
    int32_t x = 0;
    if (readInt(findKey(obj, key), x)) out = x;
}
void getFloat(std::string_view obj, std::string_view key, float& out) { readFloat(findKey(obj, key), out); }
void getBool(std::string_view obj, std::string_view key, bool& out) { readBool(findKey(obj, key), out); }
template <uint32_t N>
void getText(std::string_view obj, std::string_view key, fss::basic_str<char, N>& out) {
    readText(findKey(obj, key), out);
}
std::string_view getObject(std::string_view obj, std::string_view key) {
    std::string_view v = findKey(obj, key);
    std::string_view b = block(v);
    return (!b.empty() && b[0] == '{') ? b : std::string_view{};
}

void parseCalbCmd(std::string_view o, CalbCmd_Like& c) {
    getInt(o, "RegAddress", c.RegAddress);
    getText(o, "RegType", c.RegType);
    getBool(o, "Editable", c.Editable);
    getInt(o, "SetValue", c.SetValue);
    getInt(o, "Waiting_mS", c.Waiting_mS);
    getInt(o, "ResultRegAddress", c.ResultRegAddress);
    getText(o, "ResultRegType", c.ResultRegType);
    readList(o, "Results", c.Results, [](std::string_view r, CalbCmdResult& res) {
        getInt(r, "RegValue", res.RegValue);
        getText(r, "ResultMessage", res.ResultMessage);
    });
    getFloat(o, "SetValueMax", c.SetValueMax);
    getFloat(o, "SetValueMin", c.SetValueMin);
}

void parseSpanPoint(std::string_view o, Span4_20mA_Meta::Span4_20mA_MetaItem& p) {
    if (o.empty()) return;
    getText(o, "Name", p.Name);
    getBool(o, "Editable", p.Editable);
    getInt(o, "Placeholder", p.Placeholder);
    readList(o, "Cmds", p.Cmds, parseCalbCmd);
}

void parseCleanliness(std::string_view o, CleanlinessResult& r) {
    if (o.empty()) return;
    getInt(o, "minCleanliness", r.minCleanliness);
    getText(o, "DiagMessage", r.DiagMessage);
    getBool(o, "PleaseClean", r.PleaseClean);
    getBool(o, "IsClean", r.IsClean);
    getBool(o, "IsWarning", r.IsWarning);
}

}  // namespace

const ProbeMeta& probeMetaNone() {
    static const ProbeMeta none{};
    return none;
}

void registerProbeMetaNone() { ProbeMeasureRecipeItem::setNoneObject(&probeMetaNone()); }

namespace {
// Recipe items built after static initialisation point at the empty definition from the start.
const bool gNoneRegistered = (registerProbeMetaNone(), true);
}  // namespace

const ReadingItem* ProbeMeta::getReadItemByName(const fss::basic_str<char, 32>& name) const {
    int i = indexOfReading(name);
    return i >= 0 ? &Readings[static_cast<size_t>(i)] : nullptr;
}

int ProbeMeta::indexOfReading(const fss::basic_str<char, 32>& name) const {
    for (uint32_t i = 0; i < Readings.size(); ++i) {
        if (Readings[i].Name == name) return static_cast<int>(i);
    }
    return -1;
}

bool readJson(const fss::basic_str<char, 1048576>& text, ProbeMeta& meta) { return readJson(text.view(), meta); }

bool readJson(std::string_view text, ProbeMeta& meta) {
    size_t open = text.find('{');
    if (open == std::string_view::npos) return false;
    std::string_view top = block(text.substr(open));
    if (top.empty()) return false;

    int64_t pn = 0;
    if (readInt64(findKey(top, "PN"), pn)) meta.PN = pn;
    getText(top, "DataFmt", meta.DataFmt);
    getText(top, "ModelType", meta.ModelType);
    getText(top, "ModelName", meta.ModelName);
    getText(top, "ModelDescription", meta.ModelDescription);
    getInt(top, "ModbusAddr", meta.ModbusAddr);

    readList(top, "Info", meta.Info, [](std::string_view o, InfoItem& it) {
        getText(o, "Name", it.Name);
        getInt(o, "RegAddress", it.RegAddress);
        getText(o, "RegType", it.RegType);
        getInt(o, "RegLen", it.RegLen);
    });

    readList(top, "Config", meta.Config, [](std::string_view o, ConfigItem& it) {
        getText(o, "Name", it.Name);
        getText(o, "SettingsType", it.SettingsType);
        getBool(o, "Editable", it.Editable);
        getText(o, "Tip", it.Tip);
        readList(o, "Cmds", it.Cmds, [](std::string_view c, ConfigItem::ConfigCmdItem& cmd) {
            getInt(c, "RegAddress", cmd.RegAddress);
            getText(c, "RegType", cmd.RegType);
            getInt(c, "RegLen", cmd.RegLen);
            getBool(c, "Editable", cmd.Editable);
            getInt(c, "SetValue", cmd.SetValue);
        });
    });

    readList(top, "Readings", meta.Readings, [](std::string_view o, ReadingItem& r) {
        getText(o, "Name", r.Name);
        getText(o, "custName", r.custName);
        getText(o, "Unit", r.Unit);
        getInt(o, "RegAddress", r.RegAddress);
        getText(o, "RegType", r.RegType);
        getInt(o, "Decimal", r.Decimal);
        readList(o, "Calibrations", r.Calibrations, [](std::string_view c, CalibrationItem& cal) {
            getText(c, "Name", cal.Name);
            getText(c, "Message", cal.Message);
            readList(c, "Cmds", cal.Cmds, parseCalbCmd);
            getFloat(c, "SetValueMax", cal.SetValueMax);
            getFloat(c, "SetValueMin", cal.SetValueMin);
        });
        getBool(o, "Customized", r.Customized);
        getText(o, "DisplayUnit", r.DisplayUnit);
    });

    readList(top, "Diagnosis", meta.Diagnosis, [](std::string_view o, DiagnosisItem& d) {
        getText(o, "DisplayName", d.DisplayName);
        getText(o, "Name", d.Name);
        getInt(o, "RegAddress", d.RegAddress);
        getText(o, "RegType", d.RegType);
    });

    readList(top, "Span4_20mA", meta.Span4_20mA, [](std::string_view o, Span4_20mA_Meta& s) {
        getText(o, "Name", s.Name);
        getInt(o, "RegAddress", s.RegAddress);
        getText(o, "RegType", s.RegType);
        parseSpanPoint(getObject(o, "__4mA"), s.mA4);
        parseSpanPoint(getObject(o, "__20mA"), s.mA20);
    });

    if (std::string_view b = getObject(top, "Brushing"); !b.empty()) {
        BrushingMeta& br = meta.Brushing;
        getInt(b, "modbusID", br.modbusID);
        getInt(b, "RegAddress", br.RegAddress);
        getText(b, "RegType", br.RegType);
        getInt(b, "RegLen", br.RegLen);
        readList(b, "Cmds", br.Cmds, [](std::string_view c, BrushingMeta::BrushCmd& cmd) {
            getText(c, "Name", cmd.Name);
            getInt(c, "SetValue", cmd.SetValue);
            getInt(c, "Waiting_mS", cmd.Waiting_mS);
            getBool(c, "Editable", cmd.Editable);
        });
    }

    readList(top, "Control", meta.Control, [](std::string_view o, ControlCmd& ctl) {
        getText(o, "Name", ctl.Name);
        getText(o, "Tip", ctl.Tip);
        readList(o, "Cmds", ctl.Cmds, [](std::string_view c, ControlCmd::ControlCmdItem& cmd) {
            getInt(c, "RegAddress", cmd.RegAddress);
            getInt(c, "RegLen", cmd.RegLen);
            getText(c, "RegType", cmd.RegType);
            getInt(c, "SetValue", cmd.SetValue);
        });
    });

    if (std::string_view r = getObject(top, "RestoreFactory"); !r.empty()) {
        RestoreFactoryMeta& rf = meta.RestoreFactory;
        getText(r, "Name", rf.Name);
        getText(r, "Message", rf.Message);
        readList(r, "Cmds", rf.Cmds, [](std::string_view c, RestoreCmd& cmd) {
            getInt(c, "RegAddress", cmd.RegAddress);
            getText(c, "RegType", cmd.RegType);
            getInt(c, "RegLen", cmd.RegLen);
            getBool(c, "Editable", cmd.Editable);
            getInt(c, "SetValue", cmd.SetValue);
            readList(c, "Results", cmd.Results, [](std::string_view x, RestoreReturnItem& res) {
                getInt(x, "RegValue", res.RegValue);
                getText(x, "ResultMessage", res.ResultMessage);
            });
            getInt(c, "ResultRegAddress", cmd.ResultRegAddress);
            getText(c, "ResultRegType", cmd.ResultRegType);
        });
    }

    if (std::string_view c = getObject(top, "CleanlinessCheck"); !c.empty()) {
        CleanlinessCheckMeta& cc = meta.CleanlinessCheck;
        getText(c, "Script", cc.Script);
        parseCleanliness(getObject(c, "resultClean"), cc.resultClean);
        parseCleanliness(getObject(c, "resultBecomingFouled"), cc.resultBecomingFouled);
        parseCleanliness(getObject(c, "resultFouled"), cc.resultFouled);
    }

    // A calibration's limits are those of its first command.
    for (ReadingItem& r : meta.Readings) {
        for (CalibrationItem& cal : r.Calibrations) {
            if (!cal.Cmds.empty()) {
                cal.SetValueMax = cal.Cmds[0].SetValueMax;
                cal.SetValueMin = cal.Cmds[0].SetValueMin;
            }
        }
    }
    return true;
}
