#pragma once
// Engineering units: one constant table of 53 units, looked up by any alias (ASCII
// case-insensitive), and conversion between two units of the same kind.
#include <cstdint>
#include <vector>

#include "utils/fss.h"

// One row of the unit table. base value = offset + value * factor.
struct UnitInfo {
    fss::basic_str<char, 16> aliases[3];  // unused aliases are empty
    double factor;
    double offset;
    // (index << 10) | kind | metric flag: kind in bits 2..9 (mask 0x3FC), metric flag bit 0.
    int32_t code;
};

struct UnitConvResult {
    float value;
    bool success;  // true when a conversion was made
};

// Unit kinds (bits 2..9 of UnitInfo::code).
enum class UnitKind : int32_t {
    None = 0,
    Length = 4,
    Area = 8,
    Volume = 12,
    Mass = 16,
    Time = 20,
    Temperature = 24,
    Conductivity = 28,
    Voltage = 32,
    CorrosionRate = 36,
    Flow = 48,
};

class UnitUtils {
public:
    UnitUtils() = delete;

    static constexpr int32_t KIND_MASK = 0x3FC;
    static constexpr int32_t METRIC_FLAG = 0x1;
    static constexpr size_t UNIT_COUNT = 53;

    // The first row with an alias equal to name (ASCII case-insensitive); row 0 when none.
    static UnitInfo getUnitByName(fss::basic_str<char, 16> name);

    static UnitConvResult convert(float value, fss::basic_str<char, 8> from, fss::basic_str<char, 8> to);
    static UnitConvResult convert(float value, fss::basic_str<char, 8> from, fss::basic_str<char, 16> to);
    static UnitConvResult convert(float value, fss::basic_str<char, 16> from, fss::basic_str<char, 16> to);
    // Plain texts (string literals would be ambiguous between the overloads above); cut at 16.
    static UnitConvResult convert(float value, const char* from, const char* to);

    // First alias of every row in table order (53 entries, the first empty).
    static std::vector<fss::basic_str<char, 16>> getUnitNames();

    // The whole table, for tests and listings.
    static const UnitInfo* table();
};

// Printable name of a kind ("length", ...); "unknown" for values outside the enum.
const char* unitKindName(UnitKind kind);
