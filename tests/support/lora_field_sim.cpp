#include "support/lora_field_sim.h"

#include <algorithm>
#include <cstring>

namespace orvane::test {

namespace {
constexpr uint8_t kUpload = 3, kBroadcast = 6, kPoll = 7, kSlaveBroadcast = 8, kPassThrough = 10;

void putF32(std::vector<uint8_t>& b, float v) {
    uint8_t t[4];
    std::memcpy(t, &v, 4);
    b.insert(b.end(), t, t + 4);
}
}  // namespace

LoraFieldDevice::LoraFieldDevice(uint32_t pn, uint32_t sn)
    : pn_(pn), sn_(sn), uid_(std::to_string(pn) + "#" + std::to_string(sn)) {}

uint16_t LoraFieldDevice::crc(const uint8_t* data, size_t n) {
    uint16_t c = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    }
    return c;
}

Frame LoraFieldDevice::frameLocked(uint8_t type, const std::vector<uint8_t>& payload) {
    const uint16_t seq = seq_++;
    Frame f = {0xA5, 0x5A, type, static_cast<uint8_t>(seq & 0xFF), static_cast<uint8_t>(seq >> 8), master_, device_};
    for (size_t i = 0; i < 16; ++i) f.push_back(i < uid_.size() ? static_cast<uint8_t>(uid_[i]) : 0);
    f.push_back(static_cast<uint8_t>(status_ & 0xFF));
    f.push_back(static_cast<uint8_t>(status_ >> 8));
    f.push_back(static_cast<uint8_t>(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t c = crc(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c & 0xFF));
    return f;
}

std::vector<uint8_t> LoraFieldDevice::payloadLocked() const {
    std::vector<uint8_t> p;
    if (isRw70()) {
        p = modbus_;
        putF32(p, ai_);
        for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(di_ >> (8 * i)));
    } else {
        for (float v : tlr_) putF32(p, v);
    }
    return p;
}

Frame LoraFieldDevice::frame(uint8_t type, const std::vector<uint8_t>& payload) {
    std::lock_guard lk(m_);
    return frameLocked(type, payload);
}
std::vector<uint8_t> LoraFieldDevice::measurementPayload() const {
    std::lock_guard lk(m_);
    return payloadLocked();
}
Frame LoraFieldDevice::upload() {
    std::lock_guard lk(m_);
    return frameLocked(kUpload, payloadLocked());
}
Frame LoraFieldDevice::slaveBroadcast() {
    std::lock_guard lk(m_);
    return frameLocked(kSlaveBroadcast, payloadLocked());
}

std::vector<Frame> LoraFieldDevice::onDownlink(const Frame& f) {
    std::lock_guard lk(m_);
    std::vector<Frame> replies;
    if (f.size() < 10 || f[0] != 0xA5 || f[1] != 0x5A || f.size() != 10u + f[7]) return replies;
    const uint16_t c = crc(f.data(), f.size() - 2);
    if (f[f.size() - 2] != (c & 0xFF) || f[f.size() - 1] != (c >> 8)) return replies;
    const uint8_t type = f[2], master = f[5], dev = f[6];
    const std::vector<uint8_t> payload(f.begin() + 8, f.end() - 2);
    if (type == kBroadcast) {
        broadcasts_.push_back(payload);
        return replies;
    }
    if (type == kUpload && payload.size() == 24) {
        std::array<uint8_t, 16> mine{};
        std::memcpy(mine.data(), uid_.data(), std::min<size_t>(uid_.size(), 16));
        if (std::memcmp(mine.data(), payload.data(), 16) != 0) return replies;
        master_ = payload[16];
        device_ = payload[17];
        return replies;
    }
    if (device_ == 0 || dev != device_) return replies;
    if (type == kPoll && master == master_) {
        ++polls_;
        if (!silent_) replies.push_back(frameLocked(kPoll, payloadLocked()));
    } else if (type == kPassThrough && payload == std::vector<uint8_t>{0, 0}) {
        // Descriptions go one at a time, each after the acknowledgement of the one before.
        ++registerRequests_;
        nextDescription_ = 0;
        if (!silent_ && !descriptions_.empty()) replies.push_back(frameLocked(kPassThrough, descriptions_[0]));
        if (!descriptions_.empty()) nextDescription_ = 1;
    } else if (type == kPassThrough && payload.size() == 2 && nextDescription_ > 0 &&
               nextDescription_ <= descriptions_.size() && payload[0] == descriptions_[nextDescription_ - 1][0]) {
        if (!silent_ && nextDescription_ < descriptions_.size()) {
            replies.push_back(frameLocked(kPassThrough, descriptions_[nextDescription_]));
        }
        ++nextDescription_;
    }
    return replies;
}

void LoraFieldDevice::setTlr(float distance, float level, float volume, float battery) {
    std::lock_guard lk(m_);
    tlr_[0] = distance;
    tlr_[2] = level;
    tlr_[3] = volume;
    tlr_[7] = battery;
}
void LoraFieldDevice::setRw70(float ai, uint32_t di, std::vector<uint8_t> modbus) {
    std::lock_guard lk(m_);
    ai_ = ai;
    di_ = di;
    modbus_ = std::move(modbus);
}
void LoraFieldDevice::addDescription(uint8_t id, const std::string& name, const std::string& unit, uint8_t type,
                                     uint8_t size) {
    std::vector<uint8_t> d(32, 0);
    d[0] = id;
    std::memcpy(d.data() + 2, name.data(), std::min<size_t>(name.size(), 16));
    std::memcpy(d.data() + 18, unit.data(), std::min<size_t>(unit.size(), 8));
    d[26] = type;
    d[27] = size;
    d[28] = 3;
    d[29] = 2;
    std::lock_guard lk(m_);
    descriptions_.push_back(std::move(d));
}
void LoraFieldDevice::setSilent(bool s) {
    std::lock_guard lk(m_);
    silent_ = s;
}
void LoraFieldDevice::setStatus(uint16_t s) {
    std::lock_guard lk(m_);
    status_ = s;
}
void LoraFieldDevice::setIds(uint8_t master, uint8_t device) {
    std::lock_guard lk(m_);
    master_ = master;
    device_ = device;
}
uint8_t LoraFieldDevice::masterId() const {
    std::lock_guard lk(m_);
    return master_;
}
uint8_t LoraFieldDevice::deviceId() const {
    std::lock_guard lk(m_);
    return device_;
}
int LoraFieldDevice::polls() const {
    std::lock_guard lk(m_);
    return polls_;
}
int LoraFieldDevice::registerRequests() const {
    std::lock_guard lk(m_);
    return registerRequests_;
}
std::vector<std::vector<uint8_t>> LoraFieldDevice::broadcasts() const {
    std::lock_guard lk(m_);
    return broadcasts_;
}

}  // namespace orvane::test
