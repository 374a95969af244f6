#pragma once
// Measure types (what a probe reading measures) and probe types (which probe model), with their
// name tables. The measure-type table maps the Name of a definition's reading to its type; the
// operational state keeps a copy of it and the probe library looks names up in it.
#include <array>
#include <cstdint>
#include <string_view>

#include "utils/fss.h"

enum class MEASURE_TYPE : int32_t {
    NONE = 0,
    PTSA = 1, pH = 2, ORP = 3, Conductivity = 4, Turbidity = 5, Cl_F = 6, DO = 7, Corrosion = 8,
    Bleach = 9, Level = 10, Temperature = 11, NDSA = 12, TTA = 13, TAG = 14, HST = 15,
    Fluorescein = 16, ClO2 = 17, TDS = 18, Sludge = 19, Cl_T = 20, O3 = 21, Br = 22, Sulfite = 23,
    Nitrate = 24, Algae = 25, ChloraphyllA = 26, Oil = 27, DOM = 28, COD = 29, BOD = 30,
    Distance = 31, Volume = 32, nD = 33, PG = 34, EG = 35, ALV = 36, Brix = 37, ALVPlus = 38,
    GEO = 39, Pitting = 40, Voltage = 41, mA = 42,
    CUSTOM = 43,  // a reading whose name is in no table row
};

struct MeasureTypeRow {
    fss::basic_str<char, 32> name;
    MEASURE_TYPE type;
};

inline constexpr size_t kMeasureTypeCount = 42;

// The 42 rows, in value order: the enumerator's name with "_" written as "-".
inline constexpr std::array<std::string_view, kMeasureTypeCount> kMeasureTypeNames = {
    "PTSA", "pH", "ORP", "Conductivity", "Turbidity", "Cl-F", "DO", "Corrosion", "Bleach", "Level",
    "Temperature", "NDSA", "TTA", "TAG", "HST", "Fluorescein", "ClO2", "TDS", "Sludge", "Cl-T",
    "O3", "Br", "Sulfite", "Nitrate", "Algae", "ChloraphyllA", "Oil", "DOM", "COD", "BOD",
    "Distance", "Volume", "nD", "PG", "EG", "ALV", "Brix", "ALVPlus", "GEO", "Pitting", "Voltage",
    "mA"};

// The table as (name, value) rows; row i holds value i + 1.
inline std::array<MeasureTypeRow, kMeasureTypeCount> measureTypeTable() {
    std::array<MeasureTypeRow, kMeasureTypeCount> t{};
    for (size_t i = 0; i < kMeasureTypeCount; ++i) {
        t[i].name.assignBytes(kMeasureTypeNames[i].data(), kMeasureTypeNames[i].size());
        t[i].type = static_cast<MEASURE_TYPE>(i + 1);
    }
    return t;
}

// Name of a measure type for logs and keys: the table name, "NONE" for 0, "CUSTOM" for 43, empty
// for anything else.
constexpr std::string_view measureTypeName(int32_t value) {
    if (value == 0) return "NONE";
    if (value == static_cast<int32_t>(MEASURE_TYPE::CUSTOM)) return "CUSTOM";
    if (value >= 1 && value <= static_cast<int32_t>(kMeasureTypeCount)) return kMeasureTypeNames[static_cast<size_t>(value - 1)];
    return {};
}

// Probe models. Row 0 is "NONE"; rows 1..58 are the model names (placeholders until the product
// list is filled in); MAX ends the table.
inline constexpr int32_t kProbeTypeModels = 58;
enum class PROBE_TYPE : int32_t { NONE = 0, MAX = kProbeTypeModels + 1 };

inline constexpr std::array<std::string_view, kProbeTypeModels + 2> kProbeTypeNames = {
    "NONE",
    "MODEL-01", "MODEL-02", "MODEL-03", "MODEL-04", "MODEL-05", "MODEL-06", "MODEL-07", "MODEL-08",
    "MODEL-09", "MODEL-10", "MODEL-11", "MODEL-12", "MODEL-13", "MODEL-14", "MODEL-15", "MODEL-16",
    "MODEL-17", "MODEL-18", "MODEL-19", "MODEL-20", "MODEL-21", "MODEL-22", "MODEL-23", "MODEL-24",
    "MODEL-25", "MODEL-26", "MODEL-27", "MODEL-28", "MODEL-29", "MODEL-30", "MODEL-31", "MODEL-32",
    "MODEL-33", "MODEL-34", "MODEL-35", "MODEL-36", "MODEL-37", "MODEL-38", "MODEL-39", "MODEL-40",
    "MODEL-41", "MODEL-42", "MODEL-43", "MODEL-44", "MODEL-45", "MODEL-46", "MODEL-47", "MODEL-48",
    "MODEL-49", "MODEL-50", "MODEL-51", "MODEL-52", "MODEL-53", "MODEL-54", "MODEL-55", "MODEL-56",
    "MODEL-57", "MODEL-58",
    "MAX"};

constexpr std::string_view probeTypeName(int32_t value) {
    return (value >= 0 && value < static_cast<int32_t>(kProbeTypeNames.size())) ? kProbeTypeNames[static_cast<size_t>(value)]
                                                                               : std::string_view{};
}
