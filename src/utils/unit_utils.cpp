#include "utils/unit_utils.h"

#include <strings.h>

namespace {

struct Row {
    const char* a0;
    const char* a1;
    const char* a2;
    double factor;
    double offset;
    int32_t code;
};

// Look-up order is table order; row 0 is the empty unit that stands for "no unit".
constexpr Row kRows[] = {
    {"", "", "", 1, 0, 0},
    {"m", "", "", 1, 0, 5},
    {"cm", "", "", 0.01, 0, 1029},
    {"mm", "", "", 0.001, 0, 2053},
    {"km", "", "", 1000, 0, 3077},
    {"inch", "in", "", 0.0254, 0, 4100},
    {"ft", "", "", 0.3048, 0, 5124},
    {"yd", "", "", 0.9144, 0, 6148},
    {"mi", "", "", 1609.344, 0, 7172},
    {"m2", "m\u00b2", "", 1, 0, 9},
    {"cm2", "cm\u00b2", "", 0.0001, 0, 1033},
    {"mm2", "mm\u00b2", "", 0.000001, 0, 2057},
    {"km2", "km\u00b2", "", 1000000, 0, 3081},
    {"in2", "in\u00b2", "", 0.00064516, 0, 4104},
    {"ft2", "ft\u00b2", "", 0.092903, 0, 5128},
    {"yd2", "yd\u00b2", "", 0.836127, 0, 6152},
    {"mi2", "mi\u00b2", "", 2589988.110336, 0, 7176},
    {"m3", "m\u00b3", "", 1, 0, 13},
    {"cm3", "cm\u00b3", "", 0.000001, 0, 1037},
    {"mm3", "mm\u00b3", "", 0.000000001, 0, 2061},
    {"L", "liter", "", 0.001, 0, 3085},
    {"mL", "ml", "", 0.000001, 0, 4109},
    {"ft3", "ft\u00b3", "", 0.0283168, 0, 5132},
    {"in3", "in\u00b3", "", 0.0000163871, 0, 6156},
    {"galUS", "gallon", "", 0.00378541, 0, 7180},
    {"galUK", "", "", 0.00454609, 0, 9228},  // index 9: index 8 is unused in the volume kind
    {"kg", "", "", 1, 0, 17},
    {"g", "", "", 0.001, 0, 1041},
    {"mg", "", "", 0.000001, 0, 2065},
    {"MT", "", "", 1000, 0, 3089},
    {"lb", "", "", 0.453592, 0, 4112},
    {"oz", "", "", 0.0283495, 0, 5136},
    {"ton", "", "", 907.185, 0, 6160},
    {"cwt", "", "", 45.3592, 0, 7184},
    {"\u2103", "\u00b0C", "Deg C", 1, 0, 25},
    {"\u2109", "\u00b0F", "Deg F", 0.555556, -17.7778, 1048},
    {"K", "", "", 1, -273.15, 2073},
    {"V", "", "", 1, 0, 33},
    {"mV", "", "", 0.001, 0, 1057},
    {"s", "second", "", 1, 0, 21},
    {"min", "minute", "", 60, 0, 1045},
    {"hr", "hour", "", 3600, 0, 2069},
    {"day", "", "", 86400, 0, 3093},
    {"wk", "week", "", 604800, 0, 4117},
    {"yr", "year", "", 31536000, 0, 5141},
    {"m3/s", "m\u00b3/s", "", 1, 0, 49},
    {"m3/hour", "m\u00b3/hour", "", 1.0 / 3600, 0, 1073},
    {"galUS/s", "gallon/s", "", 0.00378541, 0, 2096},
    {"galUS/hour", "gallon/hour", "", 0.00378541 / 3600, 0, 3120},
    {"uS/cm", "\u03bcS/cm", "", 1, 0, 29},
    {"S/cm", "S/cm", "", 1000000, 0, 1053},
    {"mpy", "", "", 1, 0, 36},
    {"mmy", "", "", 1 / 0.0254, 0, 1061},
};
static_assert(sizeof kRows / sizeof kRows[0] == UnitUtils::UNIT_COUNT);

struct Table {
    UnitInfo rows[UnitUtils::UNIT_COUNT];
    Table() {
        for (size_t i = 0; i < UnitUtils::UNIT_COUNT; ++i) {
            rows[i].aliases[0] = kRows[i].a0;
            rows[i].aliases[1] = kRows[i].a1;
            rows[i].aliases[2] = kRows[i].a2;
            rows[i].factor = kRows[i].factor;
            rows[i].offset = kRows[i].offset;
            rows[i].code = kRows[i].code;
        }
    }
};

// Built on first use (thread-safe), so callers in other static initialisers see a full table;
// read-only afterwards and shared without a lock.
const Table& unitTable() {
    static const Table table;
    return table;
}

// Touch the table before main so that no thread pays for building it later.
[[maybe_unused]] const Table& kEager = unitTable();

size_t lookup(const char* name) {
    const Table& t = unitTable();
    for (size_t i = 0; i < UnitUtils::UNIT_COUNT; ++i) {
        for (const auto& alias : t.rows[i].aliases) {
            if (strcasecmp(alias.c_str(), name) == 0) return i;
        }
    }
    return 0;
}

UnitConvResult convertRows(float value, size_t from, size_t to) {
    const UnitInfo& f = unitTable().rows[from];
    const UnitInfo& t = unitTable().rows[to];
    if (((f.code ^ t.code) & UnitUtils::KIND_MASK) != 0) return {value, false};
    double base = f.offset + static_cast<double>(value) * f.factor;
    return {static_cast<float>((base - t.offset) / t.factor), true};
}

}  // namespace

const UnitInfo* UnitUtils::table() { return unitTable().rows; }

UnitInfo UnitUtils::getUnitByName(fss::basic_str<char, 16> name) { return unitTable().rows[lookup(name.c_str())]; }

UnitConvResult UnitUtils::convert(float value, fss::basic_str<char, 8> from, fss::basic_str<char, 8> to) {
    return convertRows(value, lookup(from.c_str()), lookup(to.c_str()));
}

UnitConvResult UnitUtils::convert(float value, fss::basic_str<char, 8> from, fss::basic_str<char, 16> to) {
    return convertRows(value, lookup(from.c_str()), lookup(to.c_str()));
}

UnitConvResult UnitUtils::convert(float value, fss::basic_str<char, 16> from, fss::basic_str<char, 16> to) {
    return convertRows(value, lookup(from.c_str()), lookup(to.c_str()));
}

UnitConvResult UnitUtils::convert(float value, const char* from, const char* to) {
    return convert(value, fss::basic_str<char, 16>(from), fss::basic_str<char, 16>(to));
}

std::vector<fss::basic_str<char, 16>> UnitUtils::getUnitNames() {
    std::vector<fss::basic_str<char, 16>> names;
    names.reserve(UNIT_COUNT);
    for (const auto& row : unitTable().rows) names.push_back(row.aliases[0]);
    return names;
}

const char* unitKindName(UnitKind kind) {
    switch (kind) {
        case UnitKind::None: return "none";
        case UnitKind::Length: return "length";
        case UnitKind::Area: return "area";
        case UnitKind::Volume: return "volume";
        case UnitKind::Mass: return "mass";
        case UnitKind::Time: return "time";
        case UnitKind::Temperature: return "temperature";
        case UnitKind::Conductivity: return "conductivity";
        case UnitKind::Voltage: return "voltage";
        case UnitKind::CorrosionRate: return "corrosion rate";
        case UnitKind::Flow: return "flow";
    }
    return "unknown";
}
