// Interface level meter: frame bytes, raw record reception over a pseudo-terminal, the data file,
// the settings file and the measuring cycle of the probe service.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "rig.h"
#include "sensors/level_meter.h"
#include "support/probe_bus_sim.h"

// After the gateway headers: libmodbus defines ON and OFF as macros.
#include <modbus/modbus.h>

using namespace probe_test;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal whose master side plays the level meter.
class MeterLine {
public:
    MeterLine() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(master_, 0);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~MeterLine() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) close(master_);
    }
    const std::string& path() const { return path_; }

    // Answers each request: reply(value of the request) gives the bytes to send back.
    void serve(std::function<std::vector<uint8_t>(int value)> reply) {
        thread_ = std::thread([this, reply] {
            std::vector<uint8_t> rx;
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) {
                    if (p.revents & (POLLHUP | POLLERR)) std::this_thread::sleep_for(5ms);
                    continue;
                }
                uint8_t buf[64];
                const ssize_t n = read(master_, buf, sizeof buf);
                if (n <= 0) continue;
                rx.insert(rx.end(), buf, buf + n);
                while (rx.size() >= 11) {
                    std::vector<uint8_t> frame(rx.begin(), rx.begin() + 11);
                    rx.erase(rx.begin(), rx.begin() + 11);
                    {
                        std::lock_guard<std::mutex> lk(mutex_);
                        requests_.push_back(frame);
                    }
                    const std::vector<uint8_t> answer = reply((frame[7] << 8) | frame[8]);
                    size_t off = 0;
                    while (off < answer.size() && !stop_) {
                        const ssize_t w = write(master_, answer.data() + off, std::min<size_t>(4096, answer.size() - off));
                        if (w > 0) off += static_cast<size_t>(w);
                        else std::this_thread::sleep_for(1ms);
                    }
                }
            }
        });
    }
    std::vector<std::vector<uint8_t>> requests() {
        std::lock_guard<std::mutex> lk(mutex_);
        return requests_;
    }

private:
    int master_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
};

std::vector<uint8_t> record(uint8_t seed, size_t length = LibModbusExt::kRecordBytes) {
    std::vector<uint8_t> r(length);
    for (size_t i = 0; i < length; ++i) r[i] = static_cast<uint8_t>(seed + i * 7);
    return r;
}

modbus_t* openRtu(const std::string& path) {
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(modbus_connect(ctx), 0);
    return ctx;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST(LevelMeterFrame, WriteFrameBytesAndCrc) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(LibModbusExt::crc16(check, sizeof check), 0x4B37);

    uint8_t buf[32];
    const uint16_t v = 50;
    ASSERT_EQ(LibModbusExt::build_modbus_write_registers_frame(66, 49107, &v, 1, buf, sizeof buf), 11);
    const uint8_t head[] = {66, 16, 191, 211, 0, 1, 2, 0, 50};
    EXPECT_EQ(std::memcmp(buf, head, sizeof head), 0);
    const uint16_t crc = orvane::test::modbusCrc16(buf, 9);
    EXPECT_EQ(buf[9], crc & 0xFF);
    EXPECT_EQ(buf[10], crc >> 8);

    const uint16_t two[] = {0x1234, 0xABCD};
    ASSERT_EQ(LibModbusExt::build_modbus_write_registers_frame(1, 0, two, 2, buf, 14), 13);
    EXPECT_EQ(buf[6], 4);
    EXPECT_EQ(buf[7], 0x12);
    EXPECT_EQ(buf[8], 0x34);
    EXPECT_EQ(buf[9], 0xAB);
    EXPECT_EQ(buf[10], 0xCD);

    // (count + 4) * 2 must be smaller than the buffer.
    EXPECT_EQ(LibModbusExt::build_modbus_write_registers_frame(66, 49107, &v, 1, buf, 10), -1);
    EXPECT_EQ(LibModbusExt::build_modbus_write_registers_frame(66, 49107, &v, 1, buf, 11), 11);
    EXPECT_EQ(LibModbusExt::build_modbus_write_registers_frame(1, 0, two, 2, buf, 12), -1);
    EXPECT_EQ(LibModbusExt::build_modbus_write_registers_frame(1, 0, two, 0, buf, sizeof buf), -1);
    EXPECT_EQ(LibModbusExt::build_modbus_write_registers_frame(1, 70000, two, 1, buf, sizeof buf), -1);
}

TEST(LevelMeterLink, SendsTriggerAndReceivesWholeRecord) {
    MeterLine line;
    const std::vector<uint8_t> wave = record(3);
    line.serve([&](int) { return wave; });
    modbus_t* ctx = openRtu(line.path());
    LibModbusExt link(ctx);
    link.setPollWaitMs(200);  // the first byte may come up to 2.2 s late on a loaded machine
    EXPECT_EQ(link.sendcmd_receive_data(66, 70), static_cast<int>(LibModbusExt::kRecordBytes));
    EXPECT_EQ(std::memcmp(link.buffer(), wave.data(), wave.size()), 0);
    const auto reqs = line.requests();
    ASSERT_EQ(reqs.size(), 1u);
    uint8_t expect[16];
    const uint16_t v = 70;
    LibModbusExt::build_modbus_write_registers_frame(66, 49107, &v, 1, expect, sizeof expect);
    EXPECT_EQ(reqs[0], std::vector<uint8_t>(expect, expect + 11)) << "libmodbus framing adds the same CRC";

    InterfaceMeterPack pack;
    ASSERT_TRUE(pack.takeWave(link.buffer(), link.received()));
    EXPECT_EQ((*pack.wave)[0], static_cast<uint16_t>(wave[8] | (wave[9] << 8)));
    EXPECT_EQ((*pack.wave)[16767], static_cast<uint16_t>(wave[33542] | (wave[33543] << 8)));
    EXPECT_FALSE(pack.takeWave(link.buffer(), 1000));
    modbus_close(ctx);
    modbus_free(ctx);
}

TEST(LevelMeterLink, ShortAndMissingRecords) {
    MeterLine line;
    int calls = 0;
    line.serve([&](int) { return ++calls == 1 ? record(9, 1000) : std::vector<uint8_t>{}; });
    modbus_t* ctx = openRtu(line.path());
    LibModbusExt link(ctx);
    link.setPollWaitMs(100);
    const int flags = fcntl(modbus_get_socket(ctx), F_GETFL);
    EXPECT_EQ(link.sendcmd_receive_data(66, 30), 1000) << "40 quiet waits end a record";
    EXPECT_EQ(link.sendcmd_receive_data(66, 30), -1) << "more than 10 quiet waits with nothing at all";
    // The descriptor's flags are restored.
    EXPECT_EQ(fcntl(modbus_get_socket(ctx), F_GETFL), flags);
    modbus_close(ctx);
    modbus_free(ctx);
}

TEST(LevelMeterLink, FailedSendThrowsAndNoContextIsRefused) {
    LibModbusExt none;
    EXPECT_EQ(none.send_to_level_meter(66, 1), -1);
    EXPECT_EQ(none.receive_wave_data(), -1);

    MeterLine line;
    modbus_t* ctx = openRtu(line.path());
    LibModbusExt link(ctx);
    close(modbus_get_socket(ctx));  // the line went away under the context
    EXPECT_THROW(link.send_to_level_meter(66, 1), std::runtime_error);
    modbus_free(ctx);
}

TEST(LevelMeterFile, DataFileLayout) {
    orvane::test::TempDir dir("orvane-meter");
    orvane::platform::SimulatedClock clock(1767225600 + 3661);
    orvane::platform::Clock::setForTest(&clock);
    InterfaceMeterPack pack;
    ASSERT_TRUE(pack.open_file(dir.file("data/meter")));
    EXPECT_EQ(pack.fileName(), dir.file("data/meter_20260101_010101.ini"));
    for (size_t i = 0; i < LibModbusExt::kWaveSamples; ++i) (*pack.wave)[i] = static_cast<uint16_t>(i % 1000);
    for (size_t i = 0; i < InterfaceMeterPack::kRecordPoints; ++i) {
        pack.timestamps[i] = static_cast<int32_t>(1000 + i);
        pack.turbidity[i] = 0.5f * static_cast<float>(i);
        pack.direct[i] = -static_cast<int32_t>(i);
    }
    ASSERT_TRUE(pack.save_wave_data(2));
    ASSERT_TRUE(pack.save_data());
    pack.close_file();
    const std::vector<std::string> l = lines(orvane::test::readFile(pack.fileName()));
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[0], "[InterfaceLevelMeter]");
    EXPECT_EQ(l[1].rfind("wavedata_2 = 0,1,2,3,", 0), 0u);
    EXPECT_EQ(std::count(l[1].begin(), l[1].end(), ','), 16767);
    EXPECT_EQ(l[1].find(' ', 13), std::string::npos) << "no blanks between values";
    EXPECT_EQ(l[2].rfind("timestamps = 1000,1001,", 0), 0u);
    EXPECT_EQ(l[3].rfind("turbidity = 0,0.5,1,1.5,", 0), 0u);
    EXPECT_EQ(l[4].rfind("direct = 0,-1,-2,", 0), 0u);

    // Reopening the same name truncates the file and clears the record.
    ASSERT_TRUE(pack.open_file(dir.file("data/meter")));
    EXPECT_EQ(pack.timestamps[5], 0);
    EXPECT_EQ((*pack.wave)[5], 0);
    pack.close_file();
    EXPECT_EQ(orvane::test::readFile(pack.fileName()), "[InterfaceLevelMeter]\n");
    orvane::platform::Clock::setForTest(nullptr);
}

TEST(LevelMeterSettings, ReadAndRefused) {
    orvane::test::TempDir dir("orvane-meter");
    const std::string f = dir.file("interfacemeter.json");
    InterfaceMeterSettings s;
    EXPECT_EQ(s.voltages, (std::vector<int>{30, 50, 70}));
    EXPECT_EQ(s.cycleSeconds, 300);
    orvane::test::writeFile(f, R"({"wave_voltages": [10, 20], "cycle_seconds": 60})");
    loadInterfaceMeterSettings(f, s);
    EXPECT_EQ(s.voltages, (std::vector<int>{10, 20}));
    EXPECT_EQ(s.cycleSeconds, 60);
    for (const char* bad : {R"({"cycle_seconds": 60})", R"({"wave_voltages": [1]})", R"({"wave_voltages": [1], "cycle_seconds": "x"})",
                            R"({"wave_voltages": 5, "cycle_seconds": 1})", R"({"wave_voltages": [1.5], "cycle_seconds": 1})",
                            R"({"wave_voltages": [70000], "cycle_seconds": 1})", R"({"wave_voltages": [1], "cycle_seconds": 0})", "[1,2]",
                            "{not json"}) {
        orvane::test::writeFile(f, bad);
        EXPECT_THROW(loadInterfaceMeterSettings(f, s), std::runtime_error) << bad;
        EXPECT_EQ(s.cycleSeconds, 60) << "unchanged after a refusal";
    }
    EXPECT_THROW(loadInterfaceMeterSettings(dir.file("missing.json"), s), std::runtime_error);
}

class LevelMeterCycle : public ServiceRig {};

TEST_F(LevelMeterCycle, UnarmedWithoutUsableSettings) {
    ProbeService& svc = service();
    EXPECT_FALSE(svc.handleInterfaceInit());
    svc.runOnce();
    EXPECT_FALSE(svc.meterArmed());
    orvane::test::writeFile(root_.file("runtime/interfacemeter.json"), R"({"wave_voltages": [30]})");
    EXPECT_FALSE(svc.handleInterfaceInit());
    EXPECT_FALSE(svc.meterArmed());
    clock_.advance(1000s);
    svc.handleInterfaceMeter();
    EXPECT_EQ(svc.lastMeterCycle(), 0);
}

TEST_F(LevelMeterCycle, CycleRunsAfterThePeriodAndSavesWholeWaves) {
    MeterLine meter;
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.interface = meter.path();
    }
    const std::vector<uint8_t> wave = record(1);
    meter.serve([&](int volts) {
        if (volts == 30) return wave;
        if (volts == 50) return record(2, 500);  // short record: logged, not saved
        return std::vector<uint8_t>{};          // 70: the meter stays silent
    });
    ProbeService& svc = service();
    svc.setInterfaceMeterPaths(root_.file("runtime/interfacemeter.json"), root_.file("data/level"));
    svc.setInterfaceMeterPollMs(100);  // a first byte may come 1.1 s late on a loaded machine
    orvane::test::writeFile(root_.file("runtime/interfacemeter.json"), R"({"wave_voltages": [30, 50, 70], "cycle_seconds": 300})");
    svc.syncInit();  // the line opens
    ASSERT_TRUE(svc.master().isOpen());
    ASSERT_TRUE(svc.handleInterfaceInit());
    EXPECT_EQ(svc.meterSettings().cycleSeconds, 300);

    const int64_t now = clock_.wallSeconds();
    svc.setLastMeterCycle(now - 300);
    svc.handleInterfaceMeter();
    EXPECT_TRUE(meter.requests().empty()) << "300 s is not more than the period";
    EXPECT_EQ(svc.lastMeterCycle(), now - 300);

    svc.setLastMeterCycle(now - 301);
    svc.handleInterfaceMeter();
    EXPECT_EQ(meter.requests().size(), 3u);
    EXPECT_EQ(svc.lastMeterCycle(), now);
    EXPECT_TRUE(svc.master().isOpen()) << "the probes get the line back";
    const std::vector<std::string> l = lines(orvane::test::readFile(svc.meterPack().fileName()));
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0], "[InterfaceLevelMeter]");
    const uint16_t first = static_cast<uint16_t>(wave[8] | (wave[9] << 8));
    EXPECT_EQ(l[1].rfind("wavedata_1 = " + std::to_string(first) + ",", 0), 0u);
}

// What the meter sends at 30 V that the read does not take: a record after the read gave up, or
// bytes beyond a whole record. The record saved for 50 V is its own, never begun with those bytes.
class LevelMeterIntruder : public LevelMeterCycle, public ::testing::WithParamInterface<bool> {};

TEST_P(LevelMeterIntruder, NothingLeftOfOneVoltageIsSavedForTheNext) {
    const bool late = GetParam();
    MeterLine meter;
    {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        recipe_->recipe.modbusRtu.interface = meter.path();
    }
    const std::vector<uint8_t> own = record(2), intruder = late ? record(1) : record(5, 100);
    std::vector<uint8_t> answer30 = record(1);
    if (!late) answer30.insert(answer30.end(), intruder.begin(), intruder.end());
    meter.serve([&](int volts) {
        if (volts != 30) return own;
        if (late) std::this_thread::sleep_for(1300ms);  // the read gives up after 11 waits of 100 ms
        return answer30;
    });
    ProbeService& svc = service();
    svc.setInterfaceMeterPaths(root_.file("runtime/interfacemeter.json"), root_.file("data/level"));
    svc.setInterfaceMeterPollMs(100);
    orvane::test::writeFile(root_.file("runtime/interfacemeter.json"), R"({"wave_voltages": [30, 50], "cycle_seconds": 300})");
    svc.syncInit();
    ASSERT_TRUE(svc.handleInterfaceInit());
    svc.setLastMeterCycle(clock_.wallSeconds() - 301);
    svc.handleInterfaceMeter();
    EXPECT_EQ(meter.requests().size(), 2u);
    auto firstSample = [](const std::vector<uint8_t>& r) { return std::to_string(r[8] | (r[9] << 8)) + ","; };
    const std::string text = orvane::test::readFile(svc.meterPack().fileName());
    EXPECT_NE(text.find("wavedata_2 = " + firstSample(own)), std::string::npos) << "the 50 V record is its own";
    EXPECT_EQ(text.find("wavedata_2 = " + firstSample(intruder)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(LateRecordOrSurplusBytes, LevelMeterIntruder, ::testing::Bool());
