#include "live/var_engine.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
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

// Calls f with the alternative a packed reference holds, its pointer type rebuilt from ptr (a
// switch on the alternative, inlined).
template <size_t I, class F>
inline void callAlternative(void* ptr, F& f) {
    if constexpr (I == 0) {
        f(std::monostate{});
    } else {
        f(static_cast<std::variant_alternative_t<I, RegVal>>(ptr));
    }
}
template <class F, size_t... I>
inline void visitPackedImpl(size_t kind, void* ptr, F& f, std::index_sequence<I...>) {
    (void)((kind == I ? (callAlternative<I>(ptr, f), true) : false) || ...);
}
template <class F>
inline void visitPacked(size_t kind, void* ptr, F&& f) {
    visitPackedImpl(kind, ptr, f, std::make_index_sequence<std::variant_size_v<RegVal>>{});
}

// How a value of each alternative is read: the size of a number in bytes, whether swapByte and
// swapWord apply to it, and whether it is a bool or a text.
struct ValueLayout {
    uint8_t bytes = 0;
    bool byteSwap = false;
    bool wordSwap = false;
    bool isBool = false;
    bool isText = false;
};

template <size_t I>
constexpr ValueLayout layoutOf() {
    if constexpr (I == 0) {
        return {};
    } else {
        using T = std::remove_pointer_t<std::variant_alternative_t<I, RegVal>>;
        if constexpr (IsFixedStr<T>::value) {
            return {0, false, false, false, true};
        } else if constexpr (std::is_same_v<T, bool>) {
            return {1, false, false, true, false};
        } else if constexpr (std::is_enum_v<T>) {
            static_assert(sizeof(T) == 2);
            return {2, false, false, false, false};  // never swapped
        } else {
            static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
            return {static_cast<uint8_t>(sizeof(T)), true, sizeof(T) >= 4, false, false};
        }
    }
}
template <size_t... I>
constexpr std::array<ValueLayout, sizeof...(I)> layoutsOf(std::index_sequence<I...>) {
    return {layoutOf<I>()...};
}
constexpr auto kLayouts = layoutsOf(std::make_index_sequence<std::variant_size_v<RegVal>>{});

// a when use, else b, without a branch.
template <class T>
inline T* pickPtr(T* a, T* b, bool use) {
    const uintptr_t mask = uintptr_t{0} - static_cast<uintptr_t>(use);
    return reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(a) & mask) | (reinterpret_cast<uintptr_t>(b) & ~mask));
}
template <class T>
inline T* offsetPtr(T* p, size_t bytes) {
    return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(p) + bytes);
}

// A load that a writer holding the store's mutex may race with: relaxed atomic, so that a copy
// made without the lock is well defined and is thrown away when the sequence moved meanwhile.
template <class T>
inline T racyLoad(const unsigned char* p) {
    return __atomic_load_n(reinterpret_cast<const T*>(p), __ATOMIC_RELAXED);
}

// n bytes (a multiple of 4) from src to dst with racyLoad: by words where src allows.
inline void racyCopy(char* dst, const char* src, size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    if (reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0) {
        for (size_t i = 0; i < n; i += 4) {
            const uint32_t w = racyLoad<uint32_t>(p + i);
            std::memcpy(dst + i, &w, 4);
        }
    } else {
        for (size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(racyLoad<unsigned char>(p + i));
    }
}

// The number of layout L at p, as 64 bits (a bool as 0 or 1), on a little-endian host: one
// consistent copy, without m's lock unless a writer held m meanwhile. The kinds of number share
// one path without a branch on the size (the kind of the next value of a request is rarely that
// of the last): every load stays inside the object; a part that the size does not cover is read
// from zeros instead.
inline uint64_t loadNumber(StoreMutex* m, const unsigned char* p, const ValueLayout& L) {
    alignas(8) static constexpr unsigned char kZeros[8] = {};
    const unsigned char* q0 = pickPtr(p, kZeros, L.bytes >= 2);
    const unsigned char* q1 = pickPtr(offsetPtr(p, 2), kZeros, L.bytes >= 4);
    const unsigned char* q2 = pickPtr(offsetPtr(p, 4), kZeros, L.bytes >= 8);
    unsigned char b;
    uint16_t w0, w1;
    uint32_t hi;
    auto copy = [&] {
        b = racyLoad<unsigned char>(p);
        w0 = racyLoad<uint16_t>(q0);
        w1 = racyLoad<uint16_t>(q1);
        hi = racyLoad<uint32_t>(q2);
    };
    // Without the lock first; under it when a writer held the store meanwhile.
    const uint32_t seq = m ? m->readBegin() : 0;
    copy();
    if (m && !m->readValid(seq)) {
        std::lock_guard lk(*m);  // nothing in copy() throws
        copy();
    }
    const uint64_t wide = w0 | (uint64_t{w1} << 16) | (uint64_t{hi} << 32);
    const uint64_t boolMask = uint64_t{0} - uint64_t{L.isBool};  // a mask, not a branch: bools are frequent
    return (wide & ~boolMask) | (uint64_t{b != 0} & boolMask);
}

// The registers of a number: 16-bit words least significant first, pairs exchanged when swapWord
// applies, bytes of each exchanged when swapByte applies; num (1, 2 or 4) of them stored at out.
inline void encodeNumber(uint64_t v, const ValueLayout& L, int num, bool swapWord, bool swapByte, uint16_t* out) {
    const bool sw = swapWord && L.wordSwap;
    const bool sb = swapByte && L.byteSwap;
    const auto w0 = static_cast<uint16_t>(v), w1 = static_cast<uint16_t>(v >> 16);
    const auto w2 = static_cast<uint16_t>(v >> 32), w3 = static_cast<uint16_t>(v >> 48);
    uint16_t r[4] = {sw ? w1 : w0, sw ? w0 : w1, sw ? w3 : w2, sw ? w2 : w3};
    for (uint16_t& x : r) x = sb ? bswap16(x) : x;
    uint16_t sink[4];
    out[0] = r[0];
    *pickPtr(out + 1, sink + 1, num >= 2) = r[1];
    *pickPtr(out + 2, sink + 2, num >= 4) = r[2];
    *pickPtr(out + 3, sink + 3, num >= 4) = r[3];
}

// Length of the text in s[0..n) up to its first zero character; the bytes after it, and s[n], are
// set to zero (n a multiple of 8, s holding n + 1 bytes). Without a branch on the text.
inline size_t cutAtZero(char* s, size_t n) {
    s[n] = '\0';
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
        uint64_t keep = ~0ull;  // all ones until the first zero byte has been passed
        size_t len = 0;
        for (size_t i = 0; i < n; i += 8) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            const uint64_t zero = (w - kOnes) & ~w & kHigh;  // its lowest set bit: the first zero byte
            const uint64_t first = zero & (~zero + 1);
            w &= keep & (first - 1);  // first 0: keeps the word whole
            len += (static_cast<size_t>(std::countr_zero(zero)) >> 3) & static_cast<size_t>(keep);
            keep &= uint64_t{0} - static_cast<uint64_t>(first == 0);
            std::memcpy(s + i, &w, 8);
        }
        return len;
    } else {
        const size_t len = ::strnlen(s, n);
        std::memset(s + len, 0, n - len);
        return len;
    }
}

// Whether all n bytes are below 0x80 (n a multiple of 8).
inline bool allAscii8(const char* s, size_t n) {
    uint64_t bits = 0;
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        bits |= w;
    }
    return (bits & 0x8080808080808080ull) == 0;
}

template <typename T>
T loadUnder(StoreMutex* m, const T* p) {
    if (!m) return *p;
    std::lock_guard<StoreMutex> lk(*m);
    return *p;
}

template <typename T>
void storeUnder(StoreMutex* m, T* p, const T& v) {
    if (!m) {
        *p = v;
        return;
    }
    std::lock_guard<StoreMutex> lk(*m);
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
void encodeString(StoreMutex* m, const fss::basic_str<char, N>* s, uint16_t* out) {
    static_assert(N % 8 == 0);
    char raw[N + 1];
    // The whole array, without the lock first, as numbers are; under it when a writer held the
    // store meanwhile.
    bool copied = false;
    if (m) {
        const uint32_t seq = m->readBegin();
        racyCopy(raw, s->c_str(), N);
        copied = m->readValid(seq);
    }
    if (!copied) {
        std::unique_lock<StoreMutex> lk;
        if (m) lk = std::unique_lock<StoreMutex>(*m);
        std::memcpy(raw, s->c_str(), N);
    }
    // The text ends at its first zero character; the registers carry zeros after it.
    const size_t len = cutAtZero(raw, N);
    char conv[N + 1];
    const char* buf = raw;
    ConvResult r{0, true};
    if (!allAscii8(raw, N)) {  // ASCII is the same in GB18030
        std::memset(conv, 0, sizeof conv);
        r = Utility::utf8_to_gb18030(raw, static_cast<unsigned>(len), conv, N);
        if (r.ok) buf = conv;
    }
    const bool info = is_model_output(LogModule::SCADA, LogLevel::INFO);  // asked once per text
    if (info && len > 0) {
        SLOG_INFO(SCADA, "utf8_to_gb18030({},{}): {} -> {}", r.ok, r.err, Utility::hex(raw, static_cast<int>(len)),
                  Utility::hex(buf, static_cast<int>(N)));
    }
    // Register k holds bytes 2k (low) and 2k + 1 (high): the byte layout of a little-endian host.
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, buf, N);
    } else {
        for (uint32_t k = 0; k < N / 2; ++k) {
            out[k] = static_cast<uint16_t>(static_cast<unsigned char>(buf[2 * k]) |
                                           (static_cast<unsigned char>(buf[2 * k + 1]) << 8));
        }
    }
    if (info) {
        SLOG_INFO(SCADA, "swapWord:{}, swapByte:{}, from {} to {}", false, false,
                  Utility::hex(out, std::min<int>(10, N)), Utility::hex(buf, std::min<int>(10, N)));
    }
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

// A value of any alternative through its own type: the texts, and the numbers of a big-endian
// host. Kept out of line so that the read loop stays small.
[[gnu::noinline]] void encodeTyped(size_t kind, void* ptr, StoreMutex* m, bool swapWord, bool swapByte,
                                   uint16_t* out) {
    visitPacked(kind, ptr, [&](auto p) {
        using P = decltype(p);
        if constexpr (!std::is_same_v<P, std::monostate>) {
            using T = std::remove_pointer_t<P>;
            if constexpr (IsFixedStr<T>::value) {
                encodeString(m, p, out);
            } else {
                const T v = loadUnder(m, p);
                if constexpr (std::is_same_v<T, short> || std::is_same_v<T, unsigned short>) {
                    auto r = static_cast<uint16_t>(v);
                    out[0] = swapByte ? bswap16(r) : r;
                } else if constexpr (std::is_enum_v<T>) {
                    out[0] = static_cast<uint16_t>(v);
                } else if constexpr (std::is_same_v<T, bool>) {
                    out[0] = v ? 1 : 0;
                } else if constexpr (std::is_same_v<T, int> || std::is_same_v<T, unsigned int>) {
                    encode32(static_cast<uint32_t>(v), out, swapWord, swapByte);
                } else if constexpr (std::is_same_v<T, float>) {
                    uint32_t bits;
                    std::memcpy(&bits, &v, 4);
                    encode32(bits, out, swapWord, swapByte);
                } else if constexpr (std::is_same_v<T, long long>) {
                    encode64(static_cast<uint64_t>(v), out, swapWord, swapByte);
                } else {
                    static_assert(sizeof(T) == 0, "no encoding for this type");
                }
            }
        }
    });
}

// Whether a value of this alternative is read as a plain number (loadNumber and encodeNumber).
inline bool isPlainNumber(size_t kind) { return std::endian::native == std::endian::little && !kLayouts[kind].isText; }

// Both ends of a value of num registers into the cache (a text may span two lines).
inline void prefetchValue(const void* p, int num) {
    __builtin_prefetch(p);
    __builtin_prefetch(offsetPtr(static_cast<const char*>(p), 2u * static_cast<unsigned>(num) - 1));
}

// One whole value of num registers at out, copied as one consistent value under m (none: the
// caller holds its store).
inline void encodeValue(size_t kind, void* ptr, int num, StoreMutex* m, bool swapWord, bool swapByte, uint16_t* out) {
    if (isPlainNumber(kind))
        encodeNumber(loadNumber(m, static_cast<const unsigned char*>(ptr), kLayouts[kind]), kLayouts[kind], num, swapWord,
                     swapByte, out);
    else
        encodeTyped(kind, ptr, m, swapWord, swapByte, out);
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

void VarEngine::attachStore(RegOwner owner, const void* begin, size_t bytes, StoreMutex& mutex) {
    auto i = static_cast<size_t>(owner);
    if (owner == RegOwner::NONE || i >= regions_.size()) return;
    regions_[i].begin = static_cast<const char*>(begin);
    regions_[i].end = static_cast<const char*>(begin) + bytes;
    regions_[i].mutex = &mutex;
    mutexes_[i] = &mutex;
}

VarEngine::HotEntry VarEngine::makeHot(const RegVal& val, RegOwner owner, int num) {
    HotEntry h;
    h.ptr = const_cast<void*>(regValAddress(val));
    h.kind = h.ptr ? static_cast<uint8_t>(val.index()) : 0;
    h.owner = static_cast<uint8_t>(owner);
    h.num = static_cast<uint8_t>(num);
    return h;
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
    int last = -1;
    for (int i = 0; i < tabLen_; ++i) {
        const RegEntry& e = tab_[i];
        if (e.num > 0 && e.reg >= 0 && e.reg < kIndexedRegs) {
            regIndex_[e.reg] = static_cast<int16_t>(i);
            last = std::max(last, static_cast<int>(e.reg));
        }
    }
    codeByReg_.assign(static_cast<size_t>(last + 1), 0);
    refs_.assign(1, nullptr);
    for (size_t o = 0; o < regions_.size(); ++o) bases_[o] = const_cast<char*>(regions_[o].begin);
    for (int r = 0; r <= last; ++r) {
        const int slot = regIndex_[r];
        if (slot < 0) continue;
        const HotEntry h = makeHot(tab_[slot].val, tab_[slot].owner, tab_[slot].num);
        uint32_t code = h.kind | (uint32_t{h.owner} << 4);
        const char* p = static_cast<const char*>(h.ptr);
        const char* base = bases_[h.owner];
        if (h.owner != 0 && base && p >= base && static_cast<size_t>(p - base) < kMaxOffset) {
            code |= static_cast<uint32_t>(p - base) << 7;
        } else {
            code |= 64u | (static_cast<uint32_t>(refs_.size()) << 7);
            refs_.push_back(h.ptr);
        }
        codeByReg_[static_cast<size_t>(r)] = code;
    }
    sorted_ = true;
}

VarEngine::HotEntry VarEngine::hotByRegSlow(int reg) const {
    const int slot = slotByReg(reg);
    if (slot < 0) return {};
    return makeHot(tab_[slot].val, tab_[slot].owner, tab_[slot].num);
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

inline bool VarEngine::getWholeValue(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte) {
    const HotEntry e = hotByReg(reg);
    if (e.num != n) return false;
    prefetchValue(e.ptr, e.num);
    encodeValue(e.kind, e.ptr, e.num, mutexes_[e.owner], swapWord, swapByte, buf);
    return true;
}

bool VarEngine::getRegVal(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte) {
    if (n <= 0) return true;
    return getWholeValue(reg, buf, n, swapWord, swapByte) || getRegSpan<false>(reg, buf, n, swapWord, swapByte);
}

void VarEngine::getRegWindow(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte) {
    if (n > 0 && !getWholeValue(reg, buf, n, swapWord, swapByte)) getRegSpan<true>(reg, buf, n, swapWord, swapByte);
}

template <bool Window>
bool VarEngine::getRegSpan(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte) {
    // d: position in buf of the value being read; negative for a value that starts before reg.
    int d = 0;
    if (Window && hotByReg(reg).num == 0) {
        // Values never overlap: only the nearest value that starts before reg can reach into the
        // range, and it starts at most 63 registers before (a value spans at most 64).
        for (int back = 1; back < 64 && reg >= std::numeric_limits<int>::min() + back; ++back) {
            const int num = hotByReg(reg - back).num;
            if (num == 0) continue;
            if (num > back) d = -back;
            break;
        }
    }
    uint16_t tmp[64];
    // Consecutive values of one store are read under one hold of its mutex (one store at a time:
    // the hold is released before another store's mutex is taken). A text releases it: only its
    // copy is made under the mutex, the conversion runs unlocked.
    std::unique_lock<StoreMutex> held;
    auto hold = [&held](StoreMutex* m) {
        if (!m || held.mutex() == m) return;
        if (held.owns_lock()) held.unlock();
        held = std::unique_lock<StoreMutex>(*m);
    };
    while (d < n) {
        const HotEntry e = hotByReg(reg + d);
        if (e.num == 0) {
            if constexpr (Window) {
                buf[d++] = 0;
                continue;
            }
            SLOG_INFO(SCADA, "getRegVal: {} not found", reg + d);
            return false;
        }
        // The value's cache line is fetched while the mutex is taken (a prefetch is not held up
        // by the lock).
        prefetchValue(e.ptr, e.num);
        const int num = e.num;
        StoreMutex* m = mutexes_[e.owner];
        // A value that runs past either end of the range is encoded aside and cut: never write
        // outside buf[0..n).
        uint16_t* out = (!Window || d >= 0) && num <= n - d ? buf + d : tmp;
        const bool number = isPlainNumber(e.kind);
        if (number) {
            hold(m);
        } else if (held.owns_lock()) {
            held.unlock();
            held = std::unique_lock<StoreMutex>();
        }
        encodeValue(e.kind, e.ptr, num, number ? nullptr : m, swapWord, swapByte, out);
        if (out == tmp) {
            const int end = Window ? std::min(num, n - d) : n - d;
            for (int k = Window ? std::max(0, -d) : 0; k < end; ++k) buf[d + k] = tmp[k];
        }
        d += num;
    }
    return true;
}

bool VarEngine::setRegVal(int reg, const unsigned short* data, int n, EndianessType clientType,
                          orvane::platform::LogThrottle* throttle) {
    return setRegVal(reg, reinterpret_cast<const uint8_t*>(data), n, clientType, throttle);
}

bool VarEngine::setRegVal(int reg, const unsigned short* data, int n, bool swapWord, bool swapByte) {
    return setRegVal(reg, reinterpret_cast<const uint8_t*>(data), n, swapWord, swapByte);
}

bool VarEngine::setRegVal(int reg, const uint8_t* data, int n, EndianessType clientType,
                          orvane::platform::LogThrottle* throttle) {
    if (const uint64_t k = throttle ? throttle->admit() : 1)
        SLOG_WARN(SCADA, "setRegVal clientType = {}, nativeEndianess = {}{}", endianessName(clientType),
                  endianessName(nativeEndianess_), orvane::platform::LogThrottle::note(k));
    auto [w, b] = detectSwapable(clientType);
    return setRegVal(reg, data, n, w, b);
}

bool VarEngine::setRegVal(int reg, const uint8_t* data, int n, bool swapWord, bool /*swapByte*/) {
    // The request's high-byte-first order is the only byte conversion of a write.
    if (n <= 0) return true;
    int d = 0;
    while (d < n) {
        const HotEntry e = hotByReg(reg + d);
        if (e.num == 0) {
            SLOG_ERROR(SCADA, "setRegVal: {} not found", reg + d);
            return false;
        }
        if (e.num > n - d) {
            SLOG_ERROR(SCADA, "setRegVal: {} needs {} registers, the request holds {}", reg + d, e.num, n - d);
            return false;
        }
        const uint8_t* p8 = data + 2 * d;
        StoreMutex* m = mutexes_[e.owner];
        visitPacked(e.kind, e.ptr,
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
