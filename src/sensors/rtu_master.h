#pragma once
// The gateway's Modbus RTU master on the RS-485 line (libmodbus RTU back end), and the typed
// register access that the probe command set uses.
//
// Registers are numbered from 1 as in the probe definitions; the wire address is one less.
// Reads use function code 3 (read holding registers), writes function code 16 (write multiple
// registers). Every transfer selects the slave, pauses 10 ms and makes up to gRetryMaxNum
// attempts, pausing 500 ms after a failed read and 1 s after a failed write (also after the
// last). Pauses go through the platform clock.
//
// An RTU answer carries no transaction number, so the master keeps the line in step: before each
// attempt it discards whatever waits on the line, and after an attempt that timed out or whose
// answer was refused (CRC, address, function, length) it sends nothing until the line has been
// silent for the response time-out, discarding what arrives meanwhile. The retry pause counts
// towards that silence. A Modbus exception answer is a whole answer and needs no waiting.
// A line just opened (at start-up, with new settings, or taken back from the pass-through, whose
// last request may still be answered) is treated alike: the first transfer after init() sends
// nothing until the line has been silent, since the opening, for the response time-out init()
// was given (a time-out changed afterwards for a scan does not shorten that wait). The owner can
// make that first transfer also wait until a given moment (delayFirstRequestUntil): the probe
// service does so at the take-back, so that a pass-through client's answer later than one time-out
// is discarded too. A line that keeps talking delays the first request by at most that moment plus
// ten time-outs.
//
// Not thread-safe: one thread (the probe service) owns the master, gRetryMaxNum and gDataFmt.
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "utils/fss.h"
#include "utils/log.h"

typedef struct _modbus modbus_t;

// Attempts per bus transfer (a value below 1 still makes one attempt).
extern std::atomic<int32_t> gRetryMaxNum;
// Float byte order of the probe being addressed: "ABCD", "BADC", "DCBA"; anything else is CDAB.
extern fss::basic_str<char, 16> gDataFmt;

// Outcome of one transfer: the index of the attempt that succeeded (the attempt count when all
// failed) and libmodbus's result (registers transferred, or -1).
struct BusResult {
    int32_t tryNum = 0;
    int32_t result = -1;
    bool ok() const { return result >= 0; }
};

class RtuMaster {
public:
    static constexpr int kMinTimeoutMs = 500;
    static constexpr int kMaxRegistersPerRead = 20;
    static constexpr int kFirstSlave = 1;
    static constexpr int kLastSlave = 247;

    RtuMaster() = default;
    ~RtuMaster();
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

    // Opens the line (8 data bits, 1 stop bit; parity 'N', 'O' or 'E'); the response time-out
    // becomes max(timeoutMs, 500). True when the line opened.
    bool init(const std::string& device, int baud, char parity, int timeoutMs);
    // Sets the response time-out to max(ms, 500) and returns the previous value.
    int set_time_out(int ms);
    int timeoutMs() const { return timeoutMs_; }
    void closeSerial();
    bool isOpen() const { return ctx_ != nullptr; }
    // The first transfer after the last init() also sends nothing before `t`, discarding what
    // arrives until then. No effect on a closed line or once that transfer has run.
    void delayFirstRequestUntil(std::chrono::steady_clock::time_point t);

    // count counts values: at most 20 16-bit values or 10 32-bit/float values per transfer.
    // A slave outside 1..247, a closed line, a register outside 1..65536 or a count below 1
    // fails at once: no traffic, no pause. A write of more values than fit is refused the same way.
    BusResult read(int slave, int reg, float* values, int count);
    BusResult read(int slave, int reg, uint16_t* values, int count);
    BusResult read(int slave, int reg, uint32_t* values, int count);
    BusResult write(int slave, int reg, const float* values, int count);
    BusResult write(int slave, int reg, const uint16_t* values, int count);
    BusResult write(int slave, int reg, const uint32_t* values, int count);

    std::string getErrorMsg(int code) const;
    void test() {}

    // Register codecs (also used by tests and the simulated bus).
    // u32: low-order word first.
    static void encodeU32(uint32_t v, uint16_t* regs) {
        regs[0] = static_cast<uint16_t>(v & 0xFFFF);
        regs[1] = static_cast<uint16_t>(v >> 16);
    }
    static uint32_t decodeU32(const uint16_t* regs) { return static_cast<uint32_t>(regs[0]) | (static_cast<uint32_t>(regs[1]) << 16); }
    // Float in the order named by fmt ("ABCD", "BADC", "DCBA", else CDAB).
    static float decodeFloat(const uint16_t* regs, std::string_view fmt);
    // Float in the order named by fmt, the exact inverse of decodeFloat: a value written to a
    // probe reads back unchanged in the probe's own order. For CDAB (the default) the registers
    // are those of libmodbus's DCBA setter as packaged here.
    static void encodeFloat(float v, uint16_t* regs, std::string_view fmt);
    // Float as this master writes it: in the current probe's order (gDataFmt).
    static void encodeFloatForWrite(float v, uint16_t* regs);

private:
    // Whatever waits on the line now is thrown away.
    void discardWaiting();
    // Waits, discarding, until the line has been silent for `quiet` since silentSince (a failed
    // attempt, or the opening); `what` names the discarded bytes in the log.
    void awaitSilence(std::chrono::steady_clock::time_point silentSince, std::chrono::milliseconds quiet, std::string_view what,
                      std::chrono::steady_clock::time_point notBefore = {});
    template <typename Transfer>
    BusResult transfer(int slave, int reg, int count, int maxCount, bool isWrite, Transfer&& fn);

    int timeoutMs_ = 1000;
    modbus_t* ctx_ = nullptr;
    // Set by init() until the first transfer: the line has not yet been seen silent since it was
    // opened, the silence it needs, and the moment before which nothing is sent.
    struct Opening {
        std::chrono::steady_clock::time_point at;
        std::chrono::milliseconds quiet;
        std::chrono::steady_clock::time_point notBefore{};
    };
    std::optional<Opening> opening_;
};

// libmodbus's text for the current error number.
std::string getBusProtocolErrorText(int* (*errnoLocation)());

// ---- typed register access --------------------------------------------------------------------

enum class RegKind { U32, FLOAT, U16, UNKNOWN };
// "uint"/"UINT32", "float"/"FLOAT", "ushort"/"UINT16" (case-sensitive); anything else UNKNOWN.
constexpr RegKind regKindOf(std::string_view t) {
    if (t == "uint" || t == "UINT32") return RegKind::U32;
    if (t == "float" || t == "FLOAT") return RegKind::FLOAT;
    if (t == "ushort" || t == "UINT16") return RegKind::U16;
    return RegKind::UNKNOWN;
}

template <typename T>
struct ReadResult {
    int32_t tryNum = 0;
    std::array<T, 20> values{};
    int32_t result = 0;
    bool ok() const { return result >= 0; }
};

namespace rtu_detail {
// Float to integer toward zero, saturating; NaN gives 0.
template <typename I>
I toIntegral(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (v >= static_cast<double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}
template <typename T, typename S>
T convertElement(S v) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(v);
    } else if constexpr (std::is_floating_point_v<S>) {
        return toIntegral<T>(static_cast<double>(v));
    } else {
        return static_cast<T>(v);
    }
}
}  // namespace rtu_detail

// Reads count values of regType at reg. T is uint32_t, float or uint16_t. An unknown type word
// logs one line and returns try number 0, zero values and result 0, without bus traffic.
template <typename T>
ReadResult<T> readModbus(RtuMaster& master, int slave, int reg, std::string_view regType, int count) {
    ReadResult<T> out;
    switch (regKindOf(regType)) {
        case RegKind::U32: {
            std::array<uint32_t, 20> raw{};
            int n = count > 10 ? 10 : count;
            BusResult r = master.read(slave, reg, raw.data(), n);
            out.tryNum = r.tryNum;
            out.result = r.result;
            if (r.ok())
                for (int i = 0; i < n; ++i) out.values[static_cast<size_t>(i)] = rtu_detail::convertElement<T>(raw[static_cast<size_t>(i)]);
            break;
        }
        case RegKind::FLOAT: {
            std::array<float, 20> raw{};
            int n = count > 10 ? 10 : count;
            BusResult r = master.read(slave, reg, raw.data(), n);
            out.tryNum = r.tryNum;
            out.result = r.result;
            if (r.ok())
                for (int i = 0; i < n; ++i) out.values[static_cast<size_t>(i)] = rtu_detail::convertElement<T>(raw[static_cast<size_t>(i)]);
            break;
        }
        case RegKind::U16: {
            std::array<uint16_t, 20> raw{};
            int n = count > 20 ? 20 : count;
            BusResult r = master.read(slave, reg, raw.data(), n);
            out.tryNum = r.tryNum;
            out.result = r.result;
            if (r.ok())
                for (int i = 0; i < n; ++i) out.values[static_cast<size_t>(i)] = rtu_detail::convertElement<T>(raw[static_cast<size_t>(i)]);
            break;
        }
        case RegKind::UNKNOWN:
            SLOG_INFO(SENSOR, "unimplemented type {}", regType);
            out.tryNum = 0;
            out.result = 0;
            break;
    }
    return out;
}

// Writes one value (integer or float) in the form regType names. An unknown type word logs one
// line, writes nothing and returns {0, 0}.
template <typename V>
BusResult writeModbus(RtuMaster& master, int slave, int reg, V value, std::string_view regType) {
    static_assert(std::is_arithmetic_v<V>);
    switch (regKindOf(regType)) {
        case RegKind::U32: {
            uint32_t v;
            if constexpr (std::is_floating_point_v<V>)
                v = static_cast<uint32_t>(rtu_detail::toIntegral<int64_t>(static_cast<double>(value)));
            else
                v = static_cast<uint32_t>(value);
            return master.write(slave, reg, &v, 1);
        }
        case RegKind::FLOAT: {
            float v = static_cast<float>(value);
            return master.write(slave, reg, &v, 1);
        }
        case RegKind::U16: {
            uint16_t v;
            if constexpr (std::is_floating_point_v<V>)
                v = static_cast<uint16_t>(rtu_detail::toIntegral<int64_t>(static_cast<double>(value)));
            else
                v = static_cast<uint16_t>(value);
            return master.write(slave, reg, &v, 1);
        }
        case RegKind::UNKNOWN:
            break;
    }
    SLOG_INFO(SENSOR, "Unsupported data type {}", regType);
    return BusResult{0, 0};
}
