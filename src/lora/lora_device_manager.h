#pragma once
// The table of enrolled LoRa devices. The table itself is the recipe's LoRa device list (16
// items, saved in parameter.json by the recipe store); the registry assigns device IDs 6..21
// (slot + 6), tracks which devices are online (memory only), stamps when each was last heard,
// builds the LoRa part of the live data and keeps the per-device display settings in
// runtime/lora_devices.json.
//
// Every operation that touches the device list is one RecipeDataGuard::updateLoraDevices call,
// so a change made by another thread (the REST API) between a read and a write is never lost.
// Statuses are atomics: the poll thread reads and writes them without a lock.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "live/live_data.h"
#include "lora/lora_codec.h"
#include "recipe/recipe_data.h"

class RecipeDataGuard;

namespace lora {

enum class DeviceStatus : int { OFFLINE = 0, ONLINE = 1 };

constexpr std::string_view deviceStatusName(DeviceStatus s) {
    switch (s) {
        case DeviceStatus::OFFLINE: return "OFFLINE";
        case DeviceStatus::ONLINE: return "ONLINE";
    }
    return "";
}

class LoraDeviceManager {
public:
    explicit LoraDeviceManager(RecipeDataGuard& recipe);
    LoraDeviceManager(const LoraDeviceManager&) = delete;
    LoraDeviceManager& operator=(const LoraDeviceManager&) = delete;

    // All 16 statuses offline.
    void init_device_status();
    // IDs outside 6..21 read as offline; writes to them are ignored.
    bool is_device_online(unsigned id) const;
    DeviceStatus get_device_status(unsigned id) const;
    void set_device_status(unsigned id, DeviceStatus status);

    // loraId of the first enrolled item (loraId > 0) with this pn and sn, else -1.
    int get_device_lora_id(unsigned pn, unsigned sn);
    // The device's ID, existing (marked online) or newly allocated in the first free slot; -1 when
    // the table is full or pn is 0.
    int allocate_device(unsigned now, unsigned pn, unsigned sn);
    // As above for a received UID; -1 when the UID fails Utilities::is_device_id_valid.
    int allocate_device(unsigned now, const Uid& uid);
    // Clears one item (the caller's copy, normally inside updateLoraDevices) and sets its ID
    // offline; marks unsaved changes.
    void reset_device(LoraDeviceRecipeItem& item);
    // lastTimestamp of the item whose loraId equals id := now, status online. False (logged, nothing
    // changed) for an ID outside 6..21 or one that no item carries.
    bool update_device_timestamp(unsigned id);
    // As above, but only when that item also carries pn and sn.
    bool update_device_timestamp(unsigned id, unsigned pn, unsigned sn);
    void mark_enrolled_online();
    // Online devices not heard for more than timeoutSeconds go offline.
    void check_device_offline_status(unsigned timeoutSeconds);
    // Online devices first (table order), each entry filled whole by its handler; the rest cleared.
    // A device without tankName gets its UID text as tankName (recipe changed, see below).
    void update_live_data(LoraLiveData& live);

    static std::string get_uid(unsigned pn, unsigned sn) { return lora::get_uid(pn, sn); }
    // tankName of the item with this pn and sn (empty when none); an empty tankName is filled with
    // the UID text first.
    std::string get_customized_name(unsigned pn, unsigned sn);

    // runtime/lora_devices.json. Both log their failures; false on failure.
    bool save_devices();
    bool load_devices();

    // The device file needs saving (after allocations and resets).
    bool has_unsaved_changes() const { return unsaved_.load(); }
    void set_unsaved_changes() { unsaved_.store(true); }
    void clear_unsaved_changes() { unsaved_.store(false); }
    // True once after the registry changed the device list in a way parameter.json must carry
    // (a tankName filled in); clears the mark.
    bool take_recipe_changed() { return recipeChanged_.exchange(false); }

private:
    RecipeDataGuard& recipe_;
    std::atomic<bool> unsaved_{false};
    std::atomic<bool> recipeChanged_{false};
    std::array<std::atomic<int>, kLastDeviceId - kFirstDeviceId + 1> status_{};
};

}  // namespace lora
