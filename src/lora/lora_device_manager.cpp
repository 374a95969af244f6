#include "lora/lora_device_manager.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "lora/lora_device_handler.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

namespace lora {

namespace {

using Items = std::array<LoraDeviceRecipeItem, kLoraDeviceCount>;
constexpr uintmax_t kMaxDeviceFileBytes = 1 << 20;

int findEnrolled(const Items& items, unsigned pn, unsigned sn) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].loraId > 0 && items[i].pn == pn && items[i].sn == sn) return static_cast<int>(i);
    }
    return -1;
}

int findById(const Items& items, unsigned id) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].loraId > 0 && static_cast<unsigned>(items[i].loraId) == id) return static_cast<int>(i);
    }
    return -1;
}

// Reads the whole file; nullopt when it cannot be opened or is larger than the bound.
std::optional<std::string> readBounded(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxDeviceFileBytes) return std::string("\x01");  // not parseable
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Text of a fixed-size field as JSON accepts it: bytes that do not form whole UTF-8 sequences
// (a name cut inside a character) are dropped.
std::string utf8(std::string_view in) {
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = n > 0 && i + n <= in.size();
        for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
        if (ok) out.append(in.substr(i, n));
        i += ok ? n : 1;
    }
    return out;
}

template <class T>
void restore(const nlohmann::json& j, const char* key, T& field) {
    if (j.contains(key)) field = j.at(key).get<T>();
}
template <class Text>
void restoreText(const nlohmann::json& j, const char* key, Text& field) {
    if (j.contains(key)) field = j.at(key).get<std::string>();
}

}  // namespace

LoraDeviceManager::LoraDeviceManager(RecipeDataGuard& recipe) : recipe_(recipe) { init_device_status(); }

void LoraDeviceManager::init_device_status() {
    for (auto& s : status_) s.store(static_cast<int>(DeviceStatus::OFFLINE));
}

bool LoraDeviceManager::is_device_online(unsigned id) const { return get_device_status(id) == DeviceStatus::ONLINE; }

DeviceStatus LoraDeviceManager::get_device_status(unsigned id) const {
    if (!isDeviceId(static_cast<int>(id))) return DeviceStatus::OFFLINE;
    return static_cast<DeviceStatus>(status_[id - kFirstDeviceId].load());
}

void LoraDeviceManager::set_device_status(unsigned id, DeviceStatus status) {
    if (!isDeviceId(static_cast<int>(id))) return;
    status_[id - kFirstDeviceId].store(static_cast<int>(status));
}

int LoraDeviceManager::get_device_lora_id(unsigned pn, unsigned sn) {
    const int id = recipe_.updateLoraDevices([&](Items& items) {
        const int i = findEnrolled(items, pn, sn);
        return i < 0 ? -1 : static_cast<int>(items[static_cast<size_t>(i)].loraId);
    });
    if (id > 0) SLOG_INFO(LORA, "Found device: PN={}, SN={}, LoraId={}", pn, sn, id);
    return id;
}

int LoraDeviceManager::allocate_device(unsigned now, const Uid& uid) {
    if (!Utilities::is_device_id_valid(uid)) {
        SLOG_WARN(LORA, "Refused to allocate a device with an empty UID");
        return -1;
    }
    return allocate_device(now, get_pn(uid), get_sn(uid));
}

int LoraDeviceManager::allocate_device(unsigned now, unsigned pn, unsigned sn) {
    if (pn == 0) {
        SLOG_WARN(LORA, "Refused to allocate a device with PN 0 (SN={})", sn);
        return -1;
    }
    struct Result {
        int id = -1;
        int slot = -1;
        bool fresh = false;
    };
    const Result r = recipe_.updateLoraDevices([&](Items& items) {
        Result res;
        const int existing = findEnrolled(items, pn, sn);
        if (existing >= 0) {
            res.id = items[static_cast<size_t>(existing)].loraId;
            res.slot = existing;
            return res;
        }
        for (size_t i = 0; i < items.size(); ++i) {
            LoraDeviceRecipeItem& it = items[i];
            if (it.loraId != 0) continue;
            it.loraId = static_cast<int16_t>(i + kFirstDeviceId);
            it.pn = pn;
            it.sn = sn;
            it.lastTimestamp = now;
            it.displayId = static_cast<int16_t>(i + 1);
            it.enable = true;
            it.display = true;
            for (LoraRegisterItem& reg : it.registers) {
                reg.name.clear();
                reg.unit.clear();
                reg.displayUnit.clear();
                reg.valueType = 0;
                reg.valueSize = 0;
                reg.value = 0;
                reg.integerPart = 0;
                reg.decimalPart = 0;
                reg.display = false;
                reg.calculated = false;
            }
            res.id = it.loraId;
            res.slot = static_cast<int>(i);
            res.fresh = true;
            return res;
        }
        return res;
    });
    if (r.id <= 0) return -1;
    set_device_status(static_cast<unsigned>(r.id), DeviceStatus::ONLINE);
    if (r.fresh) {
        SLOG_INFO(LORA, "Allocated new device: Index={}, LoraId={}, PN={}, SN={}", r.slot, r.id, pn, sn);
        unsaved_.store(true);
    } else {
        SLOG_INFO(LORA, "Found device: PN={}, SN={}, LoraId={}", pn, sn, r.id);
    }
    return r.id;
}

void LoraDeviceManager::reset_device(LoraDeviceRecipeItem& item) {
    if (isDeviceId(item.loraId)) set_device_status(static_cast<unsigned>(item.loraId), DeviceStatus::OFFLINE);
    item.loraId = 0;
    item.pn = 0;
    item.sn = 0;
    item.devPn = 0;
    item.devSn = 0;
    for (LoraRegisterItem& reg : item.registers) {
        reg.name.clear();
        reg.unit.clear();
        reg.valueType = 0;
        reg.valueSize = 0;
        reg.value = 0;
        reg.integerPart = 0;
        reg.decimalPart = 0;
        reg.display = false;
    }
    item.lastTimestamp = 0;
    item.tankName.clear();
    item.displayId = 0;
    item.precision = 3;
    item.enable = false;
    item.display = false;
    item.passive = false;
    unsaved_.store(true);
}

bool LoraDeviceManager::update_device_timestamp(unsigned id) {
    if (!isDeviceId(static_cast<int>(id))) {
        SLOG_WARN(LORA, "LoraDevice {}: out of range", id);
        return false;
    }
    const uint32_t now = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    const bool found = recipe_.updateLoraDevices([&](Items& items) {
        const int i = findById(items, id);
        if (i < 0) return false;
        items[static_cast<size_t>(i)].lastTimestamp = now;
        return true;
    });
    if (!found) {
        SLOG_WARN(LORA, "LoraDevice {}: no device carries this ID", id);
        return false;
    }
    set_device_status(id, DeviceStatus::ONLINE);
    SLOG_INFO(LORA, "LoraDevice {}: timestamp updated to {}, status: ONLINE", id, now);
    return true;
}

bool LoraDeviceManager::update_device_timestamp(unsigned id, unsigned pn, unsigned sn) {
    if (!isDeviceId(static_cast<int>(id))) {
        SLOG_WARN(LORA, "LoraDevice {}: out of range", id);
        return false;
    }
    const uint32_t now = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    const bool found = recipe_.updateLoraDevices([&](Items& items) {
        const int i = findById(items, id);
        if (i < 0 || items[static_cast<size_t>(i)].pn != pn || items[static_cast<size_t>(i)].sn != sn) return false;
        items[static_cast<size_t>(i)].lastTimestamp = now;
        return true;
    });
    if (!found) {
        SLOG_WARN(LORA, "LoraDevice {}: no device with this ID is {}, frame dropped", id, get_uid(pn, sn));
        return false;
    }
    set_device_status(id, DeviceStatus::ONLINE);
    SLOG_INFO(LORA, "LoraDevice {}: timestamp updated to {}, status: ONLINE", id, now);
    return true;
}

void LoraDeviceManager::mark_enrolled_online() {
    recipe_.updateLoraDevices([&](Items& items) {
        for (const LoraDeviceRecipeItem& it : items) {
            if (!isDeviceId(it.loraId)) continue;
            set_device_status(static_cast<unsigned>(it.loraId), DeviceStatus::ONLINE);
            SLOG_INFO(LORA, "LoraDevice {}: resuming poll after startup (marked ONLINE)", it.loraId);
        }
    });
}

void LoraDeviceManager::check_device_offline_status(unsigned timeoutSeconds) {
    const int64_t now = TimeUtility::getTimestampInSec();
    recipe_.updateLoraDevices([&](Items& items) {
        for (const LoraDeviceRecipeItem& it : items) {
            if (!isDeviceId(it.loraId) || it.lastTimestamp == 0) continue;
            const unsigned id = static_cast<unsigned>(it.loraId);
            if (!is_device_online(id)) continue;
            const int64_t ago = now - static_cast<int64_t>(it.lastTimestamp);
            if (ago > static_cast<int64_t>(timeoutSeconds)) {
                set_device_status(id, DeviceStatus::OFFLINE);
                SLOG_INFO(LORA, "LoraDevice {}: status changed to OFFLINE (last seen {} seconds ago)", id, ago);
            }
        }
    });
}

void LoraDeviceManager::update_live_data(LoraLiveData& live) {
    const bool named = recipe_.updateLoraDevices([&](Items& items) {
        bool changed = false;
        size_t n = 0;
        for (LoraDeviceRecipeItem& it : items) {
            if (it.loraId <= 0) continue;
            if (!isDeviceId(it.loraId) || !is_device_online(static_cast<unsigned>(it.loraId))) {
                SLOG_INFO(LORA, "Skipping offline device {} in live data", it.loraId);
                continue;
            }
            const std::string uid = get_uid(it.pn, it.sn);
            if (it.tankName.empty()) {
                it.tankName = uid;  // cut to 16 characters
                changed = true;
            }
            LoraLiveDataItem& e = live.items[n++];
            e = LoraLiveDataItem{};
            e.id = it.loraId;
            e.uid = uid;
            e.cust_name = it.tankName.c_str();
            LoraDeviceHandlerFactory::get_handler(it.pn).update_live_data(it, e);
            e.timestamp = it.lastTimestamp;
        }
        for (; n < live.items.size(); ++n) live.items[n] = LoraLiveDataItem{};
        return changed;
    });
    if (named) recipeChanged_.store(true);
}

std::string LoraDeviceManager::get_customized_name(unsigned pn, unsigned sn) {
    struct Result {
        std::string name;
        bool changed = false;
    };
    Result r = recipe_.updateLoraDevices([&](Items& items) {
        Result res;
        const int i = findEnrolled(items, pn, sn);
        if (i < 0) return res;
        LoraDeviceRecipeItem& it = items[static_cast<size_t>(i)];
        if (it.tankName.empty()) {
            it.tankName = get_uid(pn, sn);
            res.changed = true;
        }
        res.name = utf8(it.tankName.view());
        return res;
    });
    if (r.changed) recipeChanged_.store(true);
    return r.name;
}

bool LoraDeviceManager::save_devices() {
    const std::string path = scada_paths::LORA_DEVICE_FILE();
    try {
        nlohmann::ordered_json doc;
        doc["devices"] = nlohmann::ordered_json::array();
        recipe_.updateLoraDevices([&](const Items& items) {
            for (const LoraDeviceRecipeItem& it : items) {
                if (it.pn == 0 || it.sn == 0) continue;
                nlohmann::ordered_json d;
                d["loraId"] = it.loraId;
                d["pn"] = it.pn;
                d["sn"] = it.sn;
                d["devPn"] = it.devPn;
                d["devSn"] = it.devSn;
                d["displayId"] = it.displayId;
                d["precision"] = it.precision;
                d["lastTimestamp"] = it.lastTimestamp;
                d["tankName"] = utf8(it.tankName.view());
                d["enable"] = it.enable;
                d["display"] = it.display;
                nlohmann::ordered_json regs = nlohmann::ordered_json::array();
                for (const LoraRegisterItem& r : it.registers) {
                    nlohmann::ordered_json jr;
                    jr["name"] = utf8(r.name.view());
                    jr["unit"] = utf8(r.unit.view());
                    jr["displayUnit"] = utf8(r.displayUnit.view());
                    jr["nameCalculated"] = utf8(r.nameCalculated.view());
                    jr["unitCalculated"] = utf8(r.unitCalculated.view());
                    jr["display"] = r.display;
                    jr["calculated"] = r.calculated;
                    jr["minValue"] = r.minValue;
                    jr["maxValue"] = r.maxValue;
                    jr["minValueCalculated"] = r.minValueCalculated;
                    jr["maxValueCalculated"] = r.maxValueCalculated;
                    regs.push_back(std::move(jr));
                }
                d["registers"] = std::move(regs);
                doc["devices"].push_back(std::move(d));
            }
        });
        doc["saveTime"] = TimeUtility::getTimestampInSec();

        if (!Utility::ensureParentDirectoryExists(path)) {
            SLOG_WARN(LORA, "Failed to create parent directory for {}", path);
            return false;
        }
        // A file that is there but cannot be read back is kept before it is replaced.
        if (auto old = readBounded(path); old && !nlohmann::json::accept(*old)) {
            const std::string bad = path + ".bad";
            std::error_code ec;
            std::filesystem::rename(path, bad, ec);
            SLOG_WARN(LORA, "Device file {} cannot be parsed, kept as {}{}", path, bad, ec ? " (rename failed)" : "");
        }
        if (!Utility::saveJson(path, doc)) {
            SLOG_WARN(LORA, "Failed to open file for writing: {}", path);
            return false;
        }
        SLOG_INFO(LORA, "Device data saved to {}", path);
        return true;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Failed to save device data: {}", e.what());
        return false;
    }
}

bool LoraDeviceManager::load_devices() {
    const std::string path = scada_paths::LORA_DEVICE_FILE();
    const std::optional<std::string> text = readBounded(path);
    if (!text) {
        SLOG_INFO(LORA, "No device data file found, starting fresh");
        return false;
    }
    try {
        const nlohmann::json doc = nlohmann::json::parse(*text);
        const nlohmann::json& devices = doc.at("devices");
        if (!devices.is_array()) throw std::runtime_error("\"devices\" is not an array");
        recipe_.updateLoraDevices([&](Items& items) {
            auto copy = std::make_unique<Items>(items);  // applied whole or not at all
            for (const nlohmann::json& d : devices) {
                if (!d.is_object()) continue;
                const unsigned pn = d.value("pn", 0u);
                const unsigned sn = d.value("sn", 0u);
                if (pn == 0 || sn == 0) continue;
                int slot = -1;
                for (size_t i = 0; i < copy->size(); ++i) {
                    if ((*copy)[i].pn == pn && (*copy)[i].sn == sn) {
                        slot = static_cast<int>(i);
                        break;
                    }
                }
                if (slot < 0) continue;
                LoraDeviceRecipeItem& it = (*copy)[static_cast<size_t>(slot)];
                restoreText(d, "tankName", it.tankName);
                restore(d, "displayId", it.displayId);
                restore(d, "precision", it.precision);
                restore(d, "enable", it.enable);
                restore(d, "display", it.display);
                restore(d, "lastTimestamp", it.lastTimestamp);
                if (d.contains("registers") && d.at("registers").is_array()) {
                    const nlohmann::json& regs = d.at("registers");
                    for (size_t k = 0; k < regs.size() && k < it.registers.size(); ++k) {
                        const nlohmann::json& jr = regs[k];
                        if (!jr.is_object()) continue;
                        LoraRegisterItem& r = it.registers[k];
                        restoreText(jr, "displayUnit", r.displayUnit);
                        restore(jr, "display", r.display);
                        restore(jr, "calculated", r.calculated);
                        restore(jr, "minValue", r.minValue);
                        restore(jr, "maxValue", r.maxValue);
                        restore(jr, "minValueCalculated", r.minValueCalculated);
                        restore(jr, "maxValueCalculated", r.maxValueCalculated);
                        restoreText(jr, "nameCalculated", r.nameCalculated);
                        restoreText(jr, "unitCalculated", r.unitCalculated);
                    }
                }
                SLOG_INFO(LORA, "Loaded device: PN={}, SN={}, Name={}", pn, sn, it.tankName.view());
            }
            items = *copy;
        });
        SLOG_INFO(LORA, "Device data loaded from {}", path);
        return true;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Failed to load device data: {}", e.what());
        return false;
    }
}

}  // namespace lora
