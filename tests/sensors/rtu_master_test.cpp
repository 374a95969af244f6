// The RTU master against fixed register vectors and, through a pseudo-terminal, against the
// simulated probe bus and mbpoll.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sensor_test_util.h"
#include "support/sandbox.h"

// After the gateway headers: libmodbus defines OFF and ON as macros.
#include <modbus/modbus.h>

namespace {

using orvane::test::ProbeBusSim;
using orvane::test::SimFault;
using orvane::test::SimFloatOrder;
using sensors_test::BusTest;

TEST(RtuCodec, U32LowWordFirst) {
    uint16_t regs[2];
    RtuMaster::encodeU32(0x00010002u, regs);
    EXPECT_EQ(regs[0], 0x0002);
    EXPECT_EQ(regs[1], 0x0001);
    const uint16_t in[2] = {0x5678, 0x1234};
    EXPECT_EQ(RtuMaster::decodeU32(in), 0x12345678u);
}

TEST(RtuCodec, FloatOrdersAgainstFixedVectors) {
    // 123.456f = 0x42F6E979: A=42 B=F6 C=E9 D=79.
    struct Case {
        const char* fmt;
        uint16_t r0, r1;
    } cases[] = {{"ABCD", 0x42F6, 0xE979}, {"BADC", 0xF642, 0x79E9}, {"CDAB", 0xE979, 0x42F6}, {"DCBA", 0x79E9, 0xF642},
                 {"", 0xE979, 0x42F6}, {"cdab", 0xE979, 0x42F6}, {"ABCD ", 0xE979, 0x42F6}};
    for (const Case& c : cases) {
        const uint16_t regs[2] = {c.r0, c.r1};
        EXPECT_FLOAT_EQ(RtuMaster::decodeFloat(regs, c.fmt), 123.456f) << c.fmt;
    }
    // Every libmodbus getter reads the registers of its order, as the simulator lays them out.
    for (auto [order, getter] : {std::pair{SimFloatOrder::ABCD, &modbus_get_float_abcd}, std::pair{SimFloatOrder::BADC, &modbus_get_float_badc},
                                 std::pair{SimFloatOrder::CDAB, &modbus_get_float_cdab}, std::pair{SimFloatOrder::DCBA, &modbus_get_float_dcba}}) {
        for (float v : {123.456f, -0.001f, 7.0f, 1e30f}) {
            uint16_t regs[2];
            orvane::test::simEncodeFloat(v, order, regs);
            EXPECT_FLOAT_EQ(getter(regs), v);
            EXPECT_FLOAT_EQ(orvane::test::simDecodeFloat(regs, order), v);
        }
    }
    // Writes are the exact inverse of reads in every order, so a written value reads back whole.
    for (const Case& c : cases) {
        uint16_t w[2];
        RtuMaster::encodeFloat(123.456f, w, c.fmt);
        EXPECT_EQ(w[0], c.r0) << c.fmt;
        EXPECT_EQ(w[1], c.r1) << c.fmt;
        for (float v : {-0.001f, 7.0f, 13.0f, 1e30f}) {
            RtuMaster::encodeFloat(v, w, c.fmt);
            EXPECT_FLOAT_EQ(RtuMaster::decodeFloat(w, c.fmt), v) << c.fmt;
        }
    }
    // For the default order the registers are those of the packaged libmodbus's DCBA setter
    // (which swaps the bytes of each register: C D A B on the wire): pinned here.
    uint16_t w[2], lib[2];
    gDataFmt.clear();
    RtuMaster::encodeFloatForWrite(123.456f, w);
    modbus_set_float_dcba(123.456f, lib);
    EXPECT_EQ(w[0], 0xE979);
    EXPECT_EQ(w[1], 0x42F6);
    EXPECT_EQ(w[0], lib[0]);
    EXPECT_EQ(w[1], lib[1]);
    EXPECT_FLOAT_EQ(orvane::test::simDecodeFloat(w, sensors_test::kWrittenFloatOrder), 123.456f);
}

TEST(RtuCodec, RegisterTypeWords) {
    EXPECT_EQ(regKindOf("uint"), RegKind::U32);
    EXPECT_EQ(regKindOf("UINT32"), RegKind::U32);
    EXPECT_EQ(regKindOf("float"), RegKind::FLOAT);
    EXPECT_EQ(regKindOf("FLOAT"), RegKind::FLOAT);
    EXPECT_EQ(regKindOf("ushort"), RegKind::U16);
    EXPECT_EQ(regKindOf("UINT16"), RegKind::U16);
    EXPECT_EQ(regKindOf("Float"), RegKind::UNKNOWN);
    EXPECT_EQ(regKindOf(""), RegKind::UNKNOWN);
}

TEST(RtuCodec, ModbusCrcOfAKnownFrame) {
    // Read holding registers, slave 1, address 0, count 10: CRC C5 CD on the wire.
    const uint8_t f[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(orvane::test::modbusCrc16(f, sizeof f), 0xCDC5);
}

TEST_F(BusTest, LineSettingsAndWireAddress) {
    auto line = bus_.lineSettings();
    EXPECT_EQ(line.baud, 9600);
    EXPECT_EQ(line.parity, 'E');
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.stopBits, 1);
    bus_.addProbe(10, {{41005, 0x1234}, {41006, 0x0000}});
    auto r = readModbus<uint32_t>(master_, 10, 41005, "uint", 1);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.tryNum, 0);
    EXPECT_EQ(r.values[0], 0x1234u);
    auto frames = bus_.frames();
    ASSERT_EQ(frames.size(), 2u);
    // 41005 on the wire is 41004 = 0xA02C; function code 3, two registers.
    const std::vector<uint8_t> head(frames[0].bytes.begin(), frames[0].bytes.begin() + 6);
    EXPECT_EQ(head, (std::vector<uint8_t>{10, 3, 0xA0, 0x2C, 0x00, 0x02}));
    EXPECT_FALSE(frames[1].fromMaster);
}

TEST_F(BusTest, LineWithOtherSettingsIsNotUnderstood) {
    bus_.addProbe(10, {{1, 7}});
    bus_.expectLine(orvane::test::SimLineSettings{9600, 'E', 8, 1});
    uint16_t v = 0;
    gRetryMaxNum = 1;
    EXPECT_TRUE(master_.read(10, 1, &v, 1).ok());
    EXPECT_EQ(v, 7);
    ASSERT_TRUE(master_.init(bus_.devicePath(), 19200, 'N', 500));
    EXPECT_EQ(bus_.lineSettings().baud, 19200);
    EXPECT_EQ(bus_.lineSettings().parity, 'N');
    EXPECT_FALSE(master_.read(10, 1, &v, 1).ok());
    EXPECT_EQ(bus_.mismatchedLineRequests(), 1);
}

TEST_F(BusTest, WritesUseFunctionCode16AndTheirWordOrders) {
    bus_.addProbe(5, {{100, 0}, {101, 0}, {200, 0}, {201, 0}, {300, 0}});
    const uint32_t u = 0x00010002u;
    EXPECT_TRUE(master_.write(5, 100, &u, 1).ok());
    EXPECT_EQ(bus_.getRegister(5, 100), 0x0002);
    EXPECT_EQ(bus_.getRegister(5, 101), 0x0001);
    gDataFmt = "ABCD";  // writes follow the probe's order
    EXPECT_TRUE(writeModbus(master_, 5, 200, 123.456f, "float").ok());
    EXPECT_EQ(bus_.getRegister(5, 200), 0x42F6);
    EXPECT_EQ(bus_.getRegister(5, 201), 0xE979);
    gDataFmt.clear();
    EXPECT_TRUE(writeModbus(master_, 5, 300, 0x12345, "ushort").ok());
    EXPECT_EQ(bus_.getRegister(5, 300), 0x2345);
    EXPECT_TRUE(writeModbus(master_, 5, 100, 7.9f, "uint").ok());  // toward zero
    EXPECT_EQ(bus_.getU32(5, 100), 7u);
    for (const auto& f : bus_.frames())
        if (f.fromMaster) {
            EXPECT_EQ(f.bytes[1], 16);
        }
}

TEST_F(BusTest, FloatReadsFollowTheCurrentOrder) {
    bus_.addProbe(1, {});
    bus_.setFloat(1, 40001, 6.5f, SimFloatOrder::CDAB);
    bus_.setFloat(1, 40003, 6.5f, SimFloatOrder::BADC);
    gDataFmt.clear();
    EXPECT_FLOAT_EQ(readModbus<float>(master_, 1, 40001, "float", 1).values[0], 6.5f);
    gDataFmt = "BADC";
    EXPECT_FLOAT_EQ(readModbus<float>(master_, 1, 40003, "FLOAT", 1).values[0], 6.5f);
    // Element conversions: a float register into an integer array goes toward zero.
    bus_.setFloat(1, 40005, -2.9f, SimFloatOrder::BADC);
    EXPECT_EQ(readModbus<uint32_t>(master_, 1, 40003, "float", 1).values[0], 6u);
    bus_.setU32(1, 40007, 70000);
    EXPECT_FLOAT_EQ(readModbus<float>(master_, 1, 40007, "uint", 1).values[0], 70000.0f);
}

TEST_F(BusTest, CountsAreBoundedPerTransfer) {
    ProbeBusSim::RegisterMap regs;
    for (uint32_t r = 1; r <= 40; ++r) regs[r] = static_cast<uint16_t>(r);
    bus_.addProbe(2, regs);
    auto r16 = readModbus<uint16_t>(master_, 2, 1, "ushort", 30);
    EXPECT_EQ(r16.result, 20);
    EXPECT_EQ(r16.values[19], 20);
    auto r32 = readModbus<uint32_t>(master_, 2, 1, "uint", 15);
    EXPECT_EQ(r32.result, 20);
    EXPECT_EQ(r32.values[9], (20u << 16) | 19u);
    uint16_t many[21] = {};
    bus_.clearFrames();
    EXPECT_EQ(master_.write(2, 1, many, 21).result, -1);  // refused, not cut short
    EXPECT_EQ(master_.read(2, 0, many, 1).result, -1);    // register numbers start at 1
    EXPECT_EQ(bus_.requestCount(), 0u);
}

TEST_F(BusTest, TryNumbersAndPausesForOneThreeAndFiveAttempts) {
    bus_.addProbe(9, {{1, 0}});
    for (int n : {1, 3, 5}) {
        gRetryMaxNum = n;
        bus_.scriptFault(9, SimFault::Exception, n);
        clock_.clearSleeps();
        uint16_t v;
        BusResult r = master_.read(9, 1, &v, 1);
        EXPECT_EQ(r.tryNum, n);
        EXPECT_EQ(r.result, -1);
        std::vector<int64_t> expect{10};
        for (int i = 0; i < n; ++i) expect.push_back(500);
        EXPECT_EQ(clock_.sleeps(), expect) << n;

        bus_.scriptFault(9, SimFault::BadCrc, n);
        clock_.clearSleeps();
        r = master_.write(9, 1, &v, 1);
        EXPECT_EQ(r.tryNum, n);
        expect = {10};
        for (int i = 0; i < n; ++i) expect.push_back(1000);
        EXPECT_EQ(clock_.sleeps(), expect) << n;
    }
    // A transfer that succeeds on the third attempt reports try number 2.
    gRetryMaxNum = 5;
    bus_.scriptFault(9, SimFault::Exception, 2);
    uint16_t v;
    BusResult r = master_.read(9, 1, &v, 1);
    EXPECT_EQ(r.tryNum, 2);
    EXPECT_EQ(r.result, 1);
    gRetryMaxNum = 0;  // below 1 still makes one attempt
    bus_.clearFrames();
    EXPECT_TRUE(master_.read(9, 1, &v, 1).ok());
    EXPECT_EQ(bus_.requestCount(), 1u);
}

TEST_F(BusTest, NoDeviceAnsweringGivesTheAttemptCount) {
    gRetryMaxNum = 2;
    set_log_level_for_test(LogModule::SENSOR, 0);
    auto r = readModbus<float>(master_, 77, 40001, "float", 1);
    EXPECT_EQ(r.tryNum, 2);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.values[0], 0.0f);
    EXPECT_EQ(bus_.requestCount(), 2u);
}

TEST_F(BusTest, InvalidAddressesClosedLineAndUnknownTypesMakeNoTraffic) {
    bus_.addProbe(1, {{1, 1}});
    uint16_t v = 0;
    clock_.clearSleeps();
    for (int slave : {0, -1, 248, 1000}) {
        EXPECT_EQ(master_.read(slave, 1, &v, 1).result, -1);
        EXPECT_EQ(master_.write(slave, 1, &v, 1).result, -1);
    }
    {
        sensors_test::LogCapture log;
        auto r = readModbus<uint32_t>(master_, 1, 1, "int", 2);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.tryNum, 0);
        EXPECT_EQ(r.values[0], 0u);
        EXPECT_EQ(writeModbus(master_, 1, 1, 5, "").result, 0);
        EXPECT_EQ(log.count("unimplemented type int"), 1u);
        EXPECT_EQ(log.count("Unsupported data type "), 1u);
    }
    master_.closeSerial();
    EXPECT_FALSE(master_.isOpen());
    EXPECT_EQ(master_.read(1, 1, &v, 1).result, -1);
    master_.closeSerial();  // twice is harmless
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(bus_.requestCount(), 0u);
    // A line that cannot be opened leaves the master closed.
    EXPECT_FALSE(master_.init("/nonexistent/tty", 9600, 'N', 500));
    EXPECT_FALSE(master_.isOpen());
    EXPECT_FALSE(master_.init(bus_.devicePath(), 9600, 'X', 500));
    EXPECT_EQ(master_.read(1, 1, &v, 1).result, -1);
    EXPECT_TRUE(clock_.sleeps().empty());
}

// Waits until at least n bytes wait in the input queue of the line at path.
void waitForQueuedBytes(const std::string& path, int n) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int queued = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         ioctl(fd, FIONREAD, &queued) == 0 && queued < n && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    close(fd);
    ASSERT_GE(queued, n);
}

// An answer has no transaction number: one that comes after the master gave up, or that waits on
// the line when a request goes out, must never be read as the answer to that request.
TEST_F(BusTest, AnswersOutOfTurnAreNeverTakenForTheNextRequest) {
    bus_.addProbe(9, {{1, 111}, {2, 222}});
    gRetryMaxNum = 1;
    uint16_t v = 0;
    bus_.scriptLateAnswer(9, 800);  // 300 ms past the time-out
    EXPECT_EQ(master_.read(9, 1, &v, 1).result, -1);
    EXPECT_EQ(master_.read(9, 2, &v, 1).result, 1);
    EXPECT_EQ(v, 222);

    // Waiting before the request (an answer out of turn), counted in the log.
    bus_.inject({9, 3, 2, 0, 111});
    waitForQueuedBytes(bus_.devicePath(), 7);
    v = 0;
    sensors_test::LogCapture log;
    EXPECT_EQ(master_.read(9, 2, &v, 1).result, 1);
    EXPECT_EQ(v, 222);
    EXPECT_EQ(log.count("probe bus: 7 bytes waiting before a request discarded"), 1u) << log.text();
}

TEST_F(BusTest, TimeoutFloor) {
    EXPECT_EQ(master_.set_time_out(200), 500);
    EXPECT_EQ(master_.timeoutMs(), 500);
    EXPECT_EQ(master_.set_time_out(1500), 500);
    EXPECT_EQ(master_.timeoutMs(), 1500);
    master_.set_time_out(200);
    // Real time: a silent slave costs the 500 ms floor, not 200 ms (pauses are simulated).
    gRetryMaxNum = 1;
    uint16_t v;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(master_.read(33, 1, &v, 1).ok());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 480);
    EXPECT_LT(ms, 10000);  // one time-out, not several; generous for a loaded machine
}

TEST(BusCrossCheck, LineLeftBehindByAMasterThatEndedIsReopened) {
    // A master that ends without restoring the line (killed, or never closing its context)
    // leaves 8E1 behind, of which the pty keeps all but PARENB. The next master asking for the
    // same settings must still open it.
    ProbeBusSim bus;
    bus.addProbe(10, {{1, 7}});
    for (int run = 0; run < 2; ++run) {
        int fd = ::open(bus.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios t{};
        cfsetspeed(&t, B9600);
        t.c_cflag = CREAD | CLOCAL | CS8 | PARENB;
        t.c_iflag = INPCK;
        ::tcsetattr(fd, TCSANOW, &t);
        ::close(fd);
        EXPECT_TRUE(orvane::test::waitUntil([&] { return bus.lineSettings().parity == 'N'; }, std::chrono::seconds(30)));
        RtuMaster master;
        ASSERT_TRUE(master.init(bus.devicePath(), 9600, 'E', 500)) << run;
        uint16_t v = 0;
        EXPECT_TRUE(master.read(10, 1, &v, 1).ok());
        EXPECT_EQ(v, 7);
        EXPECT_EQ(bus.lineSettings().parity, 'E');
        // Closed cleanly, the line is as before and stays so.
        master.closeSerial();
        EXPECT_EQ(bus.lineSettings().parity, 'N');
    }
}

TEST(BusCrossCheck, MbpollReadsAndWritesTheSimulatedProbe) {
    if (std::system("command -v mbpoll >/dev/null 2>&1") != 0) GTEST_SKIP() << "mbpoll not installed";
    ProbeBusSim bus;
    bus.addProbe(17, {{1, 0}, {2, 0}, {3, 1234}, {4, 0}});
    bus.setFloat(17, 1, 21.5f, SimFloatOrder::ABCD);
    bus.expectLine(orvane::test::SimLineSettings{9600, 'E', 8, 1});  // answers only on 9600 8E1
    auto run = [](const std::string& cmd) {
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return out;
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
        return out;
    };
    const std::string base = "mbpoll -m rtu -b 9600 -P even -a 17 -1 -o 1 ";
    std::string out = run(base + "-t 4:float -B -r 1 " + bus.devicePath() + " 2>&1");
    EXPECT_NE(out.find("[1]: \t21.5"), std::string::npos) << out;
    out = run(base + "-t 4 -r 3 " + bus.devicePath() + " 2>&1");
    EXPECT_NE(out.find("[3]: \t1234"), std::string::npos) << out;
    out = run(base + "-t 4 -r 4 " + bus.devicePath() + " 4321 2>&1");
    EXPECT_EQ(bus.getRegister(17, 4), 4321) << out;
    EXPECT_EQ(bus.mismatchedLineRequests(), 0);
    EXPECT_EQ(bus.badFrames(), 0);
}

}  // namespace
