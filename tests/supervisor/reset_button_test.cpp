#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "reset_button.h"
#include "support/temp_dir.h"

namespace {

// One 16-byte input event as the device delivers it (little-endian fields).
std::string event(int32_t sec, uint16_t type, uint16_t code, int32_t value) {
    unsigned char b[16] = {};
    auto put32 = [&](int off, uint32_t v) { for (int i = 0; i < 4; ++i) b[off + i] = (v >> (8 * i)) & 0xff; };
    put32(0, static_cast<uint32_t>(sec));
    put32(4, 0);
    b[8] = type & 0xff; b[9] = type >> 8;
    b[10] = code & 0xff; b[11] = code >> 8;
    put32(12, static_cast<uint32_t>(value));
    return std::string(reinterpret_cast<char*>(b), 16);
}

struct ButtonFifo : ::testing::Test {
    orvane::test::TempDir dir;
    std::string path;
    int writer = -1;
    std::unique_ptr<ResetButtonReader> reader;
    void SetUp() override {
        path = dir.file("event2");
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        reader = std::make_unique<ResetButtonReader>(path);
        ASSERT_TRUE(reader->open());
        writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer, 0);
    }
    void TearDown() override { if (writer >= 0) ::close(writer); }
    void send(const std::string& bytes) { ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
};

}  // namespace

TEST_F(ButtonFifo, HoldOfElevenSecondsIsReported) {
    send(event(1000, 1, 0x100, 0));
    send(event(1011, 1, 0x100, 1));
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
    EXPECT_EQ(reader->readHoldSeconds(100), 11);
    send(event(2000, 1, 0x100, 0));
    send(event(2010, 1, 0x100, 1));
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
    EXPECT_EQ(reader->readHoldSeconds(100), 10);
}

TEST_F(ButtonFifo, LoneReleaseAndClearedHoldAreNoHold) {
    send(event(5000, 1, 0x100, 1));  // release with no press since start-up
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
    send(event(6000, 0, 0, 0));      // a synchronisation event with value 0 restarts the hold
    send(event(6005, 1, 0x100, 2));  // value 2 clears it
    send(event(6020, 1, 0x100, 1));  // release measured from nothing: no hold
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
}

TEST_F(ButtonFifo, ShortRecordIsNoEventAndNoDataTimesOut) {
    EXPECT_EQ(reader->readHoldSeconds(50), 0);
    std::string e = event(7000, 1, 0x100, 0);
    send(e.substr(0, 10));
    EXPECT_EQ(reader->readHoldSeconds(100), 0);
}

TEST(ResetButton, MissingDeviceWaitsTheWholeTimeout) {
    orvane::platform::SimulatedClock clock;
    orvane::platform::Clock::setForTest(&clock);
    ResetButtonReader r("/nonexistent/dev/input/event2");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(r.open());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "no reset button here (/nonexistent/dev/input/event2 absent)\n");
    int64_t t0 = clock.steadyMillis();
    EXPECT_EQ(r.readHoldSeconds(1000), 0);
    EXPECT_EQ(clock.steadyMillis() - t0, 1000);
    orvane::platform::Clock::setForTest(nullptr);
    ResetButtonReader broken("/dev/null/event2");  // any other failure stays an error
    testing::internal::CaptureStdout();
    EXPECT_FALSE(broken.open());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error unable open for reading '/dev/null/event2'\n");
}
