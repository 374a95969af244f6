#pragma once
// A simulated SX126x radio behind the platform's SPI and edge-line factories (installed for the
// life of the object). It records the open settings, every transfer with its clock time, and the
// closes; flags unknown opcodes and transfers on a closed port; keeps the state the commands set;
// answers the status commands; sends SetTx frames to attached field devices and receives the
// uplinks they (or the test) deliver. As on a real chip, an uplink is heard only while the chip is
// in RX, and the chip leaves RX with the packet it heard: one that arrives at any other time is
// lost. DIO1 rises when a masked IRQ flag is set while none was.
//
// The chip's time is counted in commands (the driver pauses 100 ms after each): the answer of an
// attached device reaches the chip once the chip has taken a given number of commands after the
// SetTx that carried the downlink.
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
    // An uplink that reaches the chip now: received with RxDone (plus extraIrq, e.g. CrcErr) when
    // in RX, else lost.
    void deliver(const std::vector<uint8_t>& bytes, uint8_t rssiPkt = 120, uint16_t extraIrq = 0);
    // Commands after a SetTx until the answers to its frame arrive (default 4: once the receive
    // thread's pass for TxDone has re-armed the chip; 1: right after the command that follows).
    void setAnswerAfter(int commands);
    // Sets IRQ flags alone (HeaderErr 0x20, Timeout 0x200).
    void raiseIrq(uint16_t flags);
    void failOpen(orvane::platform::SpiPort::OpenStep step);
    // The next n transfers fail (only those of that opcode when one is given).
    void failTransfers(int n, int opcode = -1);
    // The next transfer of that opcode waits until release(); holding() tells it is waiting.
    void holdCommand(uint8_t opcode);
    void release();
    bool holding() const;
    // The next n answers of attached devices arrive damaged: last byte flipped, with extraIrq.
    void damageAnswers(int n, uint16_t extraIrq);
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
    int lost() const;                                 // uplinks that arrived outside RX
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
    struct Uplink {
        std::vector<uint8_t> bytes;
        uint8_t rssi;
        uint16_t extra;
    };
    void setIrqLocked(uint16_t bits);
    void arriveLocked(const Uplink& u);
    void commandTakenLocked();
    void dispatch(const std::vector<std::vector<uint8_t>>& frames);

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    bool open_ = false;
    orvane::platform::SpiPort::OpenStep failOpen_ = orvane::platform::SpiPort::OpenStep::None;
    int failTransfers_ = 0;
    int failOpcode_ = -1;
    int holdOpcode_ = -1;
    bool holding_ = false;
    int damage_ = 0;
    uint16_t damageIrq_ = 0;
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
    struct InAir {
        Uplink uplink;
        int commandsLeft;
    };
    std::deque<InAir> air_;  // answers on their way, in order of arrival
    int answerAfter_ = 4;
    int lost_ = 0;
    int edgesPending_ = 0;
    std::vector<std::vector<uint8_t>> sent_;
    std::vector<LoraFieldDevice*> devices_;
};

}  // namespace orvane::test
