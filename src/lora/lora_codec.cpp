#include "lora/lora_codec.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "utils/log.h"

namespace lora {

namespace {

// pos + width <= len, written so that a huge pos cannot wrap around.
void check(const void* buf, unsigned len, unsigned pos, unsigned width, const char* text) {
    if (buf == nullptr || pos > len || width > len - pos) {
        throw std::out_of_range(fmt::format("{}{}; size:{}", text, pos, len));
    }
}

template <class T>
T readLe(const unsigned char* buf, unsigned len, unsigned& pos, const char* text) {
    check(buf, len, pos, sizeof(T), text);
    std::array<unsigned char, sizeof(T)> bytes{};
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = buf[pos + i];
    T v;
    std::memcpy(&v, bytes.data(), sizeof(T));  // the gateway and the field are both little-endian
    pos += sizeof(T);
    return v;
}

template <class T>
void writeLe(T value, unsigned char* buf, unsigned len, unsigned& pos, const char* text) {
    check(buf, len, pos, sizeof(T), text);
    std::memcpy(buf + pos, &value, sizeof(T));
    pos += sizeof(T);
}

// Decimal digits from uid[start], at most up to the end of the 16 bytes; 0 when the number does
// not fit 32 bits.
unsigned digitRun(const Uid& uid, size_t start, const char* what) {
    uint64_t v = 0;
    bool overflow = false;
    for (size_t i = start; i < uid.size(); ++i) {
        unsigned char c = uid[i];
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
        if (v > 0xFFFFFFFFull) overflow = true;
        if (overflow) v = 0xFFFFFFFFull + 1;  // stays above the limit, never wraps
    }
    if (overflow) {
        SLOG_WARN(LORA, "UID {}: {} does not fit 32 bits, taken as 0", uid_text(uid), what);
        return 0;
    }
    return static_cast<unsigned>(v);
}

}  // namespace

uint8_t Utilities::get_u8_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<uint8_t>(b, len, pos, "Fail to get u8. Pos:");
}
uint16_t Utilities::get_u16_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<uint16_t>(b, len, pos, "Fail to get u16. Pos:");
}
int16_t Utilities::get_i16_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<int16_t>(b, len, pos, "Fail to get u16. Pos:");
}
uint32_t Utilities::get_u32_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<uint32_t>(b, len, pos, "Fail to get u32. Pos:");
}
int32_t Utilities::get_i32_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<int32_t>(b, len, pos, "Fail to get u32. Pos:");
}
float Utilities::get_f32_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<float>(b, len, pos, "Fail to get f32. Pos:");
}
double Utilities::get_f64_value(const unsigned char* b, unsigned len, unsigned& pos) {
    return readLe<double>(b, len, pos, "Fail to get f64. Pos:");
}
Uid Utilities::get_uid_value(const unsigned char* b, unsigned len, unsigned& pos) {
    check(b, len, pos, 16, "Fail to get Device UID Pos:");
    Uid uid{};
    std::memcpy(uid.data(), b + pos, uid.size());
    pos += 16;
    return uid;
}
void Utilities::serial_u8(uint16_t value, unsigned char* b, unsigned len, unsigned& pos) {
    writeLe<uint8_t>(static_cast<uint8_t>(value & 0xFF), b, len, pos, "Fail to set u8. Pos:");
}
void Utilities::serial_u16(uint16_t value, unsigned char* b, unsigned len, unsigned& pos) {
    writeLe<uint16_t>(value, b, len, pos, "Fail to set u16. Pos:");
}
void Utilities::serial_u32(uint32_t value, unsigned char* b, unsigned len, unsigned& pos) {
    writeLe<uint32_t>(value, b, len, pos, "Fail to set u32. Pos:");
}
void Utilities::serial_f32(float value, unsigned char* b, unsigned len, unsigned& pos) {
    writeLe<float>(value, b, len, pos, "Fail to set f32. Pos:");
}
bool Utilities::is_device_id_valid(const Uid& uid) { return uid[0] != 0; }

uint16_t crc_value(const unsigned char* data, unsigned len) {
    uint16_t crc = 0xFFFF;
    if (data == nullptr) return crc;
    for (unsigned i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

int generate_frame(std::array<unsigned char, kFrameBufferSize>& out, FrameType type, uint16_t seq,
                   uint8_t deviceId, uint8_t masterId, const unsigned char* payload, unsigned len) {
    if (len > kMaxDownlinkPayload) {
        SLOG_WARN(LORA, "Fail to generate a frame, due to out of range: {}", len);
        return -1;
    }
    try {
        out.fill(0);
        unsigned char* b = out.data();
        const unsigned cap = kFrameBufferSize;
        unsigned pos = 0;
        Utilities::serial_u8(0xA5, b, cap, pos);
        Utilities::serial_u8(0x5A, b, cap, pos);
        Utilities::serial_u8(static_cast<uint8_t>(type), b, cap, pos);
        Utilities::serial_u16(seq, b, cap, pos);
        Utilities::serial_u8(masterId, b, cap, pos);
        Utilities::serial_u8(masterId == 0 ? 0 : deviceId, b, cap, pos);
        Utilities::serial_u8(static_cast<uint16_t>(len), b, cap, pos);
        if (len != 0) {
            if (payload == nullptr) return -2;
            std::memcpy(b + pos, payload, len);
            pos += len;
        }
        const uint16_t crc = crc_value(b, pos);
        Utilities::serial_u8(crc & 0xFF, b, cap, pos);
        Utilities::serial_u8(crc >> 8, b, cap, pos);
        return static_cast<int>(pos);
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Exception during generating a frame: {}", e.what());
        return -1;
    }
}

int frame_check(const unsigned char* buf, unsigned len) {
    if (buf == nullptr) {
        SLOG_WARN(LORA, "Frame Check: NULLPTR buffer.");
        return -1;
    }
    if (len < kUplinkOverhead) {
        SLOG_WARN(LORA, "Frame Check: short buffer. Size: {0} (Min frame size: {1})", len, kUplinkOverhead);
        return -1;
    }
    unsigned p = 0;
    for (; p <= len - kUplinkOverhead; ++p) {
        if (buf[p] != 0xA5 || buf[p + 1] != 0x5A) continue;
        const unsigned L = buf[p + 25];
        const unsigned frameLen = kUplinkOverhead + L;
        if (frameLen > len - p) {
            SLOG_WARN(LORA, "Frame Check: short frame. Size: {0} (From {1} + FrameLen {2})", len, p, frameLen);
            continue;
        }
        const uint16_t crc = crc_value(buf + p, kUplinkPayloadOffset + L);
        SLOG_INFO(LORA, "Frame Check: size: {0} Pos: {1} Payload Len:{2} CRC:0x{3:X}", frameLen, p, L, crc);
        const unsigned char hi = buf[p + 26 + L];
        const unsigned char lo = buf[p + 27 + L];
        if (hi == (crc >> 8) && lo == (crc & 0xFF)) return static_cast<int>(p);
        SLOG_WARN(LORA, "Frame Check: wrong CRC 0x{0:X} 0x{1:X}_{2:X}", crc, hi, lo);
    }
    SLOG_WARN(LORA, "Frame Check: Frame not found. {0} {1}", len, p);
    return -1;
}

unsigned get_pn(const Uid& uid) { return digitRun(uid, 0, "PN"); }

unsigned get_sn(const Uid& uid) {
    for (size_t i = 0; i < uid.size(); ++i) {
        if (uid[i] == '#') return digitRun(uid, i + 1, "SN");
    }
    return 0;
}

std::string get_uid(unsigned pn, unsigned sn) { return fmt::format("{}#{}", pn, sn); }

std::string uid_text(const Uid& uid) {
    size_t n = 0;
    while (n < uid.size() && uid[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(uid.data()), n);
}

UplinkHeader parse_uplink(const unsigned char* buf, unsigned len, unsigned offset) {
    UplinkHeader h;
    unsigned pos = offset + 2;
    if (pos < offset) throw std::out_of_range("Frame offset out of range");
    h.type = Utilities::get_u8_value(buf, len, pos);
    h.seq = Utilities::get_u16_value(buf, len, pos);
    h.masterId = Utilities::get_u8_value(buf, len, pos);
    h.deviceId = Utilities::get_u8_value(buf, len, pos);
    h.uid = Utilities::get_uid_value(buf, len, pos);
    h.status = Utilities::get_u16_value(buf, len, pos);
    h.payloadLen = Utilities::get_u8_value(buf, len, pos);
    h.payloadOffset = pos;
    check(buf, len, pos, h.payloadLen, "Fail to get payload. Pos:");
    return h;
}

uint16_t slot_value(int deviceId) {
    const long v = (static_cast<long>(deviceId) - 5) * 6000L;
    if (v <= 0) return 0;
    return static_cast<uint16_t>(std::min<long>(v, 0xFFFF));
}

std::array<unsigned char, kEnrolmentPayloadSize> enrolment_payload(std::string_view uidText, uint8_t masterId,
                                                                   uint8_t deviceId, uint32_t now) {
    std::array<unsigned char, kEnrolmentPayloadSize> p{};
    std::memcpy(p.data(), uidText.data(), std::min<size_t>(uidText.size(), 16));
    unsigned pos = 16;
    Utilities::serial_u8(masterId, p.data(), p.size(), pos);
    Utilities::serial_u8(deviceId, p.data(), p.size(), pos);
    Utilities::serial_u16(slot_value(deviceId), p.data(), p.size(), pos);
    Utilities::serial_u32(now, p.data(), p.size(), pos);
    return p;
}

int broadcast_payload(unsigned code, uint32_t now, unsigned char* out, unsigned capacity) {
    if (code > STOP_UPLOAD || out == nullptr || capacity < 5) return -1;
    unsigned pos = 0;
    Utilities::serial_u8(static_cast<uint16_t>(code), out, capacity, pos);
    switch (code) {
        case SYNC_TIME: Utilities::serial_u32(now, out, capacity, pos); break;
        case START_UPLOAD: Utilities::serial_u8(0x01, out, capacity, pos); break;
        case STOP_UPLOAD: Utilities::serial_u8(0x00, out, capacity, pos); break;
        default: break;
    }
    return static_cast<int>(pos);
}

const char* status_bit_text(int bit) {
    static constexpr const char* kTexts[] = {
        "No Response Frame",      "Frame is short",           "Frame Header is wrong",
        "Frame CRC is wrong",     "Frame Master ID is wrong", "Frame Client ID is wrong",
        "Frame type is wrong",
    };
    if (bit < 0 || bit > 6) return nullptr;
    return kTexts[bit];
}

}  // namespace lora
