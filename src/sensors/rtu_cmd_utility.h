#pragma once
// The probe command set: stateless operations that turn a probe's definition and its recipe
// item into Modbus RTU transfers through RtuMaster. Every operation on a probe first makes the
// definition's DataFmt the current float order (gDataFmt). Runs on the probe-service thread only.
//
// An item without a definition (null, the empty definition, or part number 0) is "not found" in
// every operation: reads fail, commands report failure, nothing is sent.
#include <array>
#include <cstdint>
#include <string>

#include "sensors/probe_cmd_ret.h"
#include "sensors/probe_meta.h"
#include "sensors/rtu_master.h"
#include "utils/fss.h"

struct ProbeMeasureRecipeItem;
struct AIRecipeItem;
struct MeasureDataItem;
struct ProbeLiveData;
struct AnalogLiveData;
struct ConfigCmdPack;
struct CalbCmdPack;

class RtuCmdUtility {
public:
    using RecipeItems = std::array<ProbeMeasureRecipeItem, 128>;

    static constexpr int kPartNumberRegister = 41005;
    static constexpr int64_t kMv700PartNumber = 50661;
    static constexpr int kMaxDiagnosis = 20;
    static constexpr int kCalibrationPolls = 20;
    static constexpr int kRestorePolls = 20;

    // The item's definition, or nullptr when it has none.
    static const ProbeMeta* metaOf(const ProbeMeasureRecipeItem& item);

    // ---- readings, information and diagnosis ----------------------------------------------------
    // Part number at register 41005 of slave ("uint"); 0 when the read fails.
    static uint32_t readPN(RtuMaster& master, int slave);
    // Serial number from the "Serial Number" Info item; 0 when missing or unreadable.
    static long readSN(const ProbeMeta& meta, RtuMaster& master, int slave);
    // ASCII digits held in up to 20 values (low-order byte of each first); saturates, never
    // overflows.
    static long toLong(const std::array<uint32_t, 20>& values);
    // Information and span values of every enabled, addressed item; returns the items visited.
    static int readInfo(RecipeItems& items, RtuMaster& master, ProbeLiveData& live);
    static bool readInfoItem(ProbeMeasureRecipeItem& item, RtuMaster& master, MeasureDataItem& out);
    static void handleInfoFailure(ProbeMeasureRecipeItem& item, MeasureDataItem& out);
    // One reading pass over the 128 items; returns the number read.
    static int readData(RecipeItems& items, RtuMaster& master, ProbeLiveData& live);
    static bool readDataItem(ProbeMeasureRecipeItem& item, RtuMaster& master, MeasureDataItem& out);
    static bool ping(ProbeMeasureRecipeItem& item, RtuMaster& master);
    static void readDataAI(const std::array<AIRecipeItem, 8>& ai, RtuMaster& master, AnalogLiveData& live);
    // Diagnosis values in definition order (at most 20); returns how many were filled.
    static int readDiagnosis(const ProbeMeasureRecipeItem& item, RtuMaster& master, std::array<float, 20>& values);
    static int readDiagnoseKey(const ProbeMeasureRecipeItem& item, std::array<fss::basic_str<char, 32>, 20>& names);
    // One diagnosis value by name (first 16 characters); NaN when missing or unreadable.
    static float readDiagnosis_key(const ProbeMeasureRecipeItem& item, RtuMaster& master, const fss::basic_str<char, 16>& name);
    // Cleanliness index 0..100, -1 when it cannot be read.
    static int getCleanlinessIndex(const ProbeMeasureRecipeItem& item, RtuMaster& master);
    static const CalibrationItem* findCalbrateItemByName(const ProbeMeasureRecipeItem& item, const fss::basic_str<char, 32>& name);

    // ---- configuration, calibration and restore --------------------------------------------------
    // Writes value to the item's reading register: status 1 written, 0 not.
    static ProbeCmdRetPack writeValue(ProbeMeasureRecipeItem& item, RtuMaster& master, float value);
    // Writes the non-NaN ends of the span; status 1 only when every write succeeded.
    static ProbeCmdRetPack set_range_mA(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack, MeasureDataItem& out);
    struct RangeMA {
        float ma20 = 0.0f;
        float ma4 = 0.0f;
        bool ok = false;  // both ends read
    };
    static RangeMA get_range_mA(ProbeMeasureRecipeItem& item, RtuMaster& master);
    // Writes the new address (pack.newAddr, 1..247), reboots the probe, and verifies that it
    // answers with its part number at the new address.
    static bool changeAddr(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack);
    static bool reboot(ProbeMeasureRecipeItem& item, RtuMaster& master);
    // Applies Config item pack.param; reboots after all writes succeeded.
    static bool configure(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack);
    static ProbeCmdRetPack calibrate(ProbeMeasureRecipeItem& item, RtuMaster& master, const CalbCmdPack& pack);
    static void restore(ProbeMeasureRecipeItem& item, RtuMaster& master, ProbeCmdRetPack& pack);
    static bool setBrushState(ProbeMeasureRecipeItem& item, RtuMaster& master, bool on);
    static bool setRelayCmd(RtuMaster& master, int relay, bool on);

    struct ResultLookup {
        std::string msg;
        bool matched = false;
        bool success = false;
    };
    // The first Result whose RegValue equals value; "calibration failure" when none does.
    // Success when the message contains "succeed" or "successful".
    template <typename ResultList>
    static ResultLookup getErrorCode(const ResultList& results, int64_t value) {
        ResultLookup r{"calibration failure", false, false};
        for (const auto& res : results) {
            if (res.RegValue == value) {
                r.msg = res.ResultMessage.str();
                r.matched = true;
                break;
            }
        }
        r.success = r.msg.find("succeed") != std::string::npos || r.msg.find("successful") != std::string::npos;
        return r;
    }

private:
    static bool readWrite4_20mA(ProbeMeasureRecipeItem& item, RtuMaster& master, const Span4_20mA_Meta::Span4_20mA_MetaItem& sub,
                                bool write, float& value);
};
