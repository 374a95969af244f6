#include "sensors/rtu_cmd_utility.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <strings.h>

#include <fmt/format.h>

#include "env/cmd_packs.h"
#include "live/live_data.h"
#include "platform/clock.h"
#include "recipe/recipe_data.h"
#include "utils/unit_utils.h"
#include "utils/utility.h"

namespace {
using namespace std::chrono_literals;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr const char* kNoDefinition = "probe meta not loaded";

void pause(std::chrono::milliseconds d) { orvane::platform::Clock::get().sleepFor(d); }

// Makes the probe's float byte order current; false when the item has no definition.
const ProbeMeta* selectProbe(const ProbeMeasureRecipeItem& item) {
    const ProbeMeta* meta = RtuCmdUtility::metaOf(item);
    if (meta) gDataFmt = meta->DataFmt;
    else gDataFmt.clear();
    return meta;
}

int16_t saturatingIncrement(int16_t v) { return v < std::numeric_limits<int16_t>::max() ? static_cast<int16_t>(v + 1) : v; }

// Register bytes as a zero-terminated text, the low-order byte of each register first.
template <typename T, size_t N>
std::string registerText(const std::array<T, N>& values, int count) {
    std::string s;
    for (int i = 0; i < count && i < static_cast<int>(N); ++i) {
        uint16_t r = static_cast<uint16_t>(values[static_cast<size_t>(i)]);
        char lo = static_cast<char>(r & 0xFF), hi = static_cast<char>(r >> 8);
        if (lo == 0) break;
        s += lo;
        if (hi == 0) break;
        s += hi;
    }
    return s;
}

const Span4_20mA_Meta* findSpan(const ProbeMeta& meta, const ProbeMeasureRecipeItem& item) {
    for (const Span4_20mA_Meta& s : meta.Span4_20mA)
        if (s.Name.view() == item.name.view()) return &s;
    return nullptr;
}

std::string describePoint(const Span4_20mA_Meta::Span4_20mA_MetaItem& p) {
    return fmt::format("{{Name=\"{}\", Editable={}, Placeholder={}}}", p.Name.view(), p.Editable, p.Placeholder);
}

bool validSlave(int a) { return a >= RtuMaster::kFirstSlave && a <= RtuMaster::kLastSlave; }
}  // namespace

const ProbeMeta* RtuCmdUtility::metaOf(const ProbeMeasureRecipeItem& item) {
    const ProbeMeta* m = item.probeMeta;
    return (m && m->PN != 0) ? m : nullptr;
}

// ---- readings, information and diagnosis ----------------------------------------------------------

uint32_t RtuCmdUtility::readPN(RtuMaster& master, int slave) {
    auto r = readModbus<uint32_t>(master, slave, kPartNumberRegister, "uint", 1);
    return r.ok() ? r.values[0] : 0;
}

long RtuCmdUtility::toLong(const std::array<uint32_t, 20>& values) {
    long result = 0;
    for (uint32_t v : values) {
        if (v == 0) break;
        for (uint32_t byte : {v & 0xFFu, (v >> 8) & 0xFFu}) {
            if (byte < '0') continue;
            long digit = static_cast<long>(byte) - '0';
            if (result > (LONG_MAX - digit) / 10) return LONG_MAX;
            result = result * 10 + digit;
        }
    }
    return result;
}

long RtuCmdUtility::readSN(const ProbeMeta& meta, RtuMaster& master, int slave) {
    for (const InfoItem& it : meta.Info) {
        if (it.Name.view() != "Serial Number") continue;
        gDataFmt = meta.DataFmt;
        auto r = readModbus<uint32_t>(master, slave, it.RegAddress, it.RegType.view(), it.RegLen);
        if (!r.ok()) {
            SLOG_WARN(SENSOR, "read info {}", it.Name.view());
            return 0;
        }
        if (it.RegType.view() == "uint" && it.RegLen <= 2) return static_cast<long>(r.values[0]);
        return toLong(r.values);
    }
    return 0;
}

bool RtuCmdUtility::readInfoItem(ProbeMeasureRecipeItem& item, RtuMaster& master, MeasureDataItem& out) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    const int slave = item.modbusAddr;
    for (const InfoItem& it : meta->Info) {
        const std::string_view name = it.Name.view();
        const std::string_view type = it.RegType.view();
        bool ok = true;
        if (name == "Serial Number") {
            auto r = readModbus<uint32_t>(master, slave, it.RegAddress, type, it.RegLen);
            ok = r.ok();
            if (ok) out.SN = (type == "uint" && it.RegLen <= 2) ? r.values[0] : static_cast<uint32_t>(std::min<long>(toLong(r.values), UINT32_MAX));
        } else if (name == "Software Version") {
            auto r = readModbus<uint16_t>(master, slave, it.RegAddress, type, it.RegLen);
            ok = r.ok();
            if (ok) out.swVer = it.RegLen == 1 ? std::to_string(r.values[0]) : registerText(r.values, it.RegLen);
        } else if (name == "Hardware Version") {
            auto r = readModbus<uint16_t>(master, slave, it.RegAddress, type, it.RegLen);
            ok = r.ok();
            if (ok) out.hwVer = registerText(r.values, it.RegLen);
        } else if (name == "Product Number") {
            ok = readModbus<uint32_t>(master, slave, it.RegAddress, type, 1).ok();
        } else {
            SLOG_INFO(SENSOR, "unimplemented readInfo {}", name);
            continue;
        }
        if (!ok) {
            SLOG_INFO(SENSOR, "read info {}", name);
            handleInfoFailure(item, out);
            return false;
        }
    }
    return true;
}

void RtuCmdUtility::handleInfoFailure(ProbeMeasureRecipeItem& item, MeasureDataItem& out) {
    item.failureCount = 2;
    item.lastAttemptTime = orvane::platform::Clock::get().steadySeconds();
    out.val = kNaN;
    out.status = 0;
}

int RtuCmdUtility::readInfo(RecipeItems& items, RtuMaster& master, ProbeLiveData& live) {
    int visited = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        ProbeMeasureRecipeItem& item = items[i];
        if (!selectProbe(item)) continue;
        if (!item.enable || item.modbusAddr <= 0) continue;
        ++visited;
        MeasureDataItem& out = live.items[i];
        readInfoItem(item, master, out);
        RangeMA range = get_range_mA(item, master);
        if (range.ok) {
            out.mA_4 = range.ma4;
            out.mA_20 = range.ma20;
            item.mA_4 = range.ma4;
            item.mA_20 = range.ma20;
        }
    }
    return visited;
}

bool RtuCmdUtility::readDataItem(ProbeMeasureRecipeItem& item, RtuMaster& master, MeasureDataItem& out) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    const ReadingItem* reading = meta->getReadItemByName(item.name);
    if (!reading) return false;
    auto r = readModbus<float>(master, item.modbusAddr, reading->RegAddress, reading->RegType.view(), 1);
    if (!r.ok()) return false;
    const float raw = r.values[0];
    const float converted = UnitUtils::convert(raw, item.unit, item.displayUnit).value;
    out.val = item.calculated ? item.intercept + item.slope * converted : converted;
    SLOG_INFO(SENSOR, "read {}={},{}, id={}, reg={}, try_num={}", item.name.view(), raw, out.val, item.modbusAddr,
              reading->RegAddress, r.tryNum);
    return true;
}

int RtuCmdUtility::readData(RecipeItems& items, RtuMaster& master, ProbeLiveData& live) {
    const int64_t passStart = orvane::platform::Clock::get().steadySeconds();
    int read = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        ProbeMeasureRecipeItem& item = items[i];
        MeasureDataItem& out = live.items[i];
        selectProbe(item);
        bool ok = false;
        if (item.enable && item.modbusAddr > 0) {
            item.lastAttemptTime = passStart;
            ok = readDataItem(item, master, out);
        }
        if (ok) {
            item.failureCount = 0;
            out.status = 2;
            out.fresh = 1;
            ++read;
        } else {
            item.failureCount = saturatingIncrement(item.failureCount);
            out.fresh = 0;
            if (item.failureCount > 0) {
                out.status = 0;
                out.val = kNaN;
            }
        }
    }
    return read;
}

bool RtuCmdUtility::ping(ProbeMeasureRecipeItem& item, RtuMaster& master) {
    auto scratch = std::make_unique<MeasureDataItem>();
    return readDataItem(item, master, *scratch);
}

void RtuCmdUtility::readDataAI(const std::array<AIRecipeItem, 8>& ai, RtuMaster& master, AnalogLiveData& live) {
    gDataFmt.clear();
    for (size_t i = 0; i < ai.size(); ++i) {
        const AIRecipeItem& in = ai[i];
        AnalogLiveItem& out = live.items[i];
        if (!in.enable || in.modbusAddr <= 0) {
            out.raw = kNaN;
            out.val = kNaN;
            out.status = 0;
            continue;
        }
        auto r = readModbus<float>(master, in.modbusAddr, in.reg, in.regType.view(), 1);
        SLOG_INFO(SENSOR, "read AI: reg{}={}, errorCode = {}", in.reg, r.values[0], r.result);
        if (!r.ok()) {
            out.raw = kNaN;
            out.val = kNaN;
            out.status = 0;
            continue;
        }
        out.raw = r.values[0];
        out.status = 2;
        if (in.signalType == 0) out.val = Utility::interpolate(out.raw, 0.0f, 20.0f, in.mA_4, in.mA_20);
        else if (in.signalType == 1) out.val = Utility::interpolate(out.raw, 4.0f, 20.0f, in.mA_4, in.mA_20);
        else out.val = kNaN;
    }
}

int RtuCmdUtility::readDiagnosis(const ProbeMeasureRecipeItem& item, RtuMaster& master, std::array<float, 20>& values) {
    values.fill(0.0f);
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return 0;
    const int n = std::min<int>(static_cast<int>(meta->Diagnosis.size()), kMaxDiagnosis);
    for (int i = 0; i < n; ++i) {
        const DiagnosisItem& d = meta->Diagnosis[static_cast<size_t>(i)];
        auto r = readModbus<float>(master, item.modbusAddr, d.RegAddress, d.RegType.view(), 1);
        if (r.ok()) values[static_cast<size_t>(i)] = r.values[0];
        SLOG_INFO(SENSOR, "Diagnosis {}={}", d.Name.view(), values[static_cast<size_t>(i)]);
    }
    return n;
}

int RtuCmdUtility::readDiagnoseKey(const ProbeMeasureRecipeItem& item, std::array<fss::basic_str<char, 32>, 20>& names) {
    const ProbeMeta* meta = metaOf(item);
    if (!meta) return 0;
    const int n = std::min<int>(static_cast<int>(meta->Diagnosis.size()), kMaxDiagnosis);
    for (int i = 0; i < n; ++i) names[static_cast<size_t>(i)] = meta->Diagnosis[static_cast<size_t>(i)].Name.c_str();
    return n;
}

float RtuCmdUtility::readDiagnosis_key(const ProbeMeasureRecipeItem& item, RtuMaster& master, const fss::basic_str<char, 16>& name) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return kNaN;
    for (const DiagnosisItem& d : meta->Diagnosis) {
        if (std::strncmp(d.Name.c_str(), name.c_str(), 16) != 0) continue;
        auto r = readModbus<float>(master, item.modbusAddr, d.RegAddress, d.RegType.view(), 1);
        return r.ok() ? r.values[0] : kNaN;
    }
    return kNaN;
}

int RtuCmdUtility::getCleanlinessIndex(const ProbeMeasureRecipeItem& item, RtuMaster& master) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return -1;
    double index;
    if (meta->PN == kMv700PartNumber) {
        const double q812 = readDiagnosis_key(item, master, "q812");
        const double q812DI = readDiagnosis_key(item, master, "q812DI");
        const double r574 = readDiagnosis_key(item, master, "r574");
        const double r574DI = readDiagnosis_key(item, master, "r574DI");
        if (std::isnan(q812) || std::isnan(q812DI) || std::isnan(r574) || std::isnan(r574DI)) return -1;
        if (q812DI == 0.0 || r574DI == 0.0) return -1;
        index = (q812 / q812DI + (r574 / r574DI - 1.0) * 0.075) * 100.0;
    } else {
        const DiagnosisItem* found = nullptr;
        for (const DiagnosisItem& d : meta->Diagnosis) {
            if (strcasecmp(d.Name.c_str(), "cleanliness") == 0) {
                found = &d;
                break;
            }
        }
        if (!found) return -1;
        auto r = readModbus<float>(master, item.modbusAddr, found->RegAddress, found->RegType.view(), 1);
        if (!r.ok()) return -1;
        index = r.values[0];
    }
    if (!std::isfinite(index)) return -1;
    index = std::trunc(index);
    if (index < 0) return -1;
    return index > 100.0 ? 100 : static_cast<int>(index);
}

const CalibrationItem* RtuCmdUtility::findCalbrateItemByName(const ProbeMeasureRecipeItem& item, const fss::basic_str<char, 32>& name) {
    const ProbeMeta* meta = metaOf(item);
    if (!meta) return nullptr;
    const CalibrationItem* found = nullptr;
    for (const ReadingItem& r : meta->Readings) {
        for (const CalibrationItem& c : r.Calibrations) {
            if (std::strncmp(c.Name.c_str(), name.c_str(), 32) == 0) {
                found = &c;
                break;
            }
        }
    }
    return found;
}

// ---- configuration, calibration and restore ---------------------------------------------------------

ProbeCmdRetPack RtuCmdUtility::writeValue(ProbeMeasureRecipeItem& item, RtuMaster& master, float value) {
    ProbeCmdRetPack ret;
    const ProbeMeta* meta = metaOf(item);
    const ReadingItem* reading = meta ? meta->getReadItemByName(item.name) : nullptr;
    if (!reading) {
        ret.status = 0;
        ret.msg = meta ? "reading not found" : kNoDefinition;
        return ret;
    }
    BusResult r = writeModbus(master, item.modbusAddr, reading->RegAddress, value, reading->RegType.view());
    SLOG_INFO(SENSOR, "writeValue writeModbus: reg{}={}, errorCode = {}, try_num={}", reading->RegAddress, value, r.result, r.tryNum);
    ret.status = r.ok() ? 1 : 0;
    ret.msg = r.ok() ? "write succeed" : "write failed";
    return ret;
}

bool RtuCmdUtility::readWrite4_20mA(ProbeMeasureRecipeItem& item, RtuMaster& master, const Span4_20mA_Meta::Span4_20mA_MetaItem& sub,
                                    bool write, float& value) {
    if (sub.Cmds.empty()) return true;
    if (!write) {
        const CalbCmd_Like& c = sub.Cmds[0];
        if (c.RegAddress <= 0) {
            value = static_cast<float>(sub.Placeholder);
            return true;
        }
        // Read as the register's own type (a float span keeps its fraction).
        auto r = readModbus<float>(master, item.modbusAddr, c.RegAddress, c.RegType.view(), 1);
        SLOG_INFO(SENSOR, "getRange_mA readModbus: reg{}, olddata = {}, try_num={}", c.RegAddress, r.values[0], r.tryNum);
        if (!r.ok()) return false;
        value = r.values[0];
        return true;
    }
    bool all = true;
    for (const CalbCmd_Like& c : sub.Cmds) {
        if (c.RegAddress >= 1) {
            BusResult r = writeModbus(master, item.modbusAddr, c.RegAddress, value, c.RegType.view());
            SLOG_INFO(SENSOR, "setRange_mA writeModbus: reg{}={}, errorCode = {}, try_num={}", c.RegAddress, value, r.result, r.tryNum);
            all = all && r.ok();
        }
        pause(500ms);
    }
    return all;
}

ProbeCmdRetPack RtuCmdUtility::set_range_mA(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack, MeasureDataItem& out) {
    ProbeCmdRetPack ret;
    ret.status = 0;
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) {
        ret.msg = kNoDefinition;
        return ret;
    }
    const Span4_20mA_Meta* span = findSpan(*meta, item);
    if (!span) {
        ret.msg = "span not found";
        return ret;
    }
    SLOG_INFO(SENSOR, "configure {}, {}", item.name.view(), span->Name.view());
    const bool has4 = !std::isnan(pack.mA_4);
    const bool has20 = !std::isnan(pack.mA_20);
    if (!has4 && !has20) {
        ret.msg = "no span value";
        return ret;
    }
    bool ok = true;
    if (has4) {
        float v = pack.mA_4;
        if (readWrite4_20mA(item, master, span->mA4, true, v)) out.mA_4 = v;
        else ok = false;
    }
    if (has20) {
        float v = pack.mA_20;
        if (readWrite4_20mA(item, master, span->mA20, true, v)) out.mA_20 = v;
        else ok = false;
    }
    ret.status = ok ? 1 : 0;
    ret.msg = ok ? "span written" : "span write failed";
    return ret;
}

RtuCmdUtility::RangeMA RtuCmdUtility::get_range_mA(ProbeMeasureRecipeItem& item, RtuMaster& master) {
    RangeMA range;
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return range;
    const Span4_20mA_Meta* span = findSpan(*meta, item);
    if (!span) return range;
    SLOG_INFO(SENSOR, "configure {}, {}", item.name.view(), span->Name.view());
    SLOG_INFO(SENSOR, "4mA Name: {}", describePoint(span->mA4));
    bool ok4 = readWrite4_20mA(item, master, span->mA4, false, range.ma4);
    SLOG_INFO(SENSOR, "20mA Name: {}", describePoint(span->mA20));
    bool ok20 = readWrite4_20mA(item, master, span->mA20, false, range.ma20);
    range.ok = ok4 && ok20;
    return range;
}

bool RtuCmdUtility::reboot(ProbeMeasureRecipeItem& item, RtuMaster& master) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    bool found = false, all = true;
    for (const ControlCmd& ctl : meta->Control) {
        if (ctl.Name.view() != "Reboot") continue;
        found = true;
        for (const auto& c : ctl.Cmds) {
            BusResult r = writeModbus(master, item.modbusAddr, c.RegAddress, c.SetValue, c.RegType.view());
            SLOG_INFO(SENSOR, "configure writeModbus reboot: reg{}={}, errorCode = {}, try_num = {}", c.RegAddress, c.SetValue, r.result,
                      r.tryNum);
            all = all && r.ok();
        }
    }
    return found && all;
}

bool RtuCmdUtility::changeAddr(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    const int oldAddr = item.modbusAddr;
    const int newAddr = pack.newAddr;
    if (!validSlave(newAddr) || !validSlave(oldAddr)) {
        SLOG_WARN(SENSOR, "Change Addr refused - old: {}, new: {}", oldAddr, newAddr);
        return false;
    }
    const ConfigItem* cfg = nullptr;
    for (const ConfigItem& c : meta->Config) {
        if (c.Name.view() == "Modbus Address") {
            cfg = &c;
            break;
        }
    }
    if (!cfg) return false;
    for (uint32_t i = 0; i < cfg->Cmds.size(); ++i) {
        const auto& c = cfg->Cmds[i];
        const bool editable = c.Editable || (i == 0 && cfg->Editable);
        const int value = editable ? newAddr : c.SetValue;
        BusResult r = writeModbus(master, oldAddr, c.RegAddress, value, c.RegType.view());
        SLOG_INFO(SENSOR, "Change Addr - old: {}, new: {}, reg: {}, errCode: {}, try_num: {}", oldAddr, newAddr, c.RegAddress, r.result,
                  r.tryNum);
        pause(2s);
    }
    reboot(item, master);
    pause(10s);
    // The move counts only when the probe answers at its new address.
    const uint32_t pn = readPN(master, newAddr);
    const bool moved = pn != 0 && static_cast<int64_t>(pn) == meta->PN;
    SLOG_INFO(SENSOR, "Change Addr verify - new: {}, PN read: {}, expected: {}, {}", newAddr, pn, meta->PN, moved ? "ok" : "failed");
    return moved;
}

bool RtuCmdUtility::configure(ProbeMeasureRecipeItem& item, RtuMaster& master, const ConfigCmdPack& pack) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    const ConfigItem* cfg = meta->Config.at(pack.param);
    if (!cfg) return false;
    SLOG_INFO(SENSOR, "configure {}, {}", item.name.view(), cfg->Name.view());
    bool all = true;
    for (const auto& c : cfg->Cmds) {
        BusResult r = c.Editable ? writeModbus(master, item.modbusAddr, c.RegAddress, pack.value, c.RegType.view())
                                 : writeModbus(master, item.modbusAddr, c.RegAddress, c.SetValue, c.RegType.view());
        SLOG_INFO(SENSOR, "configure writeModbus: reg{}={}, errorCode = {}, try_num={}", c.RegAddress,
                  c.Editable ? pack.value : static_cast<float>(c.SetValue), r.result, r.tryNum);
        all = all && r.ok();
        pause(1s);
    }
    if (all) reboot(item, master);
    return all;
}

ProbeCmdRetPack RtuCmdUtility::calibrate(ProbeMeasureRecipeItem& item, RtuMaster& master, const CalbCmdPack& pack) {
    const ProbeMeta* meta = metaOf(item);
    if (!meta) {
        SLOG_ERROR(SENSOR, "calibrate aborted: device.meta is null (pn={}, modbusAddr={}, name={})", item.pn, item.modbusAddr,
                   item.name.view());
        return ProbeCmdRetPack{0, "probe meta not loaded"};
    }
    gDataFmt = meta->DataFmt;
    float solution = pack.solution;
    if (item.name.view() == "ORP") {
        solution /= 1000.0f;
        SLOG_INFO(SENSOR, "calibrate ORP convert");
    }
    const ReadingItem* reading = meta->Readings.at(item.readingIndex);
    if (!reading) {
        SLOG_INFO(SENSOR, "calibrate measureIndexInProbe {} out of range", item.readingIndex);
        return ProbeCmdRetPack{0, "measureIndexInProbe out of range"};
    }
    const CalibrationItem* cal = reading->Calibrations.at(pack.idxCal);
    if (!cal) {
        SLOG_INFO(SENSOR, "calibrate idxCal {} out of range", pack.idxCal);
        return ProbeCmdRetPack{0, "idxCal out of range"};
    }
    ProbeCmdRetPack ret;
    for (const CalbCmd_Like& c : cal->Cmds) {
        const float value = c.Editable ? solution : static_cast<float>(c.SetValue);
        BusResult w = writeModbus(master, item.modbusAddr, c.RegAddress, value, c.RegType.view());
        SLOG_INFO(SENSOR, "Calibrate write: regAddr{}={}, errorCode/regNum={}", c.RegAddress, value, w.result);
        if (!w.ok()) return ProbeCmdRetPack{0, "calibration write failed"};
        if (c.Editable) {
            auto rb = readModbus<float>(master, item.modbusAddr, c.RegAddress, "float", 1);
            SLOG_INFO(SENSOR, "Calibrate read: regAddr{}={}, errorCode={}", c.RegAddress, rb.values[0], rb.result);
        }
        pause(200ms);
        if (c.ResultRegAddress > 0) {
            ret = ProbeCmdRetPack{0, "calibration failure"};
            for (int poll = 0; poll < kCalibrationPolls; ++poll) {
                auto r = readModbus<uint16_t>(master, item.modbusAddr, c.ResultRegAddress, c.ResultRegType.view(), 1);
                ResultLookup lookup = r.ok() ? getErrorCode(c.Results, r.values[0]) : ResultLookup{"calibration failure", false, false};
                SLOG_INFO(SENSOR, "calibrate readModbus: reg{}={}, msg={}", c.ResultRegAddress, r.values[0], lookup.msg);
                ret.status = lookup.success ? 1 : 0;
                ret.msg = lookup.msg;
                if (lookup.matched) break;
                if (poll + 1 < kCalibrationPolls) pause(500ms);
            }
            if (ret.status != 1) return ret;  // a failed step ends the calibration
        }
    }
    pause(100ms);
    if (ret.status == -1) ret = ProbeCmdRetPack{1, "calibration succeed"};
    return ret;
}

void RtuCmdUtility::restore(ProbeMeasureRecipeItem& item, RtuMaster& master, ProbeCmdRetPack& pack) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) {
        pack = ProbeCmdRetPack{0, kNoDefinition};
        return;
    }
    if (meta->RestoreFactory.Cmds.empty()) {
        pack = ProbeCmdRetPack{0, "restore not supported"};
        return;
    }
    bool all = true;
    pack = ProbeCmdRetPack{1, "restore succeed"};
    for (const RestoreCmd& c : meta->RestoreFactory.Cmds) {
        BusResult w = writeModbus(master, item.modbusAddr, c.RegAddress, static_cast<float>(c.SetValue), c.RegType.view());
        SLOG_INFO(SENSOR, "restore writeModbus: reg{}={}, errorCode = {}", c.RegAddress, c.SetValue, w.result);
        all = all && w.ok();
        pause(1s);
        if (c.ResultRegAddress > 0) {
            ResultLookup lookup{"calibration failure", false, false};
            for (int poll = 0; poll < kRestorePolls; ++poll) {
                auto r = readModbus<uint32_t>(master, item.modbusAddr, c.ResultRegAddress, c.ResultRegType.view(), 1);
                if (r.ok()) lookup = getErrorCode(c.Results, r.values[0]);
                SLOG_INFO(SENSOR, "restore readModbus: reg{}={}, msg", c.ResultRegAddress, r.values[0]);
                if (lookup.matched) break;
                if (poll + 1 < kRestorePolls) pause(1s);
            }
            all = all && lookup.success;
            pack.msg = lookup.msg;
        }
    }
    pack.status = all ? 1 : 0;
    if (!all && pack.msg == "restore succeed") pack.msg = "restore failed";
}

bool RtuCmdUtility::setBrushState(ProbeMeasureRecipeItem& item, RtuMaster& master, bool on) {
    const ProbeMeta* meta = selectProbe(item);
    if (!meta) return false;
    const char* want = on ? "start" : "stop";
    for (const BrushingMeta::BrushCmd& c : meta->Brushing.Cmds) {
        if (std::strncmp(c.Name.c_str(), want, 16) != 0) continue;
        BusResult r = writeModbus(master, item.brushAddr, meta->Brushing.RegAddress, c.SetValue, meta->Brushing.RegType.view());
        return r.ok();
    }
    return false;
}

bool RtuCmdUtility::setRelayCmd(RtuMaster& master, int relay, bool on) {
    gDataFmt.clear();
    const uint16_t regs[3] = {2, static_cast<uint16_t>(relay + 1), static_cast<uint16_t>(on ? 1 : 0)};
    BusResult r = master.write(1, 49001, regs, 3);
    SLOG_INFO(SENSOR, "setRelayCmd writeModbus reg={}, cmd:{}-{}-{}: errorCode = {}", 49001, regs[0], regs[1], regs[2], r.result);
    return r.ok();
}
