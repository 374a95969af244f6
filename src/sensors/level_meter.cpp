// Interface level meter: request frame, raw record reception and the data file.
//
// Reception (read_n_bytes): the descriptor is non-blocking for the duration. Each round waits up
// to pollWaitMs for input and reads what is there. Reading ends when length bytes arrived or
// after 40 waits that ended without input; when more than 10 waits end without any byte having
// arrived at all, it gives up with -1. A read error other than EINTR/EAGAIN gives -1. The
// descriptor's flags are put back in every case.
#include "sensors/level_meter.h"

#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <fmt/format.h>
#include <modbus/modbus.h>
#include <nlohmann/json.hpp>

#include "platform/serial_line.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

// ---- settings -----------------------------------------------------------------------------------

void loadInterfaceMeterSettings(const std::string& path, InterfaceMeterSettings& out) {
    nlohmann::ordered_json doc;
    if (!Utility::loadJson(path, doc)) throw std::runtime_error("cannot read " + path);
    if (!doc.is_object()) throw std::runtime_error(path + ": not a JSON object");
    auto volts = doc.find("wave_voltages");
    if (volts == doc.end()) throw std::runtime_error(path + ": \"wave_voltages\" missing");
    if (!volts->is_array()) throw std::runtime_error(path + ": \"wave_voltages\" is not an array");
    auto cycle = doc.find("cycle_seconds");
    if (cycle == doc.end()) throw std::runtime_error(path + ": \"cycle_seconds\" missing");
    if (!cycle->is_number()) throw std::runtime_error(path + ": \"cycle_seconds\" is not a number");

    InterfaceMeterSettings s;
    s.voltages.clear();
    for (const auto& v : *volts) {
        if (!v.is_number_integer() && !v.is_number_unsigned())
            throw std::runtime_error(path + ": \"wave_voltages\" holds a value that is not an integer");
        const int64_t x = v.get<int64_t>();
        if (x < 0 || x > 65535) throw std::runtime_error(path + ": \"wave_voltages\" value outside 0..65535");
        s.voltages.push_back(static_cast<int>(x));
    }
    if (s.voltages.size() > 64) throw std::runtime_error(path + ": more than 64 \"wave_voltages\"");
    const double secs = cycle->get<double>();
    if (!std::isfinite(secs) || secs < 1 || secs > 31536000.0) throw std::runtime_error(path + ": \"cycle_seconds\" outside 1..31536000");
    s.cycleSeconds = static_cast<int64_t>(secs);
    out = std::move(s);
}

// ---- LibModbusExt -----------------------------------------------------------------------------

LibModbusExt::LibModbusExt(modbus_t* ctx) : ctx_(ctx), buffer_(std::make_unique<std::array<uint8_t, kRecordBytes>>()) {}

LibModbusExt::~LibModbusExt() = default;

uint16_t LibModbusExt::crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

int LibModbusExt::build_modbus_write_registers_frame(int slave, int start, const uint16_t* values, int count, uint8_t* buffer,
                                                     size_t bufferSize) {
    if (count < 1 || count > 123 || slave < 0 || slave > 247 || start < 0 || start > 65535 || !values || !buffer) return -1;
    if (static_cast<size_t>((count + 4) * 2) >= bufferSize) {
        std::cerr << "Error: Frame buffer size too small." << std::endl;
        return -1;
    }
    size_t n = 0;
    buffer[n++] = static_cast<uint8_t>(slave);
    buffer[n++] = 0x10;
    buffer[n++] = static_cast<uint8_t>(start >> 8);
    buffer[n++] = static_cast<uint8_t>(start & 0xFF);
    buffer[n++] = static_cast<uint8_t>(count >> 8);
    buffer[n++] = static_cast<uint8_t>(count & 0xFF);
    buffer[n++] = static_cast<uint8_t>(2 * count);
    for (int i = 0; i < count; ++i) {
        buffer[n++] = static_cast<uint8_t>(values[i] >> 8);
        buffer[n++] = static_cast<uint8_t>(values[i] & 0xFF);
    }
    const uint16_t crc = crc16(buffer, n);
    buffer[n++] = static_cast<uint8_t>(crc & 0xFF);
    buffer[n++] = static_cast<uint8_t>(crc >> 8);
    return static_cast<int>(n);
}

int LibModbusExt::send_to_level_meter(int slave, int value) {
    uint8_t frame[32];
    const uint16_t v = static_cast<uint16_t>(value);
    const int len = build_modbus_write_registers_frame(slave, kSetpointRegister, &v, 1, frame, sizeof frame);
    if (len < 0) {
        std::cerr << "Failed to build frame." << std::endl;
        return -1;
    }
    std::string hex;
    for (int i = 0; i < len; ++i) hex += fmt::format("{:02X} ", frame[i]);
    std::cout << "Built Modbus Frame: " << hex << std::endl;
    if (!ctx_) {
        std::cerr << "Failed to send frame: no bus context." << std::endl;
        return -1;
    }
    // libmodbus adds the RTU framing (the CRC) itself.
    const int rc = modbus_send_raw_request(ctx_, frame, len - 2);
    if (rc < 0) throw std::runtime_error(modbus_strerror(errno));
    return rc;
}

int LibModbusExt::read_n_bytes(int fd, uint8_t* buffer, size_t length) const {
    if (fd < 0 || !buffer) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;

    size_t total = 0;
    int emptyWaits = 0;
    int result = 0;
    while (total < length) {
        pollfd p{fd, POLLIN, 0};
        const int pr = ::poll(&p, 1, pollWaitMs_);
        if (pr < 0) {
            if (errno == EINTR) continue;
            result = -1;
            break;
        }
        if (pr == 0) {
            ++emptyWaits;
            if (total == 0 && emptyWaits > kMaxSilentWaits) {
                result = -1;
                break;
            }
            if (emptyWaits >= kMaxEmptyWaits) break;
            continue;
        }
        const ssize_t n = ::read(fd, buffer + total, length - total);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            result = -1;
            break;
        }
        if (n == 0) {
            // Hang-up on the line: count it as a wait without input.
            ++emptyWaits;
            if ((total == 0 && emptyWaits > kMaxSilentWaits) || emptyWaits >= kMaxEmptyWaits) {
                result = total == 0 ? -1 : 0;
                break;
            }
            continue;
        }
        total += static_cast<size_t>(n);
        std::cout << "in read_n_bytes " << n << " tatal_read/length " << (total * 100 / length) << std::endl;
    }
    fcntl(fd, F_SETFL, flags);
    if (result < 0) return -1;
    return static_cast<int>(total);
}

int LibModbusExt::receive_wave_data() {
    received_ = 0;
    if (!ctx_) return -1;
    const int fd = modbus_get_socket(ctx_);
    std::cout << "serial_fd " << fd << std::endl;
    const int n = read_n_bytes(fd, buffer_->data(), kRecordBytes);
    if (n < 0) {
        std::cerr << "Read error: " << modbus_strerror(errno) << std::endl;
        return -1;
    }
    received_ = static_cast<size_t>(n);
    std::string hex;
    hex.reserve(static_cast<size_t>(n) * 3);
    for (int i = 0; i < n; ++i) hex += fmt::format("{:02X} ", (*buffer_)[static_cast<size_t>(i)]);
    std::cout << "Received Response: " << hex << std::endl;
    return n;
}

int LibModbusExt::sendcmd_receive_data(int slave, int value) {
    namespace line = orvane::platform::serial;
    const int fd = ctx_ ? modbus_get_socket(ctx_) : -1;
    if (ctx_) modbus_flush(ctx_);
    line::discardWaiting(fd);
    if (send_to_level_meter(slave, value) < 0) return -1;
    const int n = receive_wave_data();
    if (n != static_cast<int>(kRecordBytes)) {
        // No whole record: the meter may still be answering. The next request waits until the line
        // has been silent as long as a first byte is waited for, so that a late record is
        // discarded instead of being taken for the answer to the next voltage.
        const std::chrono::milliseconds quiet(static_cast<int64_t>(pollWaitMs_) * kMaxSilentWaits);
        const size_t dropped = line::awaitSilence(fd, quiet, std::chrono::steady_clock::now(), quiet * 10);
        if (dropped > 0) std::cerr << "Discarded " << dropped << " bytes of a late answer." << std::endl;
    }
    return n;
}

// ---- InterfaceMeterPack -------------------------------------------------------------------------

InterfaceMeterPack::InterfaceMeterPack() : wave(std::make_unique<std::array<uint16_t, LibModbusExt::kWaveSamples>>()) {}

InterfaceMeterPack::~InterfaceMeterPack() { close_file(); }

bool InterfaceMeterPack::open_file(const std::string& name) {
    close_file();
    timestamps.fill(0);
    turbidity.fill(0.0f);
    direct.fill(0);
    wave->fill(0);
    fileName_ = fmt::format("{}_{}.ini", name, TimeUtility::getTimeString(false, "%Y%m%d_%H%M%S"));
    Utility::ensureParentDirectoryExists(fileName_);
    file_ = std::fopen(fileName_.c_str(), "w");
    if (!file_) return false;
    std::fputs("[InterfaceLevelMeter]\n", file_);
    return true;
}

bool InterfaceMeterPack::takeWave(const uint8_t* record, size_t length) {
    if (!record || length != LibModbusExt::kRecordBytes) return false;
    const uint8_t* p = record + LibModbusExt::kRecordHeaderBytes;
    for (size_t i = 0; i < LibModbusExt::kWaveSamples; ++i)
        (*wave)[i] = static_cast<uint16_t>(p[2 * i] | (static_cast<uint16_t>(p[2 * i + 1]) << 8));
    return true;
}

namespace {
template <typename Range>
std::string joinValues(const Range& values) {
    std::string s;
    s.reserve(values.size() * 6);
    bool first = true;
    for (const auto& v : values) {
        if (!first) s += ',';
        first = false;
        s += fmt::format("{}", v);
    }
    return s;
}
}  // namespace

bool InterfaceMeterPack::save_wave_data(int position) {
    if (!file_) return false;
    const std::string line = fmt::format("wavedata_{} = {}\n", position, joinValues(*wave));
    return std::fputs(line.c_str(), file_) >= 0;
}

bool InterfaceMeterPack::save_data() {
    if (!file_) return false;
    const std::string text = fmt::format("timestamps = {}\nturbidity = {}\ndirect = {}\n", joinValues(timestamps), joinValues(turbidity),
                                         joinValues(direct));
    return std::fputs(text.c_str(), file_) >= 0;
}

void InterfaceMeterPack::close_file() {
    if (!file_) return;
    std::fflush(file_);
    fsync(fileno(file_));
    std::fclose(file_);
    file_ = nullptr;
}
