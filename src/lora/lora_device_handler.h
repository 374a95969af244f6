#pragma once
// Device handlers: turn the measurement payload of a LoRa device's frames into its register
// table, fill the device type's default registers, and copy the registers into its live entry.
// Two stateless instances exist (TLR level sensor, RW-70 I/O device); they touch no file and no
// store: the caller hands in the item and the live entry.
#include <cstdint>

#include "live/live_data.h"
#include "recipe/recipe_data.h"

namespace lora {

class ILoraDeviceHandler {
public:
    virtual ~ILoraDeviceHandler() = default;
    // 0 on success, -1 on failure (then nothing of the item has changed for a TLR; an RW-70 keeps
    // the values it already stored).
    virtual int update_measurements(LoraDeviceRecipeItem& item, uint16_t seq, uint8_t deviceId, uint8_t masterId,
                                    uint8_t len, int rssi, const unsigned char* payload) const = 0;
    // Clears the 8 measurements of live, fills them from measurement 0 on, returns their count.
    virtual int update_live_data(const LoraDeviceRecipeItem& item, LoraLiveDataItem& live) const = 0;
    virtual void init_default_registers(LoraDeviceRecipeItem& item) const = 0;
    virtual unsigned get_type_id() const = 0;
};

class TlrDeviceHandler final : public ILoraDeviceHandler {
public:
    int update_measurements(LoraDeviceRecipeItem& item, uint16_t seq, uint8_t deviceId, uint8_t masterId,
                            uint8_t len, int rssi, const unsigned char* payload) const override;
    int update_live_data(const LoraDeviceRecipeItem& item, LoraLiveDataItem& live) const override;
    void init_default_registers(LoraDeviceRecipeItem& item) const override;
    unsigned get_type_id() const override { return 0; }
};

class Rw70DeviceHandler final : public ILoraDeviceHandler {
public:
    int update_measurements(LoraDeviceRecipeItem& item, uint16_t seq, uint8_t deviceId, uint8_t masterId,
                            uint8_t len, int rssi, const unsigned char* payload) const override;
    int update_live_data(const LoraDeviceRecipeItem& item, LoraLiveDataItem& live) const override;
    void init_default_registers(LoraDeviceRecipeItem& item) const override;
    unsigned get_type_id() const override { return 24817; }

    // AI (f32 at len - 8) and DI (u32 at len - 4) into slots 0 and 1, and the calculated slot 2.
    void update_ai_di_registers(LoraDeviceRecipeItem& item, uint8_t len, const unsigned char* payload) const;
    // The Modbus values before the last 8 bytes into the named slots 3..7.
    void update_modbus_registers(LoraDeviceRecipeItem& item, uint8_t len, const unsigned char* payload) const;
};

class LoraDeviceHandlerFactory {
public:
    LoraDeviceHandlerFactory() = delete;
    // The RW-70 handler for 24817, the TLR handler for every other type.
    static const ILoraDeviceHandler& get_handler(unsigned type);
};

// Bytes a register value type takes on the air: 2, 2, 4, 4, 4, 8; 0 for any other type.
unsigned value_type_size(int valueType);

}  // namespace lora
