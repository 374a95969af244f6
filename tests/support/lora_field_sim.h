#pragma once
// A LoRa field device for tests: a TLR level sensor or (PN 24817) an RW-70 I/O device, with its
// own frame builder, CRC and parser. It answers polls addressed to its device ID, adopts the
// enrolment reply that carries its UID, answers the register request with its register
// descriptions, records broadcasts, and can be silent. Thread-safe.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orvane::test {

using Frame = std::vector<uint8_t>;

class LoraFieldDevice {
public:
    LoraFieldDevice(uint32_t pn, uint32_t sn);

    bool isRw70() const { return pn_ == 24817; }

    // Frames the device sends on its own.
    Frame upload();
    Frame slaveBroadcast();
    // Any uplink frame from this device (header from its current state, sequence advanced).
    Frame frame(uint8_t type, const std::vector<uint8_t>& payload);
    // TLR: the 8 floats; RW-70: Modbus bytes, AI, DI.
    std::vector<uint8_t> measurementPayload() const;

    // Every downlink frame the gateway sent; returns the frames the device answers with.
    std::vector<Frame> onDownlink(const Frame& frame);

    // Settings (take effect for the next frame).
    void setTlr(float distance, float level, float volume, float battery);
    void setRw70(float ai, uint32_t di, std::vector<uint8_t> modbus);
    // A 32-byte register description: id, name, unit, value type, size, integer and decimal parts.
    void addDescription(uint8_t id, const std::string& name, const std::string& unit, uint8_t type, uint8_t size);
    void setSilent(bool silent);
    void setStatus(uint16_t status);
    void setIds(uint8_t master, uint8_t device);

    // Observations.
    uint8_t masterId() const;
    uint8_t deviceId() const;
    int polls() const;
    int registerRequests() const;
    std::vector<std::vector<uint8_t>> broadcasts() const;  // payloads
    static uint16_t crc(const uint8_t* data, size_t n);

private:
    Frame frameLocked(uint8_t type, const std::vector<uint8_t>& payload);
    std::vector<uint8_t> payloadLocked() const;

    mutable std::mutex m_;
    uint32_t pn_;
    uint32_t sn_;
    std::string uid_;
    uint8_t master_ = 0;
    uint8_t device_ = 0;
    uint16_t seq_ = 1;
    uint16_t status_ = 0;
    std::array<float, 8> tlr_{1.0f, 12.0f, 2.0f, 3.0f, 0.5f, 10.0f, 1.5f, 12.0f};
    float ai_ = 12.0f;
    uint32_t di_ = 0;
    std::vector<uint8_t> modbus_;
    std::vector<std::vector<uint8_t>> descriptions_;
    bool silent_ = false;
    int polls_ = 0;
    int registerRequests_ = 0;
    size_t nextDescription_ = 0;
    std::vector<std::vector<uint8_t>> broadcasts_;
};

}  // namespace orvane::test
