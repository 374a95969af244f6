#pragma once
// Register table: named variables of the gateway exposed as 16-bit Modbus registers.
//
// Each entry binds a name and a run of consecutive register addresses to a reference into the
// recipe store, the live store or another long-lived object. The table is filled once at start-up
// (see exportvar.h), sorted by register, and then only read: the Modbus TCP server and client read
// and write registers through it, the REST API and the recipe look addresses up by group and index.
// Every value is read or written under the mutex of the store that holds it (its owner), taken per
// value (a read keeps it across consecutive values of the same store); the table itself needs no
// lock once sorted.
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/log_throttle.h"
#include "utils/fss.h"
#include "utils/store_mutex.h"

class RecipeDataGuard;
class LiveDataGuard;

// ---- Small enumerations that registers can reference ------------------------------------------

// Cleanliness of a probe's optics as the probe service reads it.
enum class CleanStatus : int16_t {
    UNKNOWN = -1,
    CLEAN = 0,
    BECOMING_FOULED = 1,
    FOULED = 2,
};

// Which slave ids a bus scan tries first.
enum class SCAN_MODE : uint16_t {
    DEFAULT = 0,  // the fixed priority list
    BY_PN = 1,    // factory addresses of the selected part number
    RESERVED = 2,
    BY_LIST = 3,  // a list given by the requester
};

// Command codes of the operator-panel command register.
enum class HMIProbeCmdType : uint16_t {
    NONE = 0,
    RESTORE = 13,
    SET_ADDR = 21,
    SET_4MA = 22,
    SET_20MA = 23,
    DIAGNOSE = 24,
    START_SCAN = 25,
    STOP_SCAN = 26,
    ADD_BATCH = 27,
    REMOVE = 28,
    REPLACE = 29,
    ADD_MANUAL = 30,
    SET_CUSTNAME = 31,
};

// ---- Groups, byte orders, owners ---------------------------------------------------------------

enum class RegValType : int32_t {
    NONE = 0,
    GENERAL = 1,
    PROBE_VAL = 2,
    PROBE_PN = 3,
    PROBE_ID = 4,
    PROBE_ADDR = 5,
    PROBE_NAME = 6,
    PROBE_CUSTNAME = 7,
    PROBE_CLEANLINESS = 8,
    PROBE_TEMPERATURE = 9,
    PROBE_TEMPERATURE_UNIT = 10,
    PROBE_UNIT = 11,
    PROBE_DECIMAL = 12,
    PROBE_ENABLE = 13,
    PROBE_DISPLAY = 14,
    PROBE_4mA = 15,
    PROBE_20mA = 16,
    PROBE_SN = 17,
    PROBE_DISPLAYID = 18,
    AI_RAW = 19,
    AI_VAL = 20,
    AI_NAME = 21,
    AI_UNIT = 22,
    AI_ENABLE = 23,
    AI_DISPLAY = 24,
    AI_PRECISION = 25,
    AI_4mA = 26,
    AI_20mA = 27,
    AI_DISPLAYID = 28,
    LORA_VAL = 29,
    LORA_PROD_NAME = 30,
    LORA_NAME = 31,
    LORA_UNIT = 32,
    LORA_PN = 33,
    LORA_SN = 34,
    LORA_DECIMAL = 35,
    LORA_TANK_NAME = 36,
    LORA_ID = 37,
    LORA_DISPLAYID = 38,
    LORA_FREQ = 39,
    LORA_BW = 40,
    LORA_SF = 41,
    LORA_CR = 42,
    LORA_TXPWR = 43,
    CONTROLLER_VAL = 44,
    CELLULAR_VAL = 45,
    WIFI_VAL = 46,
};

inline constexpr std::array<std::string_view, 47> kRegValTypeNames = {
    "NONE", "GENERAL", "PROBE_VAL", "PROBE_PN", "PROBE_ID", "PROBE_ADDR", "PROBE_NAME",
    "PROBE_CUSTNAME", "PROBE_CLEANLINESS", "PROBE_TEMPERATURE", "PROBE_TEMPERATURE_UNIT",
    "PROBE_UNIT", "PROBE_DECIMAL", "PROBE_ENABLE", "PROBE_DISPLAY", "PROBE_4mA", "PROBE_20mA",
    "PROBE_SN", "PROBE_DISPLAYID", "AI_RAW", "AI_VAL", "AI_NAME", "AI_UNIT", "AI_ENABLE",
    "AI_DISPLAY", "AI_PRECISION", "AI_4mA", "AI_20mA", "AI_DISPLAYID", "LORA_VAL",
    "LORA_PROD_NAME", "LORA_NAME", "LORA_UNIT", "LORA_PN", "LORA_SN", "LORA_DECIMAL",
    "LORA_TANK_NAME", "LORA_ID", "LORA_DISPLAYID", "LORA_FREQ", "LORA_BW", "LORA_SF", "LORA_CR",
    "LORA_TXPWR", "CONTROLLER_VAL", "CELLULAR_VAL", "WIFI_VAL"};

// Name of a group; empty outside 0..46.
constexpr std::string_view regValTypeName(RegValType t) {
    auto i = static_cast<int32_t>(t);
    return i >= 0 && i < static_cast<int32_t>(kRegValTypeNames.size()) ? kRegValTypeNames[i]
                                                                        : std::string_view{};
}

// Order of the bytes of a multi-register value in the register buffer, A the most significant
// byte. Bit 0 stands for the word order, bit 1 for the byte order within a word.
enum class EndianessType : int32_t {
    ABCD = 0,
    CDAB = 1,
    BADC = 2,
    DCBA = 3,
    NONE = 4,
};

inline constexpr std::array<std::string_view, 5> kEndianessNames = {"ABCD", "CDAB", "BADC", "DCBA", "NONE"};

constexpr std::string_view endianessName(EndianessType e) {
    auto i = static_cast<int32_t>(e);
    return i >= 0 && i < static_cast<int32_t>(kEndianessNames.size()) ? kEndianessNames[i]
                                                                       : std::string_view{};
}
// "ABCD", "CDAB", "BADC", "DCBA" give their order; any other text gives NONE.
EndianessType endianessFromName(std::string_view name);

// The store a reference points into, and so the mutex that guards it.
enum class RegOwner : int32_t {
    NONE = 0,    // outside both stores; accessed without a lock
    RECIPE = 1,  // inside the recipe record; recipe mutex
    LIVE = 2,    // inside the live record; live mutex
};

inline constexpr std::array<std::string_view, 3> kRegOwnerNames = {"NONE", "RECIPE", "LIVE"};

constexpr std::string_view regOwnerName(RegOwner o) {
    auto i = static_cast<int32_t>(o);
    return i >= 0 && i < static_cast<int32_t>(kRegOwnerNames.size()) ? kRegOwnerNames[i]
                                                                      : std::string_view{};
}

// ---- References --------------------------------------------------------------------------------

// A reference to one variable: the pointer and, as the variant index, its type. The referenced
// objects outlive the table. A null pointer counts as the empty alternative.
using RegVal = std::variant<std::monostate, short*, unsigned short*, int*, unsigned int*, long long*,
                            float*, CleanStatus*, SCAN_MODE*, HMIProbeCmdType*, bool*,
                            fss::basic_str<char, 8>*, fss::basic_str<char, 16>*,
                            fss::basic_str<char, 32>*, fss::basic_str<char, 64>*,
                            fss::basic_str<char, 128>*>;

// Registers occupied by each alternative, by variant index.
inline constexpr std::array<int, std::variant_size_v<RegVal>> kRegValRegisters = {
    0, 1, 1, 2, 2, 4, 2, 1, 1, 1, 1, 4, 8, 16, 32, 64};

// Register count of the value (0 for the empty alternative or a null pointer).
int regValCount(const RegVal& v);
// Address of the referenced object, null for the empty alternative.
const void* regValAddress(const RegVal& v);
// Display text: "nullptr", decimal integers/enumerations/bools, "%f" floats, string texts.
std::string var_to_string(const RegVal& v);

// ---- Table -------------------------------------------------------------------------------------

inline constexpr int MAX_VAR_REG_NUM = 8192;

struct RegEntry {
    fss::basic_str<char, 32> name;  // cut to 32 characters
    int32_t hash = 0;               // hash of the full name
    int32_t reg = 0;                // first register
    int32_t num = 0;                // register count
    RegValType type = RegValType::NONE;
    int32_t index = -1;             // index within the group, as registered
    RegOwner owner = RegOwner::NONE;
    RegVal val;
};

// 31-multiplier hash over the bytes taken as unsigned, 32-bit wrap-around; 0 for "".
int32_t regNameHash(std::string_view name);

class VarEngine {
public:
    using Lookup = std::pair<RegOwner, RegVal>;

    VarEngine();
    VarEngine(const VarEngine&) = delete;
    VarEngine& operator=(const VarEngine&) = delete;

    // The owner object's instance (defined with the owner object).
    static VarEngine& getInstance();

    // Tells the table where a store's record lies and which mutex guards it. Registrations made
    // afterwards whose reference lies inside [begin, begin + bytes) get that owner. Call before
    // registering (the owner object does it for the recipe and live stores).
    void attachStore(RegOwner owner, const void* begin, size_t bytes, StoreMutex& mutex);
    // Convenience for the live store (its record and mutex).
    void attachLive(LiveDataGuard& live);

    // Next registration's register and group.
    int32_t curReg = 0;
    RegValType curType = RegValType::NONE;

    // Appends an entry at curReg and advances curReg by the value's register count.
    // Throws std::runtime_error when the table is full or the range overlaps an entry.
    void registerVal(const std::string& name, RegVal val, int index);
    // Name of the first entry (slot order) whose registers meet [reg, reg + num), and a found flag.
    std::pair<std::string, bool> checkOverlap(const std::string& name, int reg, int num) const;
    // Orders the entries by register and builds the register index. Call once after registering.
    void sortRegTab();

    // Entry that starts exactly at reg and holds a value (entries without registers are skipped);
    // {NONE, empty} when none.
    Lookup findByReg(int reg) const;
    // First entry (table order) whose name hash equals that of name.
    Lookup findByName(std::string_view name) const;
    // Register of the first entry (table order) of that group and index; -1 when none.
    int findRegByGroupIndex(RegValType type, int index) const;

    EndianessType detectNative();
    // (swapWord, swapByte) for a client's byte order.
    std::pair<bool, bool> detectSwapable(EndianessType clientType) const {
        if (clientType == EndianessType::NONE || clientType == nativeEndianess_) return {false, false};
        return detectSwapableLogged(clientType);
    }

    // Reads n registers starting at reg into buf[0..n). Never writes beyond buf[n - 1]: a value
    // that runs past the requested range is cut. False (and the registers filled so far kept)
    // when a register on the way starts no value.
    bool getRegVal(int reg, unsigned short* buf, int n, EndianessType clientType) {
        auto [w, b] = detectSwapable(clientType);
        return getRegVal(reg, buf, n, w, b);
    }
    bool getRegVal(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte);

    // Reads the n registers from reg as they stand now into buf[0..n), whatever the range meets:
    // a value that starts before reg or runs past the range gives the words that lie in it, and
    // a register where no value lies reads 0. Never writes beyond buf[n - 1].
    void getRegWindow(int reg, unsigned short* buf, int n, EndianessType clientType) {
        auto [w, b] = detectSwapable(clientType);
        getRegWindow(reg, buf, n, w, b);
    }
    void getRegWindow(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte);

    // Stores n registers given as in a Modbus write request (two bytes per register, high byte
    // first; the data may be unaligned). Never reads beyond the n registers: a value whose
    // registers do not all lie in the request is not stored and the call returns false. False
    // also when a register on the way starts no value; values stored before stay stored.
    // These two log the client's byte order on every call; with a throttle, as it admits.
    bool setRegVal(int reg, const unsigned short* data, int n, EndianessType clientType,
                   orvane::platform::LogThrottle* throttle = nullptr);
    bool setRegVal(int reg, const unsigned short* data, int n, bool swapWord, bool swapByte);
    bool setRegVal(int reg, const uint8_t* data, int n, EndianessType clientType,
                   orvane::platform::LogThrottle* throttle = nullptr);
    bool setRegVal(int reg, const uint8_t* data, int n, bool swapWord, bool swapByte);

    void showTabContent() const;

    // Copies lenInWord words; swapWord exchanges words 0/1, 2/3, ... (lenInWord must be even);
    // then swapByte exchanges the bytes of every word.
    static void convert(const uint16_t* src, uint16_t* dst, int lenInWord, bool swapWord, bool swapByte);

    int tabLen() const { return tabLen_; }
    const RegEntry& entry(int i) const { return tab_[i]; }
    EndianessType nativeEndianess() const { return nativeEndianess_; }

private:
    // A range that is not exactly one whole value. Without Window (getRegVal) the values from
    // reg on, up to a register that starts no value (false); with Window (getRegWindow) every
    // register of the range, a value that reaches in from before included, gaps as 0.
    template <bool Window>
    [[gnu::noinline]] bool getRegSpan(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte);
    // The usual read of a client that asks by variable: exactly the one value that starts at reg.
    bool getWholeValue(int reg, unsigned short* buf, int n, bool swapWord, bool swapByte);
    struct StoreRegion {
        const char* begin = nullptr;
        const char* end = nullptr;
        StoreMutex* mutex = nullptr;
    };

    // What a read or write needs of a value, in 16 bytes: the reference as pointer and
    // alternative, the owner (its mutex) and the register count. Decoded from the register index
    // below (or made from the table's entry before sorting and beyond that index).
    struct HotEntry {
        void* ptr = nullptr;  // the referenced object; null for the empty alternative
        uint8_t kind = 0;     // alternative of RegVal
        uint8_t owner = 0;    // RegOwner
        uint8_t num = 0;      // register count (at most 64)
    };
    static_assert(sizeof(HotEntry) <= 16, "lookup entry must stay packed");
    static HotEntry makeHot(const RegVal& val, RegOwner owner, int num);

    std::pair<bool, bool> detectSwapableLogged(EndianessType clientType) const;
    RegOwner ownerOf(const void* p) const;
    int slotByReg(int reg) const {
        if (sorted_ && reg >= 0 && reg < kIndexedRegs) return regIndex_[reg];
        return slotByRegSlow(reg);
    }
    int slotByRegSlow(int reg) const;
    // Packed entry of the value that starts at reg; num 0 when none.
    HotEntry hotByReg(int reg) const {
        if (sorted_ && reg >= 0 && static_cast<size_t>(reg) < codeByReg_.size()) {
            const uint32_t code = codeByReg_[static_cast<size_t>(reg)];
            const auto kind = static_cast<uint8_t>(code & 15u);
            const auto owner = static_cast<uint8_t>((code >> 4) & 3u);
            const uint32_t where = code >> 7;
            void* p = (code & 64u) ? refs_[where] : bases_[owner] + where;
            return HotEntry{p, kind, owner, static_cast<uint8_t>(kRegValRegisters[kind])};
        }
        return hotByRegSlow(reg);
    }
    HotEntry hotByRegSlow(int reg) const;

    int32_t tabLen_ = 0;
    std::array<RegEntry, MAX_VAR_REG_NUM> tab_;
    EndianessType nativeEndianess_ = EndianessType::DCBA;
    std::array<StoreRegion, 3> regions_{};
    bool sorted_ = false;
    // Register -> slot of the entry that starts there (-1: none), for registers 0..65535.
    // Built by sortRegTab; registers outside that range use the binary search.
    static constexpr int kIndexedRegs = 65536;
    std::array<int16_t, kIndexedRegs> regIndex_;
    // Register -> the value that starts there, for registers up to the last start below 65536,
    // built by sortRegTab: a read or write finds all it needs by the register alone, in 32 bits
    // (an array small enough to stay near the core): the alternative (bits 0-3, 0: no value starts
    // here), the owner (bits 4-5), and where the value lies (bits 7-31): its offset in the owner's
    // store, or with bit 6 set an index into refs_ (values outside the stores).
    static_assert(std::variant_size_v<RegVal> <= 16, "the alternative must fit 4 bits");
    static constexpr uint32_t kMaxOffset = 1u << 25;
    std::vector<uint32_t> codeByReg_;
    std::vector<void*> refs_;
    std::array<char*, 3> bases_{};
    // The mutex of each owner (null for NONE), as the hot entries name them.
    std::array<StoreMutex*, 3> mutexes_{};
};
