#include "env/probe_list_edit.h"

#include <cctype>
#include <string_view>

#include "recipe/recipe_data.h"
#include "sensors/probe_meta.h"
#include "utils/log.h"

namespace probe_list {
namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

// Readings that belong to another reading of the same probe and get no display id.
bool isCompanionName(std::string_view name) {
    return equalsNoCase(name, "temperature") || equalsNoCase(name, "cleanliness");
}

bool addressInUse(const ProbeRecipeItems& items, int addr) {
    for (const auto& item : items) {
        if (item.modbusAddr == addr) return true;
    }
    return false;
}

// Each reading of def takes the first free entry; readings without a free entry are dropped.
void fillReadings(ProbeRecipeItems& items, const std::shared_ptr<const ProbeMeta>& def, int addr, uint32_t pn,
                  int& next, bool manual) {
    for (const ReadingItem& reading : def->Readings) {
        ProbeMeasureRecipeItem* entry = nullptr;
        for (auto& item : items) {
            if (item.modbusAddr == 0) {
                entry = &item;
                break;
            }
        }
        if (!entry) {
            // An upload or a batch that finds the list full drops readings on every request.
            static LogThrottles logs;
            SLOG_THROTTLED(logs, SENSOR, WARN, "No free probe entry: PN={}, Addr={}, Name={} dropped", pn, addr,
                           reading.Name.c_str());
            continue;
        }
        entry->modbusAddr = static_cast<int16_t>(addr);
        entry->pn = pn;
        entry->name = reading.Name;
        entry->custName = reading.Name;
        entry->unit = reading.Unit;
        entry->precision = static_cast<int16_t>(reading.Decimal);
        entry->probeMeta = def.get();
        entry->enable = true;
        entry->display = true;
        if (isCompanionName(reading.Name.view())) {
            entry->displayId = 0;
        } else {
            entry->displayId = static_cast<int16_t>(next++);
        }
        if (manual) {
            SLOG_INFO(SENSOR, "New sensor added: PN={}, Addr={}, Name={}", pn, addr, reading.Name.c_str());
        } else {
            SLOG_INFO(SENSOR, "NEW_SENSOR: PN={}, Addr={}, Name={}", pn, addr, reading.Name.c_str());
        }
    }
}

void clearEntry(ProbeMeasureRecipeItem& item) {
    item.display = false;
    item.enable = false;
    item.modbusAddr = 0;
    item.pn = 0;
    item.sn = 0;
    item.name.clear();
    item.custName.clear();
    item.unit.clear();
    item.probeMeta = ProbeMeasureRecipeItem::noneObject();
}

}  // namespace

int nextDisplayId(const ProbeRecipeItems& items) {
    int largest = 0;
    for (const auto& item : items) {
        if (item.enable && item.display && item.displayId > largest) largest = item.displayId;
    }
    return largest + 1;
}

void addBatch(ProbeRecipeItems& items, const ChangeAddrBatch& batch, const MetaLookup& lookup) {
    int next = nextDisplayId(items);
    for (const ChangeAddrItemPack& p : batch) {
        SLOG_INFO(SENSOR, "NEW_SENSOR: PN={}, Addr={}, NewAddr={}", p.pn, p.addr, p.newAddr);
        if (p.addr == 0 || p.pn <= 0 || addressInUse(items, p.addr)) continue;
        if (p.addr < 1 || p.addr > 247 || p.pn > 0xffffffffLL) continue;
        fillReadings(items, lookup(p.pn), p.addr, static_cast<uint32_t>(p.pn), next, false);
    }
}

int addManual(ProbeRecipeItems& items, const ManualAddProbePack& pack, const MetaLookup& lookup) {
    int next = nextDisplayId(items);
    SLOG_INFO(SENSOR, "Manual Add New Sensor: PN={}, Addr={}", pack.pn, pack.modbusAddr);
    if (pack.pn == 0 || pack.modbusAddr < 1 || pack.modbusAddr > 247) return -1;
    if (addressInUse(items, pack.modbusAddr)) return 0;
    fillReadings(items, lookup(pack.pn), pack.modbusAddr, pack.pn, next, true);
    return 0;
}

bool remove(ProbeRecipeItems& items, int index) {
    if (index < 0 || index >= static_cast<int>(items.size())) return false;
    ProbeMeasureRecipeItem& entry = items[static_cast<size_t>(index)];
    const uint32_t pn = entry.pn;
    const uint32_t sn = entry.sn;
    const int16_t addr = entry.modbusAddr;
    clearEntry(entry);
    const int16_t removedId = entry.displayId;
    if (removedId > 0) {
        for (auto& item : items) {
            if (item.displayId > removedId) --item.displayId;
        }
    }
    entry.displayId = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (static_cast<int>(i) == index) continue;
        ProbeMeasureRecipeItem& other = items[i];
        if (other.pn == pn && other.sn == sn && other.modbusAddr == addr && isCompanionName(other.name.view())) {
            clearEntry(other);
        }
    }
    return true;
}

}  // namespace probe_list
