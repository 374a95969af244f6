#include "live/live_data.h"

#include <cmath>
#include <memory_resource>
#include <map>
#include <string>

#include <fmt/format.h>

#include "expression/exp_driver.h"
#include "recipe/json_codec.h"
#include "recipe/recipe_guard.h"
#include "sensors/measure_types.h"
#include "utils/log.h"
#include "utils/time_utility.h"

// ---- Blocks ------------------------------------------------------------------------------------

ProbeLiveData::ProbeLiveData() {
    for (int k = 0; k < kProbeSlots; ++k) items[k].id = static_cast<uint32_t>(k + 1);
    diagn.fill(kLiveNaN);
}

ControllerBlock::ControllerBlock() { values.fill(kLiveNaN); }

AnalogLiveData::AnalogLiveData() {
    for (int k = 0; k < kAnalogInputs; ++k) items[k].id = static_cast<int16_t>(k + 1);
}

void ProbeLiveData::getDataCell(orvane_ipc::DataCell& cell,
                                const std::array<fss::basic_str<char, 32>, kProbeSlots>& names) const {
    cell.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    for (const MeasureDataItem& it : items) {
        if (it.type == 0) continue;
        const bool named = it.id >= 1 && it.id <= static_cast<uint32_t>(kProbeSlots);
        const std::string name = named ? names[it.id - 1].str() : std::string{};
        SLOG_INFO(CLOUD, "\tProbe: name: {}, value: {}", name, it.val);
        if (std::isnan(it.val)) continue;
        cell.values.emplace_back(name, static_cast<double>(it.val));
    }
}

void ProbeLiveData::buildReadingJsonStr(std::string& out, bool byType) const {
    std::array<std::byte, 1024> local;
    std::pmr::monotonic_buffer_resource pool(local.data(), local.size());
    std::pmr::map<std::pmr::string, float> readings(&pool);
    for (const MeasureDataItem& it : items) {
        if (it.type == 0) continue;
        std::pmr::string key(&pool);
        if (byType)
            key = fmt::format("{}.{}", probeTypeName(it.probeType()), measureTypeName(it.measureType()));
        else
            key = fmt::format("{}", it.id);
        readings.insert_or_assign(std::move(key), it.val);  // a later item replaces the value
    }
    out += '{';
    bool first = true;
    char buf[256];
    for (const auto& [key, val] : readings) {
        if (!first) out += ',';
        first = false;
        int n = writeJsonP(buf, static_cast<int>(sizeof buf), key.c_str(), val);
        if (n > 0) out.append(buf, static_cast<size_t>(std::min<int>(n, static_cast<int>(sizeof buf) - 1)));
    }
    out += "}\n";
}

void LoraLiveData::getDataCell(orvane_ipc::DataCell& cell) const {
    cell.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    for (const LoraLiveDataItem& dev : items) {
        if (dev.id == 0) continue;
        const std::string devName = !dev.cust_name.empty() ? dev.cust_name.str() : dev.uid.str();
        SLOG_INFO(CLOUD, "\tid: {}, uid: {}, cust_name: {}, name: {}", dev.id, dev.uid.view(), dev.cust_name.view(), devName);
        if (devName.empty()) continue;
        for (const LoraRegLive& r : dev.regs) {
            if (r.name.empty()) continue;
            std::string key = devName + "_" + r.name.str();
            SLOG_INFO(CLOUD, "\t\tname: {}, value: {}", key, r.value);
            cell.values.emplace_back(std::move(key), static_cast<double>(r.value));  // NaN kept
        }
    }
}

void ControllerLiveData::getDataCell(orvane_ipc::DataCell& cell) const {
    cell.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    for (int i = 0; i < kControllers; ++i) {
        if (!connected[i]) continue;
        const ControllerBlock& in = inputs[i];
        for (int j = 0; j < kControllerValues; ++j) {
            if (!in.used[j]) continue;
            SLOG_INFO(CLOUD, "\tController:  name: {}, value: {}", in.names[j].view(), in.values[j]);
            if (std::isnan(in.values[j])) continue;
            cell.values.emplace_back(in.names[j].str(), static_cast<double>(in.values[j]));
            SLOG_INFO(MBTCP, "\tid: {}, name: {}, value: {}", i, in.names[j].view(), in.values[j]);
        }
    }
}

void AnalogLiveData::getDataCell(orvane_ipc::DataCell& cell) const {
    cell.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    for (int k = 0; k < kAnalogInputs; ++k) {
        SLOG_INFO(CLOUD, "DDD name: {}, value: {}", names[k].view(), items[k].val);
        if (std::isnan(items[k].val)) continue;
        cell.values.emplace_back(names[k].str(), static_cast<double>(items[k].val));
    }
}

// ---- Guard -------------------------------------------------------------------------------------

LiveDataGuard::LiveDataGuard(RecipeDataGuard* recipe)
    : expDriver_(std::make_unique<ExpDriver>()), recipe_(recipe), refsCopy_(std::make_unique<ControllerOutputRefs>()) {}

LiveDataGuard::~LiveDataGuard() = default;

bool LiveDataGuard::isLiveReg(const char* p) const {
    auto begin = reinterpret_cast<const char*>(&data_);
    return p >= begin && p < begin + sizeof(ScadaLiveData);
}

void LiveDataGuard::broadcastToControllerOutput(const ControllerOutputRefs& refs) {
    std::lock_guard<std::mutex> bl(broadcastMutex_);
    *refsCopy_ = refs;
    broadcastFromCopy();
}

void LiveDataGuard::broadcastToControllerOutput(const ControllerOutputRefs& refs, std::mutex& refsMutex) {
    std::lock_guard<std::mutex> bl(broadcastMutex_);
    {
        std::lock_guard<std::mutex> rl(refsMutex);
        *refsCopy_ = refs;
    }
    broadcastFromCopy();
}

// Caller holds broadcastMutex_.
void LiveDataGuard::broadcastFromCopy() {
    std::lock_guard<StoreMutex> lk(mutex_);
    for (int i = 0; i < kControllers; ++i) {
        for (int j = 0; j < kControllerValues; ++j) {
            if (auto p = std::get_if<float*>(&(*refsCopy_)[i][j]); p && *p)
                data_.controller.outputs[i].values[j] = **p;
        }
    }
}

orvane_ipc::DataCell LiveDataGuard::getDataCell() {
    orvane_ipc::DataCell cell;
    // Probe names live in the recipe; taken inside the live mutex (lock order live -> recipe).
    auto names = std::make_unique<std::array<fss::basic_str<char, 32>, kProbeSlots>>();
    std::lock_guard<StoreMutex> lk(mutex_);
    if (recipe_) *names = recipe_->getProbesName();
    data_.probe.getDataCell(cell, *names);
    data_.lora.getDataCell(cell);
    data_.controller.getDataCell(cell);
    data_.analog.getDataCell(cell);
    return cell;
}

// ---- JSON text forms ---------------------------------------------------------------------------

namespace {

using json_detail::Cursor;

void member(Cursor& c, bool& first, const char* key) {
    if (!first) c.put(std::string_view(",\n"));
    first = false;
    c.indent(gIndentLevelForWriteJsonP);
    c.key(key);
}

void writeItem(Cursor& c, const MeasureDataItem& it, const char* name) {
    int& level = gIndentLevelForWriteJsonP;
    c.indent(level);
    c.key(name);
    c.put(std::string_view("{\n"));
    ++level;
    bool first = true;
    member(c, first, "val");
    c.real(it.val);
    member(c, first, "cleanliness");
    c.integer(static_cast<int16_t>(it.cleanliness));
    member(c, first, "temperature");
    c.real(it.temperature);
    member(c, first, "id");
    c.integer(it.id);
    member(c, first, "status");
    c.integer(it.status);
    c.put(' ');
    member(c, first, "SN");
    c.integer(it.SN);
    member(c, first, "swVer");
    c.text(it.swVer.c_str());
    member(c, first, "hwVer");
    c.text(it.hwVer.c_str());
    member(c, first, "mA_4");
    c.real(it.mA_4);
    member(c, first, "mA_20");
    c.real(it.mA_20);
    member(c, first, "tempUnit");
    c.integer(it.tempUnit);
    c.put('}');
    --level;
}

// Array frame: "name":[ newline, elements one per line, "]" and a newline (both counted).
template <class Elem>
void writeArray(Cursor& c, const char* name, int count, Elem&& elem) {
    int& level = gIndentLevelForWriteJsonP;
    c.indent(level);
    c.key(name);
    c.put(std::string_view("[\n"));
    ++level;
    for (int i = 0; i < count && !c.overflow(); ++i) {
        if (i) c.put(std::string_view(",\n"));
        elem(i);
    }
    --level;
    c.put(std::string_view("]\n"));
}


}  // namespace

int writeJsonP(const MeasureDataItem& item, char* dst, int room, const char* name) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) { writeItem(c, item, name); });
}

int writeJsonP(const ProbeLiveData& b, char* dst, int room, const char* name) {
    return json_detail::writeObjectPublic(dst, room, [&](Cursor& c) {
        int& level = gIndentLevelForWriteJsonP;
        c.indent(level);
        c.key(name);
        c.put(std::string_view("{\n"));
        ++level;
        writeArray(c, "reading", kProbeSlots, [&](int i) { writeItem(c, b.items[i], nullptr); });
        bool first = false;
        member(c, first, "diagn");
        c.put(std::string_view("[\n"));
        ++level;
        for (int i = 0; i < kDiagnValues; ++i) {
            if (i) c.put(std::string_view(",\n"));
            c.indent(level);
            c.real(b.diagn[i]);
        }
        --level;
        c.put(std::string_view("]\n"));
        member(c, first, "diagnRet");
        c.integer(b.diagnRet);
        member(c, first, "diagnSourceIdx");
        c.integer(b.diagnSourceIdx);
        member(c, first, "diagNum");
        c.integer(b.diagNum);
        member(c, first, "diagnKeys");
        c.put(std::string_view("[\n"));
        ++level;
        for (int i = 0; i < kDiagnValues; ++i) {
            if (i) c.put(std::string_view(",\n"));
            c.indent(level);
            c.text(b.diagnKeys[i].c_str());
        }
        --level;
        c.put(std::string_view("]\n"));
        member(c, first, "pingSourceIdx");
        c.integer(b.pingSourceIdx);
        member(c, first, "pingRet");
        c.integer(b.pingRet);
        member(c, first, "configSourceIdx");
        c.integer(b.configSourceIdx);
        member(c, first, "configRet");
        c.integer(b.configRet);
        member(c, first, "calibRet");
        c.integer(b.calibRet);
        member(c, first, "calibSourceIdx");
        c.integer(b.calibSourceIdx);
        member(c, first, "cmdRetMsg");
        c.text(b.cmdRetMsg.c_str());
        member(c, first, "restoreSourceIdx");
        c.integer(b.restoreSourceIdx);
        member(c, first, "restoreRet");
        c.integer(b.restoreRet);
        member(c, first, "available");
        c.boolean(b.available);
        member(c, first, "timestamp");
        c.integer(b.timestamp);
        c.put('}');
        --level;
    });
}
