#pragma once
// LoRa frames and their fields. Every exchange with a field device is one radio packet that
// carries one frame beginning A5 5A and ending in a CRC-16/MODBUS:
//   downlink (gateway -> device): A5 5A type seq(2) master device len payload crc(lo, hi)
//   uplink   (device -> gateway): A5 5A type seq(2) master device uid(16) status(2) len payload
//                                 crc(hi, lo)
// Multi-byte fields are little-endian except the uplink CRC. Utilities reads and writes fields
// with bounds checks; nothing here keeps state.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace lora {

using Uid = std::array<unsigned char, 16>;

enum class FrameType : uint8_t {
    UPLOAD_TYPE = 3,
    MODBUS_TYPE = 5,
    BROADCAST_TYPE = 6,
    POLL_TYPE = 7,
    SLAVE_BROADCAST_TYPE = 8,
    PASS_THROUGH_TYPE = 10,
};

constexpr std::string_view frameTypeName(FrameType t) {
    switch (t) {
        case FrameType::UPLOAD_TYPE: return "UPLOAD_TYPE";
        case FrameType::MODBUS_TYPE: return "MODBUS_TYPE";
        case FrameType::BROADCAST_TYPE: return "BROADCAST_TYPE";
        case FrameType::POLL_TYPE: return "POLL_TYPE";
        case FrameType::SLAVE_BROADCAST_TYPE: return "SLAVE_BROADCAST_TYPE";
        case FrameType::PASS_THROUGH_TYPE: return "PASS_THROUGH_TYPE";
    }
    return "";
}

enum BROADCAST_FUNC_CODE : uint8_t {
    BROADCAST_NONE = 0,
    SYNC_TIME = 1,
    START_UPLOAD = 2,
    STOP_UPLOAD = 3,
};

constexpr std::string_view broadcastCodeName(BROADCAST_FUNC_CODE c) {
    switch (c) {
        case BROADCAST_NONE: return "BROADCAST_NONE";
        case SYNC_TIME: return "SYNC_TIME";
        case START_UPLOAD: return "START_UPLOAD";
        case STOP_UPLOAD: return "STOP_UPLOAD";
    }
    return "";
}

inline constexpr unsigned kFrameBufferSize = 256;
inline constexpr unsigned kMaxDownlinkPayload = 246;
inline constexpr unsigned kDownlinkOverhead = 10;
inline constexpr unsigned kUplinkOverhead = 28;
inline constexpr unsigned kUplinkPayloadOffset = 26;
inline constexpr unsigned kEnrolmentPayloadSize = 24;
inline constexpr unsigned kRw70Pn = 24817;  // 0x60F1; every other PN is a TLR sensor
inline constexpr int kFirstDeviceId = 6;
inline constexpr int kLastDeviceId = 21;

constexpr bool isDeviceId(int id) { return id >= kFirstDeviceId && id <= kLastDeviceId; }

// Bounds-checked little-endian fields. pos advances by the field's width; a failure throws
// std::out_of_range ("<text><pos>; size:<len>") and leaves the buffer and pos untouched.
class Utilities {
public:
    Utilities() = delete;
    static uint8_t get_u8_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static uint16_t get_u16_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static int16_t get_i16_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static uint32_t get_u32_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static int32_t get_i32_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static float get_f32_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static double get_f64_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static Uid get_uid_value(const unsigned char* buf, unsigned len, unsigned& pos);
    static void serial_u8(uint16_t value, unsigned char* buf, unsigned len, unsigned& pos);
    static void serial_u16(uint16_t value, unsigned char* buf, unsigned len, unsigned& pos);
    static void serial_u32(uint32_t value, unsigned char* buf, unsigned len, unsigned& pos);
    static void serial_f32(float value, unsigned char* buf, unsigned len, unsigned& pos);
    // True when the first byte is not zero.
    static bool is_device_id_valid(const Uid& uid);
};

// CRC-16/MODBUS; 0xFFFF for a null pointer or an empty range.
uint16_t crc_value(const unsigned char* data, unsigned len);

// Builds a downlink frame into out (zeroed first) and returns its size (10 + len); -1 when len
// exceeds 246 (or on an unexpected failure), -2 when len is not 0 and payload is null. The device
// ID is sent as 0 when masterId is 0.
int generate_frame(std::array<unsigned char, kFrameBufferSize>& out, FrameType type, uint16_t seq,
                   uint8_t deviceId, uint8_t masterId, const unsigned char* payload, unsigned len);

// Offset of the first uplink frame with a good CRC in buf, or -1.
int frame_check(const unsigned char* buf, unsigned len);

// PN and SN of a UID text "<pn>#<sn>". A digit run that does not fit 32 bits gives 0.
unsigned get_pn(const Uid& uid);
unsigned get_sn(const Uid& uid);
// "<pn>#<sn>", no fill.
std::string get_uid(unsigned pn, unsigned sn);
// The UID bytes as text (up to the first zero, at most 16 characters).
std::string uid_text(const Uid& uid);

// The header of an uplink frame found by frame_check at offset.
struct UplinkHeader {
    uint8_t type = 0;
    uint16_t seq = 0;
    uint8_t masterId = 0;
    uint8_t deviceId = 0;
    Uid uid{};
    uint16_t status = 0;
    uint8_t payloadLen = 0;
    unsigned payloadOffset = 0;  // into the whole buffer
};
// Reads the header with the getters (throws std::out_of_range when the buffer is too short for
// the header or for the payload length it announces).
UplinkHeader parse_uplink(const unsigned char* buf, unsigned len, unsigned offset);

// Enrolment reply payload (24 bytes): UID text, master ID, new device ID, slot value
// (deviceId - 5) * 6000 capped at 0xFFFF, gateway time.
std::array<unsigned char, kEnrolmentPayloadSize> enrolment_payload(std::string_view uidText, uint8_t masterId,
                                                                   uint8_t deviceId, uint32_t now);
uint16_t slot_value(int deviceId);

// Broadcast payload of a function code into out; its size, or -1 for a code above 3 or a buffer
// smaller than 5 bytes.
int broadcast_payload(unsigned code, uint32_t now, unsigned char* out, unsigned capacity);

// Error bits 0..6 of the device status word and their texts ("No Response Frame", ...);
// nullptr for any other bit.
inline constexpr uint16_t kStatusErrorMask = 0x7F;
const char* status_bit_text(int bit);

}  // namespace lora
