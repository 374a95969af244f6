#pragma once
// Interface level meter on the probe bus (Modbus address 66).
//
// The meter takes a voltage set-point as an ordinary register write (function 16, register
// 49107) and answers with one raw wave record of 33544 bytes that does not fit a Modbus response.
// LibModbusExt builds the request frame itself, sends it through libmodbus's raw-request call and
// reads the record straight from the serial descriptor. InterfaceMeterPack writes the received
// waves to a text data file.
//
// Record layout: 8 leading bytes, then 16768 samples of two bytes, low byte first.
//
// Settings (runtime/interfacemeter.json under the install root, JSON):
//   "wave_voltages": [30, 50, 70]   set-points of one cycle, in order (0..65535 each)
//   "cycle_seconds": 300            period between cycles in seconds (> 0)
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

typedef struct _modbus modbus_t;

struct InterfaceMeterSettings {
    std::vector<int> voltages{30, 50, 70};
    int64_t cycleSeconds = 300;
};

// Reads the settings file. Throws std::runtime_error with a readable text when the file cannot be
// read, a key is missing, or a value has the wrong type or range; out is untouched then.
void loadInterfaceMeterSettings(const std::string& path, InterfaceMeterSettings& out);

class LibModbusExt {
public:
    static constexpr int kSlave = 66;
    static constexpr int kSetpointRegister = 49107;  // 0xBFD3, on the wire as is
    static constexpr size_t kRecordBytes = 33544;
    static constexpr size_t kRecordHeaderBytes = 8;
    static constexpr size_t kWaveSamples = 16768;
    static constexpr int kMaxEmptyWaits = 40;      // waits without input that end a record
    static constexpr int kMaxSilentWaits = 10;     // more waits than this with nothing at all: -1

    // ctx: the RTU context of the probe bus (not owned; may be set later).
    explicit LibModbusExt(modbus_t* ctx = nullptr);
    ~LibModbusExt();
    LibModbusExt(const LibModbusExt&) = delete;
    LibModbusExt& operator=(const LibModbusExt&) = delete;

    void setContext(modbus_t* ctx) { ctx_ = ctx; }
    modbus_t* context() const { return ctx_; }
    // Length of one wait for input in read_n_bytes (1000 ms in production).
    void setPollWaitMs(int ms) { pollWaitMs_ = ms; }
    int pollWaitMs() const { return pollWaitMs_; }

    // CRC-16/MODBUS (initial 0xFFFF, reflected polynomial 0xA001).
    static uint16_t crc16(const uint8_t* data, size_t length);
    // Function-16 request: slave, 0x10, start hi/lo, count hi/lo, 2*count, values (high byte
    // first), CRC low byte first. Returns 9 + 2*count, or -1 (buffer too small or bad argument).
    static int build_modbus_write_registers_frame(int slave, int start, const uint16_t* values, int count, uint8_t* buffer,
                                                  size_t bufferSize);
    // Writes value to register 49107 of slave. Returns the count libmodbus sent; throws
    // std::runtime_error with libmodbus's text when the send fails, and returns -1 when the frame
    // cannot be built or there is no context.
    int send_to_level_meter(int slave, int value);
    // Reads up to length bytes from fd (see the header comment of the .cpp for the waiting rules).
    // Returns the count read, or -1.
    int read_n_bytes(int fd, uint8_t* buffer, size_t length) const;
    // One wave record into the receive buffer; the count read, or -1.
    int receive_wave_data();
    // send_to_level_meter, then receive_wave_data; -1 when the send fails (a send error throws).
    // Whatever waits on the line is discarded before the request. When no whole record came, it
    // returns only after the line has been silent for kMaxSilentWaits waits, discarding what
    // arrives meanwhile: a late record is never read as the answer to the next request.
    int sendcmd_receive_data(int slave, int value);

    const uint8_t* buffer() const { return buffer_->data(); }
    size_t received() const { return received_; }

private:
    modbus_t* ctx_ = nullptr;
    int pollWaitMs_ = 1000;
    std::unique_ptr<std::array<uint8_t, kRecordBytes>> buffer_;
    size_t received_ = 0;
};

// Writes the recorded waves of the level meter to "<name>_<local %Y%m%d_%H%M%S>.ini".
class InterfaceMeterPack {
public:
    static constexpr size_t kRecordPoints = 100;

    InterfaceMeterPack();
    ~InterfaceMeterPack();
    InterfaceMeterPack(const InterfaceMeterPack&) = delete;
    InterfaceMeterPack& operator=(const InterfaceMeterPack&) = delete;

    // Creates (truncating) the data file, writes the "[InterfaceLevelMeter]" line and clears all
    // record data. False when the file cannot be created (parent directories are created).
    bool open_file(const std::string& name);
    // Copies the samples of a whole record (as received by LibModbusExt). False, nothing changed,
    // for a record of another length.
    bool takeWave(const uint8_t* record, size_t length);
    // "wavedata_<position> = s1,s2,...": the wave held now.
    bool save_wave_data(int position);
    // "timestamps = ...", "turbidity = ...", "direct = ...".
    bool save_data();
    void close_file();
    bool isOpen() const { return file_ != nullptr; }
    const std::string& fileName() const { return fileName_; }

    std::array<int32_t, kRecordPoints> timestamps{};
    std::array<float, kRecordPoints> turbidity{};
    std::array<int32_t, kRecordPoints> direct{};
    std::unique_ptr<std::array<uint16_t, LibModbusExt::kWaveSamples>> wave;

private:
    std::FILE* file_ = nullptr;
    std::string fileName_;
};
