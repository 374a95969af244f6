#pragma once
// A simulated RS-485 probe bus for tests, benchmarks and trying the gateway without hardware.
//
// It opens a pseudo-terminal pair and answers Modbus RTU requests written to the slave side
// (devicePath()) as several probes at once: one register map per Modbus address, function
// codes 3 (read holding registers), 16 (write multiple registers) and 6 (write single register),
// CRC-16/MODBUS framing.
// Unknown addresses stay silent. Per probe it can be made silent, answer scripted faults
// (exception, bad CRC, silence) for the next requests, return a scripted sequence of values for
// a register, run a hook after a write, and move to a new address (an address register, applied
// at once or when a reboot register is written). It reads the line settings the master applied
// to the pty (termios: baud rate, parity, stop bits; a pty always carries 8 data bits); when
// expected settings are given,
// requests on a differently configured line are ignored like noise. When the last master that
// opened the device closes it (a program that ended without restoring the line included), the
// line goes back to the simulator's own settings, so the next master can set its own (a pty
// drops PARENB, and a master asking again for exactly the settings left behind is told the
// change failed). Every frame in both directions is recorded.
#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvane::test {

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF); on the wire low byte first.
uint16_t modbusCrc16(const uint8_t* data, size_t len);

// Float register pairs in the four byte orders (A = most significant byte of the IEEE value).
enum class SimFloatOrder { ABCD, BADC, CDAB, DCBA };
void simEncodeFloat(float v, SimFloatOrder order, uint16_t* regs);
float simDecodeFloat(const uint16_t* regs, SimFloatOrder order);
// "ABCD", "BADC", "DCBA" by name; anything else CDAB (the probe definitions' rule).
SimFloatOrder simFloatOrderOf(const std::string& dataFmt);

struct SimLineSettings {
    int baud = 0;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
    bool operator==(const SimLineSettings&) const = default;
};

struct SimFrame {
    bool fromMaster = true;
    std::vector<uint8_t> bytes;
    int64_t steadyMicros = 0;
};

enum class SimFault { Silent, Exception, BadCrc, Late };

class ProbeBusSim {
public:
    // Registers of one probe, keyed by register number as the definitions count them (from 1).
    using RegisterMap = std::map<uint32_t, uint16_t>;
    // Called (under the simulator's lock) after a successful write: probe address, first
    // register number, the values written. May change the probe through the given map.
    using WriteHook = std::function<void(int addr, uint32_t reg, const std::vector<uint16_t>& values, RegisterMap& regs)>;

    ProbeBusSim();
    ~ProbeBusSim();
    ProbeBusSim(const ProbeBusSim&) = delete;
    ProbeBusSim& operator=(const ProbeBusSim&) = delete;

    // Path of the pseudo-terminal's slave side: the serial device to give the master.
    const std::string& devicePath() const { return slavePath_; }

    // ---- probes -----------------------------------------------------------------------------
    void addProbe(int addr, RegisterMap regs);
    void removeProbe(int addr);
    bool hasProbe(int addr) const;
    void setSilent(int addr, bool silent);
    void setRegister(int addr, uint32_t reg, uint16_t value);
    void setU32(int addr, uint32_t reg, uint32_t value);  // low-order word first
    void setFloat(int addr, uint32_t reg, float value, SimFloatOrder order);
    std::optional<uint16_t> getRegister(int addr, uint32_t reg) const;
    uint32_t getU32(int addr, uint32_t reg) const;
    float getFloat(int addr, uint32_t reg, SimFloatOrder order) const;

    // The next `count` requests to addr get this fault (exceptionCode for Exception).
    void scriptFault(int addr, SimFault fault, int count = 1, uint8_t exceptionCode = 4);
    // The next `count` requests to addr are answered delayMs late (the simulator is busy meanwhile,
    // as a probe on a half-duplex line would be).
    void scriptLateAnswer(int addr, int delayMs, int count = 1);
    // Reads of reg return these values one after another; the last one stays.
    void scriptReads(int addr, uint32_t reg, std::vector<uint16_t> values);
    void setWriteHook(int addr, WriteHook hook);
    // A write of 1..247 to addressReg makes the probe answer at that address: at once after the
    // reply, or, when rebootReg is not 0, after the next write to rebootReg.
    void setAddressRegister(int addr, uint32_t addressReg, uint32_t rebootReg = 0);
    // Puts a frame (a CRC is added) on the line unasked, as a device answering out of turn would.
    void inject(std::vector<uint8_t> pdu) { writeFrame(std::move(pdu), false); }
    // Replies are sent after this delay.
    void setResponseDelayMs(int ms) { delayMs_ = ms; }

    // ---- line --------------------------------------------------------------------------------
    // The settings the master applied to the line (termios of the pty).
    SimLineSettings lineSettings() const;
    // When set, requests arriving while the line is configured otherwise are ignored.
    void expectLine(std::optional<SimLineSettings> expected);
    int mismatchedLineRequests() const { return lineMismatches_.load(); }

    // ---- record -------------------------------------------------------------------------------
    // The recorded frames (at most the latest 100000) and their counters.
    std::vector<SimFrame> frames() const;
    void clearFrames();                         // also restarts requestCount()
    size_t requestCount() const;                // frames from the master since the last clearFrames
    size_t requestCount(int addr) const;        // valid frames from the master to addr
    uint64_t bytesOnLine() const { return bytes_.load(); }  // both directions
    void resetByteCount() { bytes_ = 0; }
    int badFrames() const { return badFrames_.load(); }

private:
    struct Probe {
        RegisterMap regs;
        bool silent = false;
        std::vector<std::pair<SimFault, uint8_t>> faults;
        std::map<uint32_t, std::vector<uint16_t>> scripted;
        WriteHook hook;
        uint32_t addressReg = 0;
        uint32_t rebootReg = 0;
        int pendingAddr = 0;
        int lateMs = 0;
        size_t requests = 0;
    };

    void run();
    void onDeviceEvents();
    void handleBytes(const uint8_t* data, size_t n);
    void processFrame(const std::vector<uint8_t>& frame);
    void writeFrame(std::vector<uint8_t> pdu, bool corrupt);
    void record(bool fromMaster, const uint8_t* data, size_t n);
    static int64_t nowMicros();

    int masterFd_ = -1;
    int slaveFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int watchFd_ = -1;  // inotify: opens and closes of the device by masters
    int openers_ = 0;
    termios rest_{};    // the simulator's own line settings
    std::string slavePath_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> delayMs_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<int> badFrames_{0};
    std::atomic<int> lineMismatches_{0};

    mutable std::mutex mutex_;
    std::map<int, Probe> probes_;
    static constexpr size_t kMaxFrames = 100000;
    std::vector<SimFrame> frames_;
    size_t requests_ = 0;
    std::optional<SimLineSettings> expected_;
    std::vector<uint8_t> rx_;
    int64_t lastRxMicros_ = 0;
};

}  // namespace orvane::test
