#include "live/live_data.h"

#include <cmath>

#include "utils/log.h"
#include "utils/time_utility.h"

namespace {
void noDelete(ExpDriver*) {}
}  // namespace

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
    : expDriver_(nullptr, &noDelete), recipe_(recipe), refsCopy_(std::make_unique<ControllerOutputRefs>()) {}

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
    std::lock_guard<std::mutex> lk(mutex_);
    for (int i = 0; i < kControllers; ++i) {
        for (int j = 0; j < kControllerValues; ++j) {
            if (auto p = std::get_if<float*>(&(*refsCopy_)[i][j]); p && *p)
                data_.controller.outputs[i].values[j] = **p;
        }
    }
}
