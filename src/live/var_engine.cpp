#include "live/var_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include <fmt/format.h>

#include "live/live_data.h"
#include "utils/log.h"
#include "utils/utility.h"

namespace {

template <typename T>
struct IsFixedStr : std::false_type {};
template <uint32_t N>
struct IsFixedStr<fss::basic_str<char, N>> : std::true_type {};

inline uint16_t bswap16(uint16_t v) { return static_cast<uint16_t>((v << 8) | (v >> 8)); }

// Register k of a Modbus request: high byte first.
inline uint16_t requestReg(const uint8_t* data, int k) {
    return static_cast<uint16_t>((data[2 * k] << 8) | data[2 * k + 1]);
}

bool isPlainAscii(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
    return true;
}

// Length of the longest prefix of s[0..n) made of whole, well-formed UTF-8 characters.
size_t validUtf8Prefix(const char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len;
        if (c < 0x80) len = 1;
        else if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) len = 3;
        else if (c >= 0xF0 && c <= 0xF4) len = 4;
        else break;
        if (i + len > n) break;
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
        }
        if (!ok) break;
        i += len;
    }
    return i;
}

// Calls f with the alternative the reference holds (a switch on the index, inlined).
template <class F, size_t... I>
inline void visitRefImpl(const RegVal& v, F& f, std::index_sequence<I...>) {
    const size_t k = v.index();
    (void)((k == I ? (f(*std::get_if<I>(&v)), true) : false) || ...);
}
template <class F>
inline void visitRef(const RegVal& v, F&& f) {
    visitRefImpl(v, f, std::make_index_sequence<std::variant_size_v<RegVal>>{});
}

template <typename T>
T loadUnder(std::mutex* m, const T* p) {
    if (!m) return *p;
    std::lock_guard<std::mutex> lk(*m);
    return *p;
}

template <typename T>
void storeUnder(std::mutex* m, T* p, const T& v) {
    if (!m) {
        *p = v;
        return;
    }
    std::lock_guard<std::mutex> lk(*m);
    *p = v;
}

// 32-bit value -> two host-order registers.
inline void encode32(uint32_t bits, uint16_t* out, bool swapWord, bool swapByte) {
    uint16_t lo = static_cast<uint16_t>(bits & 0xffffu);
    uint16_t hi = static_cast<uint16_t>(bits >> 16);
    if (swapWord) std::swap(lo, hi);
    if (swapByte) {
        lo = bswap16(lo);
        hi = bswap16(hi);
    }
    out[0] = lo;
    out[1] = hi;
}

inline void encode64(uint64_t bits, uint16_t* out, bool swapWord, bool swapByte) {
    uint16_t w[4];
    for (int k = 0; k < 4; ++k) w[k] = static_cast<uint16_t>(bits >> (16 * k));
    if (swapWord) {
        std::swap(w[0], w[1]);
        std::swap(w[2], w[3]);
    }
    for (int k = 0; k < 4; ++k) out[k] = swapByte ? bswap16(w[k]) : w[k];
}

// Text of capacity N -> N/2 registers: GB18030 when it converts within N bytes, else the stored
// UTF-8 bytes. Only the copy of the stored text is made under the owner's mutex.
template <uint32_t N>
void encodeString(std::mutex* m, const fss::basic_str<char, N>* s, uint16_t* out) {
    char raw[N + 1];
    size_t len;
    {
        std::unique_lock<std::mutex> lk;
        if (m) lk = std::unique_lock<std::mutex>(*m);
        len = s->view().size();
        std::memcpy(raw, s->c_str(), len);
    }
    std::memset(raw + len, 0, N + 1 - len);
    char conv[N + 1];
    const char* buf = raw;
    ConvResult r{0, true};
    if (!isPlainAscii(raw, len)) {  // ASCII is the same in GB18030
        std::memset(conv, 0, sizeof conv);
        r = Utility::utf8_to_gb18030(raw, static_cast<unsigned>(len), conv, N);
        if (r.ok) buf = conv;
    }
    if (len > 0) {
        SLOG_INFO(SCADA, "utf8_to_gb18030({},{}): {} -> {}", r.ok, r.err, Utility::hex(raw, static_cast<int>(len)),
                  Utility::hex(buf, static_cast<int>(N)));
    }
    for (uint32_t k = 0; k < N / 2; ++k) {
        out[k] = static_cast<uint16_t>(static_cast<unsigned char>(buf[2 * k]) |
                                       (static_cast<unsigned char>(buf[2 * k + 1]) << 8));
    }
    SLOG_INFO(SCADA, "swapWord:{}, swapByte:{}, from {} to {}", false, false,
              Utility::hex(out, std::min<int>(10, N)), Utility::hex(buf, std::min<int>(10, N)));
}

// Registers of a write request -> UTF-8 text for a fixed string of capacity N.
template <uint32_t N>
fss::basic_str<char, N> decodeString(const uint8_t* data) {
    char raw[N + 1];
    std::memset(raw, 0, sizeof raw);
    for (uint32_t k = 0; k < N / 2; ++k) {
        uint16_t r = requestReg(data, static_cast<int>(k));
        raw[2 * k] = static_cast<char>(r & 0xff);
        raw[2 * k + 1] = static_cast<char>(r >> 8);
    }
    SLOG_INFO(SCADA, "swapWord:{}, swapByte:{}, from {} to {}", false, true,
              Utility::hex(data, std::min<int>(10, N)), Utility::hex(raw, std::min<int>(10, N)));
    const size_t rawLen = std::strlen(raw);

    char out[N + 1];
    std::memset(out, 0, sizeof out);
    ConvResult r = Utility::gb18030_to_utf8(raw, static_cast<unsigned>(rawLen), out, N);
    fss::basic_str<char, N> result;
    if (r.ok) {
        result.assignBytes(out, std::strlen(out));
    } else if (isPlainAscii(raw, rawLen)) {
        // Nothing to convert (or no converter): plain ASCII is valid UTF-8 as it stands.
        result.assignBytes(raw, rawLen);
    } else {
        // Keep what converted, cut at a whole character; never store raw GB18030 bytes.
        size_t n = std::strlen(out);
        result.assignBytes(out, validUtf8Prefix(out, n));
    }
    return result;
}

}  // namespace

// ---- Free helpers ------------------------------------------------------------------------------

EndianessType endianessFromName(std::string_view name) {
    for (size_t i = 0; i < 4; ++i)
        if (name == kEndianessNames[i]) return static_cast<EndianessType>(i);
    return EndianessType::NONE;
}

int regValCount(const RegVal& v) {
    if (v.index() == 0 || regValAddress(v) == nullptr) return 0;
    return kRegValRegisters[v.index()];
}

const void* regValAddress(const RegVal& v) {
    return std::visit(
        [](auto p) -> const void* {
            if constexpr (std::is_same_v<decltype(p), std::monostate>) return nullptr;
            else return static_cast<const void*>(p);
        },
        v);
}

std::string var_to_string(const RegVal& v) {
    return std::visit(
        [](auto p) -> std::string {
            using P = decltype(p);
            if constexpr (std::is_same_v<P, std::monostate>) {
                return "nullptr";
            } else {
                if (!p) return "nullptr";
                using T = std::remove_pointer_t<P>;
                if constexpr (std::is_same_v<T, float>) return fmt::format("{:f}", *p);
                else if constexpr (std::is_same_v<T, bool>) return *p ? "1" : "0";
                else if constexpr (std::is_enum_v<T>) return fmt::format("{}", static_cast<std::underlying_type_t<T>>(*p));
                else if constexpr (IsFixedStr<T>::value) return p->str();
                else return fmt::format("{}", *p);
            }
        },
        v);
}

int32_t regNameHash(std::string_view name) {
    if (name.empty()) return 0;
    uint32_t h = static_cast<unsigned char>(name[0]);
    for (size_t i = 1; i < name.size(); ++i) h = h * 31u + static_cast<unsigned char>(name[i]);
    return static_cast<int32_t>(h);
}

// ---- VarEngine ---------------------------------------------------------------------------------

VarEngine::VarEngine() {
    regIndex_.fill(-1);
    nativeEndianess_ = detectNative();
    SLOG_INFO(SCADA, " nativeEndianess = {}", endianessName(nativeEndianess_));
}

void VarEngine::attachStore(RegOwner owner, const void* begin, size_t bytes, std::mutex& mutex) {
    auto i = static_cast<size_t>(owner);
    if (owner == RegOwner::NONE || i >= regions_.size()) return;
    regions_[i].begin = static_cast<const char*>(begin);
    regions_[i].end = static_cast<const char*>(begin) + bytes;
    regions_[i].mutex = &mutex;
}

void VarEngine::attachLive(LiveDataGuard& live) {
    attachStore(RegOwner::LIVE, &live.data(), sizeof(ScadaLiveData), live.mutex());
}

RegOwner VarEngine::ownerOf(const void* p) const {
    if (!p) return RegOwner::NONE;
    auto c = static_cast<const char*>(p);
    const auto& live = regions_[static_cast<size_t>(RegOwner::LIVE)];
    if (live.begin && c >= live.begin && c < live.end) return RegOwner::LIVE;
    const auto& recipe = regions_[static_cast<size_t>(RegOwner::RECIPE)];
    if (recipe.begin && c >= recipe.begin && c < recipe.end) return RegOwner::RECIPE;
    return RegOwner::NONE;
}


void VarEngine::registerVal(const std::string& name, RegVal val, int index) {
    if (tabLen_ >= MAX_VAR_REG_NUM) {
        SLOG_ERROR(SCADA, "ExportVaribleEngine::registerVal: tab is full {} / {}", tabLen_, MAX_VAR_REG_NUM);
        throw std::runtime_error("ExportVaribleEngine::registerVal: tab is full, please increase MAX_VAR_REG_NUM");
    }
    const int num = regValCount(val);
    if (num == 0) val = std::monostate{};
    const RegOwner owner = ownerOf(regValAddress(val));
    const int reg = curReg;
    auto [other, found] = checkOverlap(name, reg, num);
    if (found) {
        throw std::runtime_error(fmt::format(
            "ExportVaribleEngine::registerVal, the registers({} / {}) are overlapped, reg {}; num {}", name, other, reg, num));
    }
    curReg += num;
    RegEntry& e = tab_[tabLen_];
    e.name.assignBytes(name.data(), std::min<size_t>(name.size(), 32));
    e.hash = regNameHash(name);
    e.reg = reg;
    e.num = num;
    e.type = curType;
    e.index = index;
    e.owner = owner;
    e.val = val;
    hot_[tabLen_] = HotEntry{val, mutexOf(owner), num};
    ++tabLen_;
    sorted_ = false;
    SLOG_INFO(SCADA, "ExportVaribleEngine::registerVal: {} reg={} num={} type={}", name, reg, num, regValTypeName(curType));
}

std::pair<std::string, bool> VarEngine::checkOverlap(const std::string& /*name*/, int reg, int num) const {
    if (num <= 0) return {std::string{}, false};
    const int64_t lo = reg, hi = static_cast<int64_t>(reg) + num;  // [lo, hi)
    for (int i = 0; i < tabLen_; ++i) {
        const RegEntry& e = tab_[i];
        if (e.num <= 0) continue;
        if (static_cast<int64_t>(e.reg) < hi && lo < static_cast<int64_t>(e.reg) + e.num) return {e.name.str(), true};
    }
    return {std::string{}, false};
}

void VarEngine::sortRegTab() {
    std::sort(tab_.begin(), tab_.begin() + tabLen_, [](const RegEntry& a, const RegEntry& b) { return a.reg < b.reg; });
    regIndex_.fill(-1);
    for (int i = 0; i < tabLen_; ++i) {
        const RegEntry& e = tab_[i];
        hot_[i] = HotEntry{e.val, mutexOf(e.owner), e.num};
        if (e.num > 0 && e.reg >= 0 && e.reg < kIndexedRegs) regIndex_[e.reg] = static_cast<int16_t>(i);
    }
    sorted_ = true;
}

int VarEngine::slotByRegSlow(int reg) const {
    if (sorted_) {
        auto first = tab_.begin(), last = tab_.begin() + tabLen_;
        auto it = std::lower_bound(first, last, reg, [](const RegEntry& e, int r) { return e.reg < r; });
        for (; it != last && it->reg == reg; ++it)
            if (it->num > 0) return static_cast<int>(it - first);
        return -1;
    }
    for (int i = 0; i < tabLen_; ++i)
        if (tab_[i].reg == reg && tab_[i].num > 0) return i;
    return -1;
}

VarEngine::Lookup VarEngine::findByReg(int reg) const {
    int slot = slotByReg(reg);
    if (slot < 0) return {RegOwner::NONE, RegVal{}};
    return {tab_[slot].owner, tab_[slot].val};
}

VarEngine::Lookup VarEngine::findByName(std::string_view name) const {
    const int32_t h = regNameHash(name);
    for (int i = 0; i < tabLen_; ++i)
        if (tab_[i].hash == h) return {tab_[i].owner, tab_[i].val};
    return {RegOwner::NONE, RegVal{}};
}

int VarEngine::findRegByGroupIndex(RegValType type, int index) const {
    for (int i = 0; i < tabLen_; ++i)
        if (tab_[i].type == type && tab_[i].index == index) return tab_[i].reg;
    return -1;
}

EndianessType VarEngine::detectNative() {
    SLOG_WARN(SCADA, "detectNative: DCBA");
    return EndianessType::DCBA;
}

std::pair<bool, bool> VarEngine::detectSwapableLogged(EndianessType clientType) const {
    const auto c = static_cast<uint32_t>(clientType), n = static_cast<uint32_t>(nativeEndianess_);
    const bool swapWord = (c & 1u) != (n & 1u);
    const bool swapByte = (c & 2u) != (n & 2u);
    SLOG_WARN(SCADA, "swapWord: {}, swapByte: {}", swapWord, swapByte);
    return {swapWord, swapByte};
}

bool VarEngine::getRegVal(int reg, unsigned short* buf, int n, EndianessType clientType) {
    auto [w, b] = detectSwapable(clientType);
    return getRegVal(reg, buf, n, w, b);
}

bool VarEngine::getRegVal(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte) {
    if (n <= 0) return true;
    int d = 0;
    uint16_t tmp[64];
    // Consecutive values of one store are read under one hold of its mutex (one store at a time:
    // the hold is released before another store's mutex is taken). A text releases it: only its
    // copy is made under the mutex, the conversion runs unlocked.
    std::unique_lock<std::mutex> held;
    auto hold = [&held](std::mutex* m) {
        if (!m || held.mutex() == m) return;
        if (held.owns_lock()) held.unlock();
        held = std::unique_lock<std::mutex>(*m);
    };
    while (d < n) {
        const int slot = slotByReg(reg + d);
        if (slot < 0) {
            SLOG_INFO(SCADA, "getRegVal: {} not found", reg + d);
            return false;
        }
        const HotEntry& e = hot_[slot];
        std::mutex* m = e.mutex;
        visitRef(e.val,
            [&](auto p) {
                using P = decltype(p);
                if constexpr (!std::is_same_v<P, std::monostate>) {
                    using T = std::remove_pointer_t<P>;
                    if constexpr (IsFixedStr<T>::value) {
                        if (held.owns_lock()) held.unlock();
                        held = std::unique_lock<std::mutex>();
                        encodeString(m, p, tmp);
                        return;
                    } else {
                    hold(m);
                    const T v = *p;
                    if constexpr (std::is_same_v<T, short> || std::is_same_v<T, unsigned short>) {
                        auto r = static_cast<uint16_t>(v);
                        tmp[0] = swapByte ? bswap16(r) : r;
                    } else if constexpr (std::is_enum_v<T>) {
                        tmp[0] = static_cast<uint16_t>(v);
                    } else if constexpr (std::is_same_v<T, bool>) {
                        tmp[0] = v ? 1 : 0;
                    } else if constexpr (std::is_same_v<T, int> || std::is_same_v<T, unsigned int>) {
                        encode32(static_cast<uint32_t>(v), tmp, swapWord, swapByte);
                    } else if constexpr (std::is_same_v<T, float>) {
                        uint32_t bits;
                        std::memcpy(&bits, &v, 4);
                        encode32(bits, tmp, swapWord, swapByte);
                    } else if constexpr (std::is_same_v<T, long long>) {
                        encode64(static_cast<uint64_t>(v), tmp, swapWord, swapByte);
                    } else {
                        static_assert(sizeof(T) == 0, "no encoding for this type");
                    }
                    }
                }
            });
        // A value that runs past the requested range is cut: never write beyond buf[n - 1].
        const int take = std::min(e.num, n - d);
        for (int k = 0; k < take; ++k) buf[d + k] = tmp[k];
        d += e.num;
    }
    return true;
}

bool VarEngine::setRegVal(int reg, const unsigned short* data, int n, EndianessType clientType) {
    return setRegVal(reg, reinterpret_cast<const uint8_t*>(data), n, clientType);
}

bool VarEngine::setRegVal(int reg, const unsigned short* data, int n, bool swapWord, bool swapByte) {
    return setRegVal(reg, reinterpret_cast<const uint8_t*>(data), n, swapWord, swapByte);
}

bool VarEngine::setRegVal(int reg, const uint8_t* data, int n, EndianessType clientType) {
    SLOG_WARN(SCADA, "setRegVal clientType = {}, nativeEndianess = {}", endianessName(clientType),
              endianessName(nativeEndianess_));
    auto [w, b] = detectSwapable(clientType);
    return setRegVal(reg, data, n, w, b);
}

bool VarEngine::setRegVal(int reg, const uint8_t* data, int n, bool swapWord, bool /*swapByte*/) {
    // The request's high-byte-first order is the only byte conversion of a write.
    if (n <= 0) return true;
    int d = 0;
    while (d < n) {
        const int slot = slotByReg(reg + d);
        if (slot < 0) {
            SLOG_ERROR(SCADA, "setRegVal: {} not found", reg + d);
            return false;
        }
        const HotEntry& e = hot_[slot];
        if (e.num > n - d) {
            SLOG_ERROR(SCADA, "setRegVal: {} needs {} registers, the request holds {}", reg + d, e.num, n - d);
            return false;
        }
        const uint8_t* p8 = data + 2 * d;
        std::mutex* m = e.mutex;
        visitRef(e.val,
            [&](auto p) {
                using P = decltype(p);
                if constexpr (!std::is_same_v<P, std::monostate>) {
                    using T = std::remove_pointer_t<P>;
                    if constexpr (std::is_same_v<T, short> || std::is_same_v<T, unsigned short> || std::is_enum_v<T>) {
                        storeUnder(m, p, static_cast<T>(requestReg(p8, 0)));
                    } else if constexpr (std::is_same_v<T, bool>) {
                        storeUnder(m, p, requestReg(p8, 0) != 0);
                    } else if constexpr (std::is_same_v<T, int> || std::is_same_v<T, unsigned int> || std::is_same_v<T, float>) {
                        uint32_t r0 = requestReg(p8, 0), r1 = requestReg(p8, 1);
                        uint32_t bits = swapWord ? (r0 << 16) | r1 : r0 | (r1 << 16);
                        T v;
                        std::memcpy(&v, &bits, 4);
                        storeUnder(m, p, v);
                    } else if constexpr (std::is_same_v<T, long long>) {
                        uint64_t w[4];
                        for (int k = 0; k < 4; ++k) w[k] = requestReg(p8, k);
                        if (swapWord) {
                            std::swap(w[0], w[1]);
                            std::swap(w[2], w[3]);
                        }
                        uint64_t bits = w[0] | (w[1] << 16) | (w[2] << 32) | (w[3] << 48);
                        storeUnder(m, p, static_cast<long long>(bits));
                    } else {
                        static_assert(IsFixedStr<T>::value);
                        storeUnder(m, p, decodeString<T::capacity>(p8));
                    }
                }
            });
        d += e.num;
    }
    return true;
}

void VarEngine::showTabContent() const {
    for (int i = 0; i < tabLen_; ++i) {
        const RegEntry& e = tab_[i];
        spdlog::info("name={}, reg={}, hash={}, val={}", e.name.view(), e.reg, e.hash, var_to_string(e.val));
    }
}

void VarEngine::convert(const uint16_t* src, uint16_t* dst, int lenInWord, bool swapWord, bool swapByte) {
    for (int i = 0; i < lenInWord; ++i) dst[i] = src[i];
    if (swapWord) {
        for (int i = 0; i + 1 < lenInWord; i += 2) std::swap(dst[i], dst[i + 1]);
    }
    if (swapByte) {
        for (int i = 0; i < lenInWord; ++i) dst[i] = bswap16(dst[i]);
    }
}
