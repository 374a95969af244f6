#pragma once
// A simulated SX126x radio behind the platform's SPI and edge-line factories (installed for the
// life of the object). It records the open settings, every transfer with its clock time, and the
// closes; flags unknown opcodes and transfers on a closed port; keeps the state the commands set;
// answers the status commands; sends SetTx frames to attached field devices and receives the
// uplinks they (or the test) deliver while in RX. DIO1 rises when a masked IRQ flag is set while
// none was.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/spi_port.h"
#include "support/lora_field_sim.h"

namespace orvane::test {

class Sx126xSim {
public:
    enum class Mode { Sleep, Standby, Rx, Tx };
    struct Transfer {
        std::vector<uint8_t> tx;
        int64_t steadyMs = 0;  // platform clock at the transfer
    };
    struct OpenRecord {
        std::string path;
        uint32_t mode = 0;
        uint8_t bits = 0;
        uint32_t speed = 0;
    };

    Sx126xSim();
    ~Sx126xSim();
    Sx126xSim(const Sx126xSim&) = delete;
    Sx126xSim& operator=(const Sx126xSim&) = delete;

    // ---- scripting ----
    // Queues an uplink; received with RxDone (plus extraIrq, e.g. CrcErr) now when in RX, else at
    // the next SetRx.
    void deliver(const std::vector<uint8_t>& bytes, uint8_t rssiPkt = 120, uint16_t extraIrq = 0);
    // Sets IRQ flags alone (HeaderErr 0x20, Timeout 0x200).
    void raiseIrq(uint16_t flags);
    void failOpen(orvane::platform::SpiPort::OpenStep step);
    void failTransfers(int n);
    // true: edge waits return at once (Edge when one is pending, else Timeout); false: real waits.
    void setImmediateEdgeWaits(bool immediate);
    void setRegister(uint16_t addr, uint8_t value);
    void attach(LoraFieldDevice& device);

    // ---- observations ----
    std::vector<Transfer> transfers() const;
    std::vector<std::vector<uint8_t>> commands() const;  // transfer bytes only
    void clearTransfers();
    std::vector<OpenRecord> opens() const;
    int closes() const;
    std::vector<uint8_t> unknownOpcodes() const;
    int transfersOnClosed() const;
    std::vector<std::vector<uint8_t>> sent() const;  // frames sent by SetTx
    // Waits (real time) until at least n frames were sent.
    bool waitSent(size_t n, std::chrono::milliseconds timeout) const;
    Mode mode() const;
    uint32_t frequencyWord() const;
    std::vector<uint8_t> modulationParams() const;
    std::vector<uint8_t> paConfig() const;  // last SetPaConfig parameters
    std::vector<uint8_t> txParams() const;  // last SetTxParams parameters (power, ramp)
    uint16_t irqFlags() const;
    uint16_t dio1Mask() const;
    uint8_t reg(uint16_t addr) const;

    // Used by the port and line objects.
    orvane::platform::SpiPort::OpenResult portOpen(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed);
    int portTransfer(const uint8_t* tx, uint8_t* rx, unsigned len);
    void portClose();
    bool lineOpen();
    int lineWait(std::chrono::milliseconds timeout);  // 0 edge, 1 timeout
    void lineInterrupt();

private:
    void setIrqLocked(uint16_t bits);
    void receiveNextLocked();
    void dispatch(const std::vector<std::vector<uint8_t>>& frames);

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool open_ = false;
    orvane::platform::SpiPort::OpenStep failOpen_ = orvane::platform::SpiPort::OpenStep::None;
    int failTransfers_ = 0;
    bool immediate_ = true;
    bool interrupted_ = false;
    std::vector<Transfer> transfers_;
    std::vector<OpenRecord> opens_;
    int closes_ = 0;
    std::vector<uint8_t> unknown_;
    int onClosed_ = 0;
    Mode mode_ = Mode::Sleep;
    uint32_t freqWord_ = 0;
    std::vector<uint8_t> modulation_;
    std::vector<uint8_t> packet_;
    std::vector<uint8_t> paConfig_;
    std::vector<uint8_t> txParams_;
    uint16_t irqMask_ = 0;
    uint16_t dio1Mask_ = 0;
    uint16_t irq_ = 0;
    std::map<uint16_t, uint8_t> regs_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(256, 0);
    uint8_t rxLen_ = 0;
    uint8_t rssi_ = 0;
    struct Uplink {
        std::vector<uint8_t> bytes;
        uint8_t rssi;
        uint16_t extra;
    };
    std::deque<Uplink> queue_;
    int edgesPending_ = 0;
    std::vector<std::vector<uint8_t>> sent_;
    std::vector<LoraFieldDevice*> devices_;
};

}  // namespace orvane::test
