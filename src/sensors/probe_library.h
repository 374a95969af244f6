#pragma once
// The probe library: the definitions loaded from config/probes/*.json, the binding of recipe
// probe items to them, the measure- and probe-type lookups and the web view of a definition.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sensors/measure_types.h"
#include "sensors/probe_meta.h"
#include "utils/fss.h"

struct ProbeMeasureRecipeItem;

inline constexpr size_t kProbeLibrarySize = 128;
using ProbeLibrary = std::array<ProbeMeta, kProbeLibrarySize>;  // ~11 MiB: never on a stack

// The definition directories in reading order: "./config/probes/" (relative to the working
// directory) and "<install root>config/probes/", where user definitions are stored; the second is
// left out when it is the same directory as the first.
std::vector<std::string> defaultProbeDirectories();

// Fills the library from the ".json" files of the given directories (default: above). Files are
// taken per directory in sorted name order. A user definition - a file named "<PN>.json" after
// its own part number - replaces a definition of the same part number from another file; other
// duplicates are stored as they come (lookups take the first). At most 128 are stored; the rest
// are logged and dropped; the slots after the last stored one hold the empty definition.
// buffer is scratch space for one file's text. Returns the number of definitions stored.
int loadProbeLibrary(fss::stringHuge& buffer, ProbeLibrary& library);
int loadProbeLibrary(fss::stringHuge& buffer, ProbeLibrary& library, const std::vector<std::string>& directories);

// Binds each recipe probe item (part number not 0, address not negative) to the first library
// definition with its part number: the definition pointer, probe type, reading index and measure
// type (43 when the reading's name has no measure type). Items without a match stay unchanged.
void initProbeRecipe(std::array<ProbeMeasureRecipeItem, 128>& items, const ProbeLibrary& library);
// The same over a library held as pointers (null slots are skipped).
void initProbeRecipe(std::array<ProbeMeasureRecipeItem, 128>& items, const std::array<const ProbeMeta*, 128>& library);

// MEASURE_TYPE of a measure name (compared over 32 characters), NONE (0) when not in the table.
MEASURE_TYPE findMeasureType(const fss::basic_str<char, 32>& name);
// PROBE_TYPE value of the first row whose name is a prefix of name, 0 ("NONE") when none.
int32_t findProbeType(const fss::basic_str<char, 32>& name);

// The web view of one definition.
struct ProbeInfoToWeb {
    struct CalbItemToWeb {
        fss::basic_str<char, 16> name;
        bool editable = false;  // Editable of the first command
        fss::basic_str<char, 512> message;
        float min = 0.0f;
        float max = 0.0f;
        int32_t calIndex = 0;
    };
    struct SensorItemToWeb {
        fss::basic_str<char, 16> name;
        fss::basic_str<char, 32> custName;
        int32_t regAddr = 0;
        fss::basic_str<char, 16> regType;
        fss::basic_str<char, 16> unit;
        int32_t decimal = 0;
        bool customized = false;
        std::vector<CalbItemToWeb> calbs;
        bool Editable20mA = false;
        bool Editable4mA = false;
        float rangeMax = 100.0f;
        float rangeMin = 0.0f;
    };
    struct ConfigItemToWeb {
        fss::basic_str<char, 16> Name;
        fss::basic_str<char, 16> Tip;
        bool Editable = false;
    };

    fss::basic_str<char, 16> modelName;
    int32_t modbusAddr = 0;
    int32_t brushAddr = 0;
    int64_t PN = 0;
    bool supportRestore = true;
    std::vector<SensorItemToWeb> sensors;
    std::vector<ConfigItemToWeb> configs;
    std::vector<fss::basic_str<char, 16>> brush;  // names of the brushing commands

    explicit ProbeInfoToWeb(const ProbeMeta& meta);
};
