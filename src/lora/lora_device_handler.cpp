#include "lora/lora_device_handler.h"

#include <exception>

#include "lora/lora_codec.h"
#include "utils/log.h"
#include "utils/unit_utils.h"

namespace lora {

namespace {

const TlrDeviceHandler gTlrHandler;
const Rw70DeviceHandler gRw70Handler;

float converted(float value, const LoraRegisterItem& r) { return UnitUtils::convert(value, r.unit, r.displayUnit).value; }

void clearMeasurements(LoraLiveDataItem& live) {
    for (LoraRegLive& m : live.regs) m = LoraRegLive{};
}

void putMeasurement(LoraLiveDataItem& live, int& n, const LoraRegisterItem& r, bool preferDisplayUnit) {
    if (n >= kLoraRegs) return;
    LoraRegLive& m = live.regs[static_cast<size_t>(n++)];
    m.name = r.name;
    m.unit = (preferDisplayUnit && !r.displayUnit.empty()) ? r.displayUnit : r.unit;
    m.value = r.value;
}

struct TlrDefault {
    const char* name;
    const char* unit;
    int8_t decimalPart;
    bool setDisplay;
};
constexpr TlrDefault kTlrDefaults[] = {
    {"Volume", "m3", 2, true},
    {"Level", "m", 3, true},
    {"Distance", "m", 3, true},
    {"RSSI", "dBm", 0, false},
};

}  // namespace

unsigned value_type_size(int valueType) {
    switch (valueType) {
        case 0:
        case 1: return 2;
        case 2:
        case 3:
        case 4: return 4;
        case 5: return 8;
        default: return 0;
    }
}

const ILoraDeviceHandler& LoraDeviceHandlerFactory::get_handler(unsigned type) {
    if (type == kRw70Pn) return gRw70Handler;
    return gTlrHandler;
}

// ---- TLR level sensor ------------------------------------------------------------------------

void TlrDeviceHandler::init_default_registers(LoraDeviceRecipeItem& item) const {
    for (size_t i = 0; i < std::size(kTlrDefaults); ++i) {
        LoraRegisterItem& r = item.registers[i];
        if (!r.name.empty()) continue;
        const TlrDefault& d = kTlrDefaults[i];
        r.name = d.name;
        r.unit = d.unit;
        if (r.displayUnit.empty()) r.displayUnit = r.unit;
        r.decimalPart = d.decimalPart;
        if (d.setDisplay) r.display = true;
    }
}

int TlrDeviceHandler::update_measurements(LoraDeviceRecipeItem& item, uint16_t, uint8_t deviceId, uint8_t,
                                          uint8_t len, int rssi, const unsigned char* payload) const {
    try {
        float v[8];
        unsigned pos = 0;
        for (float& f : v) f = Utilities::get_f32_value(payload, len, pos);
        const float distance = v[0], current = v[1], level = v[2], volume = v[3];
        const float usedVolume = v[4], maxVolume = v[5], sectionArea = v[6], battery = v[7];
        SLOG_INFO(LORA, "TLR Device ID: {} - distance: {}, current: {}, level: {}, volume: {}", deviceId, distance,
                  current, level, volume);
        SLOG_INFO(LORA, "  used_volume: {}, max_volume: {}, section_area: {}, battery: {}, rssi: {}", usedVolume,
                  maxVolume, sectionArea, battery, rssi);
        item.passive = battery >= 3.5f && battery <= 6.0f;
        init_default_registers(item);
        LoraRegisterItem* r = item.registers.data();
        r[0].value = converted(volume, r[0]);
        SLOG_INFO(LORA, "  Volume after convert: {} {}", r[0].value, r[0].displayUnit.view());
        r[1].value = converted(level, r[1]);
        SLOG_INFO(LORA, "  Level after convert: {} {}", r[1].value, r[1].displayUnit.view());
        r[2].value = converted(distance, r[2]);
        SLOG_INFO(LORA, "  Distance after convert: {} {}", r[2].value, r[2].displayUnit.view());
        item.enable = true;
        item.display = true;
        r[3].value = static_cast<float>(rssi);
        return 0;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "TLR: Exception during update: {}", e.what());
        return -1;
    }
}

int TlrDeviceHandler::update_live_data(const LoraDeviceRecipeItem& item, LoraLiveDataItem& live) const {
    clearMeasurements(live);
    int n = 0;
    for (const LoraRegisterItem& r : item.registers) {
        if (!r.name.empty()) putMeasurement(live, n, r, true);
    }
    return n;
}

// ---- RW-70 I/O device ------------------------------------------------------------------------

void Rw70DeviceHandler::init_default_registers(LoraDeviceRecipeItem& item) const {
    LoraRegisterItem& ai = item.registers[0];
    ai.name = "AI";
    ai.unit = "mA";
    ai.displayUnit = "mA";
    ai.valueType = 4;
    ai.decimalPart = 2;
    ai.display = true;
    LoraRegisterItem& di = item.registers[1];
    di.name = "DI";
    di.unit.clear();
    di.displayUnit.clear();
    di.valueType = 3;
    di.decimalPart = 0;
    di.display = true;
}

int Rw70DeviceHandler::update_measurements(LoraDeviceRecipeItem& item, uint16_t, uint8_t deviceId, uint8_t,
                                           uint8_t len, int, const unsigned char* payload) const {
    try {
        SLOG_INFO(LORA, "RW-70 Device ID: {} - payload size: {}", deviceId, len);
        if (len <= 7) {
            SLOG_WARN(LORA, "RW-70: Payload too small: {}", len);
            return -1;
        }
        if (!item.registers[3].name.empty()) {
            update_modbus_registers(item, len, payload);
        } else {
            SLOG_INFO(LORA, "RW-70 device {} registers are empty.", deviceId);
        }
        update_ai_di_registers(item, len, payload);
        item.enable = true;
        item.display = true;
        return 0;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "RW-70: Exception during update: {}", e.what());
        return -1;
    }
}

void Rw70DeviceHandler::update_modbus_registers(LoraDeviceRecipeItem& item, uint8_t len,
                                                const unsigned char* payload) const {
    const unsigned limit = len >= 8 ? len - 8u : 0u;
    unsigned pos = 0;
    for (size_t slot = 3; slot < item.registers.size(); ++slot) {
        LoraRegisterItem& r = item.registers[slot];
        if (r.name.empty()) continue;
        const unsigned size = value_type_size(r.valueType);
        if (size == 0) continue;  // unknown value type: takes no bytes, keeps its value
        if (pos + size > limit) {
            if (limit != 0) {
                SLOG_WARN(LORA, "RW-70: Modbus data exhausted at register[{}] '{}' (need {} at pos {}, limit {}); stopping.",
                          slot, r.name.view(), size, pos, limit);
            }
            return;
        }
        float raw = 0;
        switch (r.valueType) {
            case 0: raw = Utilities::get_i16_value(payload, limit, pos); break;
            case 1: raw = Utilities::get_u16_value(payload, limit, pos); break;
            case 2: raw = static_cast<float>(Utilities::get_i32_value(payload, limit, pos)); break;
            case 3: raw = static_cast<float>(Utilities::get_u32_value(payload, limit, pos)); break;
            case 4: raw = Utilities::get_f32_value(payload, limit, pos); break;
            default: raw = static_cast<float>(Utilities::get_f64_value(payload, limit, pos)); break;
        }
        r.value = converted(raw, r);
        SLOG_INFO(LORA, "RW-70 Register[{}] {}: {} {} (type: {})", slot, r.name.view(), r.value, r.displayUnit.view(),
                  r.valueType);
    }
}

void Rw70DeviceHandler::update_ai_di_registers(LoraDeviceRecipeItem& item, uint8_t len,
                                               const unsigned char* payload) const {
    // Read first, so a short payload changes nothing.
    unsigned pos = len >= 8 ? len - 8u : len + 1u;
    const float ai = Utilities::get_f32_value(payload, len, pos);
    const uint32_t di = Utilities::get_u32_value(payload, len, pos);
    init_default_registers(item);
    LoraRegisterItem* r = item.registers.data();
    r[0].value = ai;
    r[1].value = static_cast<float>(di);
    if (r[0].calculated) {
        LoraRegisterItem& c = r[2];
        c.name = r[0].nameCalculated;
        c.unit = r[0].unitCalculated;
        c.valueType = 4;
        c.display = false;
        c.decimalPart = r[0].decimalPartCalculated;
        if (r[0].maxValue == r[0].minValue) {
            c.value = r[0].minValueCalculated;
        } else {
            c.value = r[0].minValueCalculated + (ai - r[0].minValue) / (r[0].maxValue - r[0].minValue) *
                                                    (r[0].maxValueCalculated - r[0].minValueCalculated);
        }
    }
    SLOG_INFO(LORA, "RW-70 AI: {}, DI: {}, Calculated: {}", r[0].value, r[1].value, r[2].value);
}

int Rw70DeviceHandler::update_live_data(const LoraDeviceRecipeItem& item, LoraLiveDataItem& live) const {
    clearMeasurements(live);
    int n = 0;
    const auto& r = item.registers;
    if (r[0].calculated) putMeasurement(live, n, r[2], false);
    putMeasurement(live, n, r[0], false);
    putMeasurement(live, n, r[1], false);
    for (size_t slot = 3; slot < r.size(); ++slot) {
        if (!r[slot].name.empty()) putMeasurement(live, n, r[slot], true);
    }
    return n;
}

}  // namespace lora
