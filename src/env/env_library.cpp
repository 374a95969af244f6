// The probe library of the operational state: snapshots, lookups, recipe binding, user
// definitions and the library text for the web pages.
#include <algorithm>
#include <cstring>
#include <string>

#include "env/env_guard.h"
#include "env/json_text_out.h"
#include "env/probe_def_writer.h"
#include "platform/command_runner.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_library.h"
#include "utils/log.h"
#include "utils/utility.h"

namespace {

void openObject(JsonTextOut& out, const char* name) {
    out.indent();
    if (name) {
        out.raw("\"");
        out.raw(name);
        out.raw("\":{\n");
    } else {
        out.raw("{\n");
    }
    ++gIndentLevelForWriteJsonP;
}

void closeObject(JsonTextOut& out) {
    out.raw("}");
    --gIndentLevelForWriteJsonP;
}

void openArray(JsonTextOut& out, const char* name) {
    out.indent();
    out.raw("\"");
    out.raw(name);
    out.raw("\":[\n");
    ++gIndentLevelForWriteJsonP;
}

void closeArray(JsonTextOut& out) {
    --gIndentLevelForWriteJsonP;
    out.raw("]\n");
}

void sep(JsonTextOut& out) { out.raw(",\n"); }

template <class Range, class Write>
void array(JsonTextOut& out, const char* name, const Range& range, Write&& write) {
    openArray(out, name);
    bool first = true;
    for (const auto& element : range) {
        if (!first) sep(out);
        first = false;
        write(element);
    }
    closeArray(out);
}

void writeView(JsonTextOut& out, const ProbeInfoToWeb& view) {
    openObject(out, nullptr);
    out.member("modelName", view.modelName);
    sep(out);
    out.member("modbusAddr", view.modbusAddr);
    sep(out);
    out.member("PN", static_cast<long long>(view.PN));
    sep(out);
    array(out, "sensors", view.sensors, [&](const ProbeInfoToWeb::SensorItemToWeb& s) {
        openObject(out, nullptr);
        out.member("name", s.name);
        sep(out);
        out.member("custName", s.custName);
        sep(out);
        out.member("regAddr", s.regAddr);
        sep(out);
        out.member("regType", s.regType);
        sep(out);
        out.member("unit", s.unit);
        sep(out);
        out.member("decimal", s.decimal);
        sep(out);
        array(out, "calbs", s.calbs, [&](const ProbeInfoToWeb::CalbItemToWeb& c) {
            openObject(out, nullptr);
            out.member("calIndex", c.calIndex);
            sep(out);
            out.member("name", c.name);
            sep(out);
            out.member("message", c.message);
            sep(out);
            out.member("editable", c.editable);
            sep(out);
            out.real("max", c.max);
            sep(out);
            out.real("min", c.min);
            closeObject(out);
        });
        sep(out);
        out.member("Editable4mA", s.Editable4mA);
        sep(out);
        out.member("Editable20mA", s.Editable20mA);
        sep(out);
        out.real("rangeMax", s.rangeMax);
        sep(out);
        out.real("rangeMin", s.rangeMin);
        sep(out);
        out.member("customized", s.customized);
        closeObject(out);
    });
    sep(out);
    out.member("supportRestore", view.supportRestore);
    sep(out);
    array(out, "configs", view.configs, [&](const ProbeInfoToWeb::ConfigItemToWeb& c) {
        openObject(out, nullptr);
        out.member("Name", c.Name);
        sep(out);
        out.member("Editable", c.Editable);
        sep(out);
        out.member("Tip", c.Tip);
        closeObject(out);
    });
    sep(out);
    out.member("brushAddr", view.brushAddr);
    sep(out);
    array(out, "brush", view.brush, [&](const fss::basic_str<char, 16>& name) { out.member(nullptr, name); });
    closeObject(out);
}

// Names of the operator-panel calibration commands 0..13 (compared without regard to case).
constexpr const char* kHmiCalibNames[14][2] = {
    {"HMI_CALIB_NONE", "NONE"},
    {"zero_title", nullptr},
    {"slope_title", "Conductivity Calibration"},
    {"pH 7 Calibration", nullptr},
    {"Acid Calibration", nullptr},
    {"Base Calibration", nullptr},
    {"Air Calibration", nullptr},
    {"Low Calibration", nullptr},
    {"Middle Calibration", "Mid Calibration"},
    {"High Calibration", "High Point Calibration"},
    {"ORP Calibration", nullptr},
    {"HMI_CALIB_pH_PROCESS", "Process Calibration"},
    {"pH 6.86 Calibration", nullptr},
    {"HMI_FACTORY_RESET", nullptr},
};

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

}  // namespace

std::array<MeasureTypeRow, kMeasureTypeCount> EnvGuard::get_measure_type_array() { return measureTypeTable(); }

// ---- Lookups -----------------------------------------------------------------------------------

std::shared_ptr<const ProbeLibrarySnapshot> EnvGuard::getProbeLibrary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return library_;
}

std::shared_ptr<const ProbeMeta> EnvGuard::getProbeMetaByPN(long long pn) const {
    const auto library = getProbeLibrary();
    if (pn != 0) {
        for (const auto& def : library->slots) {
            if (def->PN == pn) return def;
        }
    }
    return emptyMeta_;
}

void EnvGuard::updateProbeRefrence(ProbeRecipeItems& items) {
    const auto library = getProbeLibrary();
    std::array<const ProbeMeta*, 128> slots{};
    for (size_t i = 0; i < slots.size(); ++i) {
        const ProbeMeta* def = library->slots[i].get();
        slots[i] = def->PN != 0 ? def : nullptr;
    }
    initProbeRecipe(items, slots);
}

bool EnvGuard::getCustomProbeMeta(long pn, fss::stringHuge& out) {
    return Utility::readText(opts_.customProbeDir + std::to_string(pn) + ".json", out);
}

std::string EnvGuard::getProbeLibraryJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probeLibraryJson_;
}

int EnvGuard::get_calibr_cmd_index(long long pn, MEASURE_TYPE type, unsigned short cmd) {
    if (cmd >= 14) {
        SLOG_WARN(SENSOR, "get_calibr_cmd_index: hmi_calibr_cmd {} out of range", cmd);
        return -1;
    }
    const auto& names = kHmiCalibNames[cmd];
    const auto library = getProbeLibrary();
    for (const auto& def : library->slots) {
        if (pn == 0 || def->PN != pn) continue;
        SLOG_INFO(SENSOR, "Calbiration: PN matched: {}", pn);
        for (const ReadingItem& reading : def->Readings) {
            const MEASURE_TYPE found = findMeasureType(reading.Name);
            const bool same = found == type;
            SLOG_INFO(SENSOR, "Calbiration: measurement matched: comp({}, {})={}", static_cast<int>(found),
                      static_cast<int>(type), same);
            if (!same) continue;
            SLOG_INFO(SENSOR, "Calbiration: measurement matched: {}", reading.Name.c_str());
            int index = 0;
            for (const CalibrationItem& cal : reading.Calibrations) {
                for (const char* name : names) {
                    if (name && equalsNoCase(cal.Name.view(), name)) {
                        SLOG_INFO(SENSOR, "Calbiration: Name matched: {}", cal.Name.c_str());
                        return index;
                    }
                }
                ++index;
            }
        }
    }
    return -1;
}

// ---- Loading and the web text ------------------------------------------------------------------

void EnvGuard::build_meta_str() {
    std::lock_guard<std::mutex> build(buildMutex_);
    reloadLibraryLocked();
}

void EnvGuard::reloadLibraryLocked() {
    auto fresh = std::make_unique<ProbeLibrary>();
    const int stored = loadProbeLibrary(*loadBuffer_, *fresh);
    loadBuffer_->clear();

    const auto old = getProbeLibrary();
    auto snapshot = std::make_shared<ProbeLibrarySnapshot>();
    std::array<std::string, 128> texts;
    std::vector<std::shared_ptr<const ProbeMeta>> retired;
    for (size_t k = 0; k < fresh->size(); ++k) {
        const ProbeMeta& def = (*fresh)[k];
        if (def.PN == 0) {
            snapshot->slots[k] = emptyMeta_;
            continue;
        }
        texts[k] = probeDefinitionText(def);
        for (size_t j = 0; j < old->slots.size(); ++j) {
            if (old->slots[j] != emptyMeta_ && libraryTexts_[j] == texts[k]) {
                snapshot->slots[k] = old->slots[j];  // unchanged: bound items stay bound
                break;
            }
        }
        if (!snapshot->slots[k]) snapshot->slots[k] = std::make_shared<const ProbeMeta>(def);
    }
    for (const auto& def : old->slots) {
        if (def == emptyMeta_) continue;
        const bool kept = std::find(snapshot->slots.begin(), snapshot->slots.end(), def) != snapshot->slots.end();
        const bool listed = std::find(retired.begin(), retired.end(), def) != retired.end();
        if (!kept && !listed) retired.push_back(def);
    }
    fresh.reset();
    libraryTexts_ = std::move(texts);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        library_ = snapshot;
        for (auto& def : retired) retiredDefinitions_.push_back(std::move(def));
        if (stored == 0) systemErrorCode_ |= SYS_ERR_PROBE_LIBRARY;
    }

    buildPrioritySalveIDs();

    std::vector<ProbeInfoToWeb> views;
    for (const auto& def : snapshot->slots) {
        if (def->PN <= 0) continue;
        views.emplace_back(*def);
        if (def->PN >= 1000000) views.back().modelName = def->ModelType;
    }
    std::stable_sort(views.begin(), views.end(), [](const ProbeInfoToWeb& a, const ProbeInfoToWeb& b) {
        return std::strncmp(a.modelName.c_str(), b.modelName.c_str(), 16) < 0;
    });
    const int savedLevel = gIndentLevelForWriteJsonP;
    gIndentLevelForWriteJsonP = 1;
    JsonTextOut out;
    out.raw("[\n");
    for (size_t i = 0; i < views.size(); ++i) {
        if (i) sep(out);
        writeView(out, views[i]);
    }
    out.raw("]\n");
    gIndentLevelForWriteJsonP = savedLevel;
    std::string text = out.take();
    std::lock_guard<std::mutex> lock(mutex_);
    probeLibraryJson_.swap(text);
}

// ---- User definitions ------------------------------------------------------------------------

void EnvGuard::updateBuiltinMetaReading(ProbeMeta& def, const ProbeLibrarySnapshot& library) {
    const ProbeMeta* found = nullptr;
    for (const auto& slot : library.slots) {
        if (slot->PN != 0 && slot->PN == def.PN) {
            found = slot.get();
            break;
        }
    }
    if (!found || def.PN > 1000000) return;
    auto merged = std::make_unique<ProbeMeta>(*found);
    // Readings added by an earlier upload go; the model's own readings stay in their order.
    auto kept = std::make_unique<FixedList<ReadingItem, probe_limits::kReadings>>();
    for (const ReadingItem& r : merged->Readings) {
        if (!r.Customized) kept->push_back(r);
    }
    merged->Readings = *kept;
    for (const ReadingItem& r : def.Readings) {
        ReadingItem* same = nullptr;
        for (ReadingItem& own : merged->Readings) {
            if (own.Name.view().substr(0, 32) == r.Name.view().substr(0, 32)) {
                same = &own;
                break;
            }
        }
        if (same) {
            same->Name = r.Name;
            same->Unit = r.Unit;
            same->RegAddress = r.RegAddress;
            same->RegType = r.RegType;
            same->Decimal = r.Decimal;
            continue;
        }
        ReadingItem added = r;
        added.Customized = true;
        if (!merged->Readings.push_back(added)) {
            SLOG_THROTTLED(logs_, SENSOR, WARN, "addCustomProbe: PN={} holds too many readings, {} dropped", def.PN,
                           r.Name.c_str());
        }
    }
    def = *merged;
}

uint32_t EnvGuard::addCustomProbe(ProbeMeta& def, bool* stored) {
    int64_t pn = 0;
    if (stored) *stored = false;
    {
        std::lock_guard<std::mutex> build(buildMutex_);
        const auto library = getProbeLibrary();
        if (def.PN <= 0) {
            int64_t largest = 0;
            for (const auto& slot : library->slots) largest = std::max(largest, slot->PN);
            def.PN = std::max<int64_t>(largest + 1, 1000001);
            for (ReadingItem& r : def.Readings) r.Customized = true;
        }
        updateBuiltinMetaReading(def, *library);
        pn = def.PN;

        const std::string text = probeDefinitionText(def);
        const std::string path = opts_.customProbeDir + std::to_string(pn) + ".json";
        bool ok = text.size() < fss::stringHuge::capacity;
        if (ok) {
            loadBuffer_->assignBytes(text.data(), text.size());
            ok = Utility::writeText(path, *loadBuffer_);
            loadBuffer_->clear();
        }
        if (ok) {
            orvane::platform::CommandRunner::get().syncFs();
            SLOG_INFO(SENSOR, "addCustomProbe: PN={} stored in {}", pn, path);
            if (stored) *stored = true;
        } else {
            SLOG_THROTTLED(logs_, SENSOR, ERROR, "addCustomProbe: PN={} could not be stored in {}", pn, path);
        }
        reloadLibraryLocked();
    }
    // Items bound to a definition that this upload replaced follow the new one.
    if (recipe_) {
        recipe_->buildReferenceForSensor();
        recipe_->triggerReload(0x2);
    }
    return static_cast<uint32_t>(static_cast<uint64_t>(pn) & 0xffffffffu);
}
