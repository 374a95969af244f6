#pragma once
// One probe definition: the model of a water-quality probe on the RS-485 bus and the register
// maps the gateway uses to identify, read, diagnose, configure, calibrate, span, brush, control
// and factory-restore it. Definitions are JSON files (config/probes/*.json) read by readJson.
//
// Every record here is plain data: fixed strings and fixed-capacity lists, no pointers and no
// heap, so a whole ProbeMeta copies by value (the library holds 128 of them). Lists longer than
// their capacity are cut when a file is read, with a warning on the SENSOR log.
#include <cstdint>
#include <string_view>

#include "sensors/fixed_list.h"
#include "utils/fss.h"

// Capacities of the definition lists.
namespace probe_limits {
inline constexpr uint32_t kInfo = 8;
inline constexpr uint32_t kConfig = 16;
inline constexpr uint32_t kConfigCmds = 4;
inline constexpr uint32_t kReadings = 8;
inline constexpr uint32_t kCalibrations = 4;   // per reading
inline constexpr uint32_t kCalbCmds = 4;       // per calibration
inline constexpr uint32_t kSpanCmds = 2;       // per 4-20 mA point
inline constexpr uint32_t kCalbResults = 4;    // per calibration command
inline constexpr uint32_t kDiagnosis = 32;
inline constexpr uint32_t kSpans = 4;
inline constexpr uint32_t kBrushCmds = 8;
inline constexpr uint32_t kControl = 8;
inline constexpr uint32_t kControlCmds = 4;
inline constexpr uint32_t kRestoreCmds = 8;
inline constexpr uint32_t kRestoreResults = 6;
}  // namespace probe_limits

struct InfoItem {
    fss::basic_str<char, 16> Name;
    int32_t RegAddress = -1;
    fss::basic_str<char, 16> RegType;
    int32_t RegLen = 1;  // number of 16-bit registers
};

struct ConfigItem {
    struct ConfigCmdItem {
        int32_t RegAddress = 0;
        fss::basic_str<char, 16> RegType;
        int32_t RegLen = 1;
        bool Editable = false;
        int32_t SetValue = 10;
    };
    fss::basic_str<char, 16> Name;
    fss::basic_str<char, 16> SettingsType;
    fss::basic_str<char, 16> Tip;
    FixedList<ConfigCmdItem, probe_limits::kConfigCmds> Cmds;
    bool Editable = false;
};

struct CalbCmdResult {
    int32_t RegValue = 0;
    fss::basic_str<char, 64> ResultMessage;
};

// One register write of a calibration step or of a 4-20 mA span point.
struct CalbCmd_Like {
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType;
    bool Editable = false;
    int32_t SetValue = 4;
    int32_t Waiting_mS = 1000;
    int32_t ResultRegAddress = 0;
    fss::basic_str<char, 16> ResultRegType;
    FixedList<CalbCmdResult, probe_limits::kCalbResults> Results;
    float SetValueMax = 0.0f;
    float SetValueMin = 0.0f;
};

struct CalibrationItem {
    fss::basic_str<char, 32> Name;
    fss::basic_str<char, 512> Message;
    FixedList<CalbCmd_Like, probe_limits::kCalbCmds> Cmds;
    float SetValueMax = 0.0f;
    float SetValueMin = 0.0f;
};

struct ReadingItem {
    fss::basic_str<char, 32> Name;  // the measure name recipe items refer to
    fss::basic_str<char, 16> Unit;
    fss::basic_str<char, 16> DisplayUnit;
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType;
    int32_t Decimal = 0;
    bool Customized = false;
    fss::basic_str<char, 32> custName;
    FixedList<CalibrationItem, probe_limits::kCalibrations> Calibrations;
};

struct DiagnosisItem {
    fss::basic_str<char, 16> DisplayName;
    fss::basic_str<char, 16> Name;
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType;
};

struct Span4_20mA_Meta {
    struct Span4_20mA_MetaItem {
        fss::basic_str<char, 32> Name;
        bool Editable = false;
        int32_t Placeholder = 0;
        FixedList<CalbCmd_Like, probe_limits::kSpanCmds> Cmds;
    };
    fss::basic_str<char, 16> Name;
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType{"float"};
    Span4_20mA_MetaItem mA4;   // file key "__4mA"
    Span4_20mA_MetaItem mA20;  // file key "__20mA"
};

struct BrushingMeta {
    struct BrushCmd {
        fss::basic_str<char, 16> Name;
        int32_t SetValue = 4;
        int32_t Waiting_mS = 1000;
        bool Editable = false;
    };
    int32_t modbusID = 0;
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType;
    int32_t RegLen = 1;
    FixedList<BrushCmd, probe_limits::kBrushCmds> Cmds;
};

struct ControlCmd {
    struct ControlCmdItem {
        int32_t RegAddress = 0;
        fss::basic_str<char, 16> RegType;
        int32_t RegLen = 1;
        int32_t SetValue = 0;
    };
    fss::basic_str<char, 16> Name;
    fss::basic_str<char, 16> Tip;
    FixedList<ControlCmdItem, probe_limits::kControlCmds> Cmds;
};

struct RestoreReturnItem {
    int32_t RegValue = 0;
    fss::basic_str<char, 32> ResultMessage;
};

// One factory-restore write. The file format has no result-register key for these commands,
// so ResultRegAddress stays 0 unless a definition gives "ResultRegAddress".
struct RestoreCmd {
    int32_t RegAddress = 0;
    fss::basic_str<char, 16> RegType;
    int32_t RegLen = 1;
    bool Editable = false;
    int32_t SetValue = 0;
    FixedList<RestoreReturnItem, probe_limits::kRestoreResults> Results;
    int32_t ResultRegAddress = 0;
    fss::basic_str<char, 16> ResultRegType;
};

struct RestoreFactoryMeta {
    fss::basic_str<char, 16> Name;
    fss::basic_str<char, 16> Message;
    FixedList<RestoreCmd, probe_limits::kRestoreCmds> Cmds;
};

struct CleanlinessResult {
    int32_t minCleanliness = 0;
    fss::basic_str<char, 16> DiagMessage;
    bool PleaseClean = false;
    bool IsClean = false;
    bool IsWarning = false;
};

struct CleanlinessCheckMeta {
    fss::basic_str<char, 16> Script;
    CleanlinessResult resultClean;
    CleanlinessResult resultBecomingFouled;
    CleanlinessResult resultFouled;
};

struct ProbeMeta {
    int64_t PN = 0;  // part number; 0 = empty definition, never matches
    fss::basic_str<char, 16> ModelType;
    fss::basic_str<char, 16> ModelName;
    fss::basic_str<char, 16> ModelDescription;
    int32_t ModbusAddr = 0;  // factory Modbus address
    fss::basic_str<char, 16> DataFmt;  // "ABCD", "BADC", "DCBA"; anything else means CDAB
    FixedList<InfoItem, probe_limits::kInfo> Info;
    FixedList<ConfigItem, probe_limits::kConfig> Config;
    FixedList<ReadingItem, probe_limits::kReadings> Readings;
    FixedList<DiagnosisItem, probe_limits::kDiagnosis> Diagnosis;
    FixedList<Span4_20mA_Meta, probe_limits::kSpans> Span4_20mA;
    BrushingMeta Brushing;
    FixedList<ControlCmd, probe_limits::kControl> Control;
    RestoreFactoryMeta RestoreFactory;
    CleanlinessCheckMeta CleanlinessCheck;

    // First reading whose Name equals name (over 32 characters), or nullptr.
    const ReadingItem* getReadItemByName(const fss::basic_str<char, 32>& name) const;
    // Index of that reading, -1 when none.
    int indexOfReading(const fss::basic_str<char, 32>& name) const;
    // True for a definition that can bind (part number not 0).
    bool isDefined() const { return PN != 0; }
};

// The shared empty definition (part number 0, every list empty). Unbound recipe items point at
// it, so a definition pointer is never null. It is handed to the recipe
// (ProbeMeasureRecipeItem::setNoneObject) during static initialisation of this library and again
// by registerProbeMetaNone(), which the library loader calls.
const ProbeMeta& probeMetaNone();
void registerProbeMetaNone();

// Parses one definition file's text into meta, which holds its defaults on entry (a fresh
// ProbeMeta). Keys are looked up at their own object level; a missing key keeps its default, a
// missing list stays empty. Returns false, leaving meta untouched, when the text holds no JSON
// object at all; any object (even one that is not a probe definition) is read and gives true.
bool readJson(const fss::basic_str<char, 1048576>& text, ProbeMeta& meta);
bool readJson(std::string_view text, ProbeMeta& meta);
