#include "sensors/probe_library.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/paths.h"
#include "recipe/recipe_data.h"
#include "utils/log.h"
#include "utils/utility.h"

namespace fs = std::filesystem;

namespace {

// The ".json" regular files of a directory, sorted by name.
std::vector<fs::path> listDefinitionFiles(const std::string& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return out;
    for (const auto& entry : it) {
        std::error_code e2;
        if (!entry.is_regular_file(e2) || e2) continue;
        if (entry.path().extension() == ".json") out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool sameDirectory(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec) && !ec) return true;
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// A user definition is stored as "<PN>.json".
bool isUserFile(const fs::path& p, int64_t pn) { return pn > 0 && p.stem().string() == std::to_string(pn); }

template <typename Lookup>
void bindItems(std::array<ProbeMeasureRecipeItem, 128>& items, Lookup&& findByPn) {
    registerProbeMetaNone();
    for (ProbeMeasureRecipeItem& item : items) {
        if (!item.probeMeta) item.probeMeta = &probeMetaNone();
        if (item.pn == 0 || item.modbusAddr < 0) continue;
        const ProbeMeta* meta = findByPn(static_cast<int64_t>(item.pn));
        if (!meta) continue;
        item.probeMeta = meta;
        item.probeType = findProbeType(item.name);
        for (uint32_t i = 0; i < meta->Readings.size(); ++i) {
            const ReadingItem& r = meta->Readings[i];
            if (std::strncmp(r.Name.c_str(), item.name.c_str(), 32) != 0) continue;
            item.readingIndex = static_cast<int16_t>(i);
            int32_t mt = static_cast<int32_t>(findMeasureType(r.Name));
            item.measureType = mt != 0 ? mt : static_cast<int32_t>(MEASURE_TYPE::CUSTOM);
        }
    }
}

}  // namespace

std::vector<std::string> defaultProbeDirectories() {
    std::vector<std::string> dirs{"./config/probes/"};
    std::string installDir = orvane::platform::Paths::install("config/probes/");
    if (!sameDirectory(dirs[0], installDir)) dirs.push_back(installDir);
    return dirs;
}

int loadProbeLibrary(fss::stringHuge& buffer, ProbeLibrary& library) {
    return loadProbeLibrary(buffer, library, defaultProbeDirectories());
}

int loadProbeLibrary(fss::stringHuge& buffer, ProbeLibrary& library, const std::vector<std::string>& directories) {
    registerProbeMetaNone();
    std::vector<fs::path> files;
    for (size_t d = 0; d < directories.size(); ++d) {
        bool repeated = false;
        for (size_t e = 0; e < d; ++e) repeated = repeated || sameDirectory(directories[d], directories[e]);
        if (repeated) continue;
        auto list = listDefinitionFiles(directories[d]);
        files.insert(files.end(), list.begin(), list.end());
    }
    if (files.empty()) {
        SLOG_INFO(SENSOR, "cannot find jsons in  config/probes/");
        for (ProbeMeta& slot : library) slot = probeMetaNone();
        return 0;
    }

    auto scratch = std::make_unique<ProbeMeta>();
    std::array<bool, kProbeLibrarySize> fromUserFile{};
    size_t stored = 0;
    for (const fs::path& file : files) {
        buffer.clear();
        if (!Utility::readText(file.string(), buffer)) buffer.clear();
        *scratch = probeMetaNone();  // reset without a large temporary on the stack
        readJson(buffer, *scratch);
        const ProbeMeta& meta = *scratch;
        SLOG_INFO(SENSOR, " file={} PN={}, ModelName = {}", file.string(), meta.PN, meta.ModelName.view());
        for (const Span4_20mA_Meta& span : meta.Span4_20mA) {
            SLOG_INFO(SENSOR, " Span4_20mA = {}, 4mA.Cmds.size = {}, 20mA.Cmds.size = {}", span.Name.view(),
                      span.mA4.Cmds.size(), span.mA20.Cmds.size());
        }

        bool user = isUserFile(file, meta.PN);
        // A user definition and a built-in one with the same part number: the user one wins.
        size_t same = stored;
        if (meta.PN > 0) {
            for (size_t i = 0; i < stored; ++i) {
                if (library[i].PN == meta.PN) {
                    same = i;
                    break;
                }
            }
        }
        if (same < stored && fromUserFile[same] && !user) {
            SLOG_INFO(SENSOR, " file={} PN={} is replaced by the user definition", file.string(), meta.PN);
            continue;
        }
        if (same < stored && user && !fromUserFile[same]) {
            library[same] = meta;
            fromUserFile[same] = true;
            SLOG_INFO(SENSOR, " file={} PN={} replaces the built-in definition", file.string(), meta.PN);
            continue;
        }
        if (stored < kProbeLibrarySize) {
            library[stored] = meta;
            fromUserFile[stored] = user;
            ++stored;
        } else {
            SLOG_WARN(SENSOR, " file={} PN={} dropped: the probe library is full", file.string(), meta.PN);
        }
    }
    SLOG_INFO(SENSOR, " probes size = {}", kProbeLibrarySize);
    for (size_t i = stored; i < kProbeLibrarySize; ++i) library[i] = probeMetaNone();
    buffer.clear();
    return static_cast<int>(stored);
}

void initProbeRecipe(std::array<ProbeMeasureRecipeItem, 128>& items, const ProbeLibrary& library) {
    bindItems(items, [&](int64_t pn) -> const ProbeMeta* {
        for (const ProbeMeta& m : library)
            if (m.PN == pn) return &m;
        return nullptr;
    });
}

void initProbeRecipe(std::array<ProbeMeasureRecipeItem, 128>& items, const std::array<const ProbeMeta*, 128>& library) {
    bindItems(items, [&](int64_t pn) -> const ProbeMeta* {
        for (const ProbeMeta* m : library)
            if (m && m->PN == pn) return m;
        return nullptr;
    });
}

MEASURE_TYPE findMeasureType(const fss::basic_str<char, 32>& name) {
    for (size_t i = 0; i < kMeasureTypeCount; ++i) {
        const std::string_view row = kMeasureTypeNames[i];
        if (name.view().substr(0, 32) == row) return static_cast<MEASURE_TYPE>(i + 1);
    }
    return MEASURE_TYPE::NONE;
}

int32_t findProbeType(const fss::basic_str<char, 32>& name) {
    const std::string_view given = name.view();
    for (size_t i = 0; i + 1 < kProbeTypeNames.size(); ++i) {  // MAX only ends the table
        std::string_view row = kProbeTypeNames[i].substr(0, 32);
        if (given.substr(0, row.size()) == row) return static_cast<int32_t>(i);
    }
    return 0;
}

ProbeInfoToWeb::ProbeInfoToWeb(const ProbeMeta& meta) {
    modelName = meta.ModelName;
    modbusAddr = meta.ModbusAddr;
    brushAddr = meta.Brushing.modbusID;
    PN = meta.PN;
    supportRestore = !meta.RestoreFactory.Cmds.empty();
    for (const ReadingItem& r : meta.Readings) {
        SensorItemToWeb s;
        s.name.assignBytes(r.Name.c_str(), std::min<size_t>(r.Name.view().size(), 16));
        s.custName = r.custName;
        s.regAddr = r.RegAddress;
        s.regType = r.RegType;
        s.unit = r.Unit;
        s.decimal = r.Decimal;
        s.customized = r.Customized;
        for (uint32_t c = 0; c < r.Calibrations.size(); ++c) {
            const CalibrationItem& cal = r.Calibrations[c];
            CalbItemToWeb w;
            w.name.assignBytes(cal.Name.c_str(), std::min<size_t>(cal.Name.view().size(), 16));
            w.editable = !cal.Cmds.empty() && cal.Cmds[0].Editable;
            w.message = cal.Message;
            w.min = cal.SetValueMin;
            w.max = cal.SetValueMax;
            w.calIndex = static_cast<int32_t>(c);
            s.calbs.push_back(w);
        }
        // The span entry named like the reading (cut to 16 characters) gives the editable flags.
        const std::string_view cut = s.name.view();
        for (const Span4_20mA_Meta& span : meta.Span4_20mA) {
            if (span.Name.view().substr(0, cut.size()) == cut) {
                s.Editable4mA = span.mA4.Editable;
                s.Editable20mA = span.mA20.Editable;
            }
        }
        sensors.push_back(std::move(s));
    }
    for (const ConfigItem& c : meta.Config) configs.push_back(ConfigItemToWeb{c.Name, c.Tip, c.Editable});
    for (const BrushingMeta::BrushCmd& b : meta.Brushing.Cmds) brush.push_back(b.Name);
}
