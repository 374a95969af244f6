#include <cstring>
#include "sensors/rtu_master.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <modbus/modbus.h>

#include "platform/clock.h"
#include "platform/serial_line.h"

std::atomic<int32_t> gRetryMaxNum{5};
fss::basic_str<char, 16> gDataFmt;

namespace {
using namespace std::chrono_literals;
constexpr auto kSelectPause = 10ms;
constexpr auto kReadRetryPause = 500ms;
constexpr auto kWriteRetryPause = 1000ms;
// A line that never falls silent is given up on after this many response time-outs.
constexpr int kSettleLimitTimeouts = 10;

// A Modbus exception is a whole, matching answer: the probe has finished with the request.
bool isExceptionAnswer(int err) { return err > MODBUS_ENOBASE && err < EMBBADCRC; }
}  // namespace

RtuMaster::~RtuMaster() { closeSerial(); }

bool RtuMaster::init(const std::string& device, int baud, char parity, int timeoutMs) {
    closeSerial();
    ctx_ = modbus_new_rtu(device.c_str(), baud, parity, 8, 1);
    if (!ctx_) {
        int err = errno;
        SLOG_INFO(SENSOR, " *** RtuMaster open: {}, code:{}, msg:{}", device, -1, modbus_strerror(err));
        return false;
    }
    modbus_set_debug(ctx_, is_model_output(LogModule::LIBMODBUS, LogLevel::DEBUG) ? TRUE : FALSE);
    int rc = modbus_connect(ctx_);
    int err = errno;
    set_time_out(timeoutMs);
    SLOG_INFO(SENSOR, " *** RtuMaster open: {}, code:{}, msg:{}", device, rc, modbus_strerror(err));
    if (rc < 0) {
        // A line that did not open is not kept half-open: every transfer fails at once.
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    opening_ = Opening{std::chrono::steady_clock::now(), std::chrono::milliseconds(timeoutMs_)};
    return true;
}

int RtuMaster::set_time_out(int ms) {
    int previous = timeoutMs_;
    int t = std::max(ms, kMinTimeoutMs);
    timeoutMs_ = t;
    if (ctx_) modbus_set_response_timeout(ctx_, static_cast<uint32_t>(t / 1000), static_cast<uint32_t>((t % 1000) * 1000));
    return previous;
}

void RtuMaster::delayFirstRequestUntil(std::chrono::steady_clock::time_point t) {
    if (opening_) opening_->notBefore = std::max(opening_->notBefore, t);
}

void RtuMaster::closeSerial() {
    if (!ctx_) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
    opening_.reset();
}

std::string RtuMaster::getErrorMsg(int) const { return {}; }

float RtuMaster::decodeFloat(const uint16_t* regs, std::string_view fmt) {
    if (fmt == "ABCD") return modbus_get_float_abcd(regs);
    if (fmt == "BADC") return modbus_get_float_badc(regs);
    if (fmt == "DCBA") return modbus_get_float_dcba(regs);
    return modbus_get_float_cdab(regs);
}

void RtuMaster::encodeFloat(float v, uint16_t* regs, std::string_view fmt) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const uint16_t a = static_cast<uint16_t>(bits >> 24), b = static_cast<uint16_t>((bits >> 16) & 0xFF);
    const uint16_t c = static_cast<uint16_t>((bits >> 8) & 0xFF), d = static_cast<uint16_t>(bits & 0xFF);
    if (fmt == "ABCD") {
        regs[0] = static_cast<uint16_t>(a << 8 | b);
        regs[1] = static_cast<uint16_t>(c << 8 | d);
    } else if (fmt == "BADC") {
        regs[0] = static_cast<uint16_t>(b << 8 | a);
        regs[1] = static_cast<uint16_t>(d << 8 | c);
    } else if (fmt == "DCBA") {
        regs[0] = static_cast<uint16_t>(d << 8 | c);
        regs[1] = static_cast<uint16_t>(b << 8 | a);
    } else {
        regs[0] = static_cast<uint16_t>(c << 8 | d);
        regs[1] = static_cast<uint16_t>(a << 8 | b);
    }
}

void RtuMaster::encodeFloatForWrite(float v, uint16_t* regs) { encodeFloat(v, regs, gDataFmt.view()); }

template <typename Transfer>
BusResult RtuMaster::transfer(int slave, int reg, int count, int maxCount, bool isWrite, Transfer&& fn) {
    if (!ctx_) return BusResult{0, -1};
    if (slave < kFirstSlave || slave > kLastSlave) {
        SLOG_WARN(SENSOR, "Modbus address {} refused: outside {}..{}", slave, kFirstSlave, kLastSlave);
        return BusResult{0, -1};
    }
    if (count < 1) return BusResult{0, -1};
    const int regsPerValue = kMaxRegistersPerRead / maxCount;
    if (reg < 1 || reg - 1 + std::min(count, maxCount) * regsPerValue > 65536) {
        SLOG_WARN(SENSOR, "register {} refused: outside 1..65536", reg);
        return BusResult{0, -1};
    }
    if (count > maxCount) {
        if (isWrite) {
            SLOG_WARN(SENSOR, "write of {} values refused: at most {} per transfer", count, maxCount);
            return BusResult{0, -1};
        }
        count = maxCount;
    }
    if (modbus_set_slave(ctx_, slave) < 0) return BusResult{0, -1};
    auto& clock = orvane::platform::Clock::get();
    clock.sleepFor(kSelectPause);
    // A line just opened may still carry the answer to a request sent before (the pass-through's
    // last one, say): the first request waits for it as for a failed attempt's.
    if (opening_) {
        awaitSilence(opening_->at, opening_->quiet, "arriving on the line just opened", opening_->notBefore);
        opening_.reset();
    }
    const int attempts = std::max<int32_t>(1, gRetryMaxNum.load());
    int rc = -1;
    for (int i = 0; i < attempts; ++i) {
        discardWaiting();
        rc = fn(count);
        if (rc >= 0) return BusResult{i, rc};
        const bool answered = isExceptionAnswer(errno);
        const auto failedAt = std::chrono::steady_clock::now();
        clock.sleepFor(isWrite ? kWriteRetryPause : kReadRetryPause);
        if (!answered) awaitSilence(failedAt, std::chrono::milliseconds(timeoutMs_), "of a late or refused answer");
    }
    return BusResult{attempts, rc};
}

void RtuMaster::discardWaiting() {
    if (!ctx_) return;
    // Read (and counted) before libmodbus's flush, which would drop them without a word.
    const size_t n = orvane::platform::serial::discardWaiting(modbus_get_socket(ctx_));
    modbus_flush(ctx_);
    if (n > 0) SLOG_INFO(SENSOR, "probe bus: {} bytes waiting before a request discarded", n);
}

void RtuMaster::awaitSilence(std::chrono::steady_clock::time_point silentSince, std::chrono::milliseconds quiet,
                             std::string_view what, std::chrono::steady_clock::time_point notBefore) {
    if (!ctx_) return;
    const size_t n = orvane::platform::serial::awaitSilence(modbus_get_socket(ctx_), quiet, silentSince,
                                                            quiet * kSettleLimitTimeouts, notBefore);
    if (n > 0) SLOG_INFO(SENSOR, "probe bus: {} bytes {} discarded", n, what);
}

BusResult RtuMaster::read(int slave, int reg, uint16_t* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead, false,
                    [&](int n) { return modbus_read_registers(ctx_, reg - 1, n, values); });
}

BusResult RtuMaster::read(int slave, int reg, uint32_t* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead / 2, false, [&](int n) {
        uint16_t regs[kMaxRegistersPerRead] = {};
        int rc = modbus_read_registers(ctx_, reg - 1, n * 2, regs);
        if (rc >= 0)
            for (int i = 0; i < n; ++i) values[i] = decodeU32(&regs[2 * i]);
        return rc;
    });
}

BusResult RtuMaster::read(int slave, int reg, float* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead / 2, false, [&](int n) {
        uint16_t regs[kMaxRegistersPerRead] = {};
        int rc = modbus_read_registers(ctx_, reg - 1, n * 2, regs);
        if (rc >= 0)
            for (int i = 0; i < n; ++i) values[i] = decodeFloat(&regs[2 * i], gDataFmt.view());
        return rc;
    });
}

BusResult RtuMaster::write(int slave, int reg, const uint16_t* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead, true,
                    [&](int n) { return modbus_write_registers(ctx_, reg - 1, n, values); });
}

BusResult RtuMaster::write(int slave, int reg, const uint32_t* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead / 2, true, [&](int n) {
        uint16_t regs[kMaxRegistersPerRead] = {};
        for (int i = 0; i < n; ++i) encodeU32(values[i], &regs[2 * i]);
        return modbus_write_registers(ctx_, reg - 1, n * 2, regs);
    });
}

BusResult RtuMaster::write(int slave, int reg, const float* values, int count) {
    return transfer(slave, reg, count, kMaxRegistersPerRead / 2, true, [&](int n) {
        uint16_t regs[kMaxRegistersPerRead] = {};
        for (int i = 0; i < n; ++i) encodeFloatForWrite(values[i], &regs[2 * i]);
        return modbus_write_registers(ctx_, reg - 1, n * 2, regs);
    });
}

std::string getBusProtocolErrorText(int* (*errnoLocation)()) {
    if (!errnoLocation) return {};
    int* e = errnoLocation();
    return e ? std::string(modbus_strerror(*e)) : std::string{};
}
