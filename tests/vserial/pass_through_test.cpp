// The TCP-to-serial pass-through over a pseudo-terminal (the test holds the device side), with a
// thread playing the probe service's side of the hand-over.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "env/env_guard.h"
#include "platform/clock.h"
#include "platform/log_throttle.h"
#include "recipe/recipe_guard.h"
#include "support/log_capture.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "vserial/virtual_serial.h"

using namespace std::chrono_literals;
using orvane::test::waitUntil;
using virtual_serial::VirtualSerial;

namespace {

using Bytes = std::vector<uint8_t>;

// The test reads and writes the master side; the slave, kept open to read its settings, is the device.
struct Pty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string path = (::grantpt(master), ::unlockpt(master), ::ptsname(master));
    int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ~Pty() { ::close(slave), ::close(master); }
    termios settings() const {
        termios t{};
        ::tcgetattr(slave, &t);
        return t;
    }
};

// Reads exactly n bytes (30 s at most).
Bytes readExactly(int fd, size_t n) {
    Bytes out;
    uint8_t buf[256];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t r; out.size() < n && ::poll(&p, 1, 30000) > 0 && (r = ::read(fd, buf, std::min(sizeof buf, n - out.size()))) > 0;)
        out.insert(out.end(), buf, buf + r);
    return out;
}

// True when the peer closes the connection (within 30 s); closes ours.
bool closedByPeer(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    const bool closed = ::poll(&p, 1, 30000) > 0 && ::recv(fd, &c, 1, 0) == 0;
    ::close(fd);
    return closed;
}

void sendAll(int fd, const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }

class PassThrough : public ::testing::Test {
protected:
    // A thread plays the probe service: it echoes each request into the acknowledgement, unless held.
    void SetUp() override {
        setLine(pty_.path, 1);
        env_->serialCmd.store(2);
        env_->serialCmdAck.store(2);
        player_ = std::thread([this] {
            for (; !stop_; std::this_thread::sleep_for(5ms)) {
                const int32_t req = env_->serialCmd.load();
                if (req == env_->serialCmdAck.load() || (req == 1 ? holdRelease_ : holdTakeBack_).load()) continue;
                std::lock_guard<std::mutex> lock(m_);
                acks_.push_back(req);
                env_->serialCmdAck.store(req);
            }
        });
        vs_ = std::make_unique<VirtualSerial>(*recipe_, *env_, VirtualSerial::Options{0, 300ms, 10ms});
        acceptor_ = std::thread([this] { vs_->loop_thread(); });
        ASSERT_TRUE(waitUntil([&] { return vs_->port() > 0; }, 20s));
    }
    void TearDown() override {
        vs_->stop();
        if (acceptor_.joinable()) acceptor_.join();
        stop_ = true;
        player_.join();
        orvane::platform::Clock::setForTest(nullptr);
    }
    std::vector<int> acks() {
        std::lock_guard<std::mutex> lock(m_);
        return acks_;
    }
    // The recipe's line: 115200 baud, 8 data bits, two stop bits.
    void setLine(const std::string& device, int parity) {
        std::lock_guard<StoreMutex> lock(recipe_->mutex);
        auto& rtu = recipe_->recipe.modbusRtu;
        rtu.interface = device.c_str();
        rtu.baudrate = 115200;
        rtu.parity = static_cast<int16_t>(parity);
        rtu.databits = 8;
        rtu.stopbit = 2;
    }
    int connect() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(vs_->port())), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }
    // Waits until n connections have ended and the line is back with the probe service.
    bool served(int n) {
        return waitUntil([&] { return vs_->connectionsServed() == n && !vs_->busy(); }, 30s) && env_->serialCmd.load() == 2 &&
               env_->serialCmdAck.load() == 2;
    }
    orvane::test::TempDir root_{"orvane-vserial"};
    orvane::test::ScopedRoots roots_{root_.path()};
    Pty pty_;
    std::unique_ptr<RecipeDataGuard> recipe_ = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<EnvGuard> env_ = std::make_unique<EnvGuard>(*recipe_, EnvGuard::Options{"", "", 4});
    std::unique_ptr<VirtualSerial> vs_;
    std::thread acceptor_, player_;
    std::atomic<bool> holdRelease_{false}, holdTakeBack_{false}, stop_{false};
    std::mutex m_;
    std::vector<int> acks_;
    orvane::platform::SimulatedClock clock_;  // installed by the tests that need it
};

TEST_F(PassThrough, BytesBothWaysWithTheRecipeLineSettingsAndTheOldSettingsBack) {
    termios before = pty_.settings();
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    before.c_lflag |= ICANON;
    ASSERT_EQ(::tcsetattr(pty_.slave, TCSANOW, &before), 0);
    const int client = connect();
    const Bytes request = {0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0xB0};
    sendAll(client, request);
    EXPECT_EQ(readExactly(pty_.master, request.size()), request);
    EXPECT_EQ(acks(), std::vector<int>{1});
    // 115200 baud, two stop bits, odd parity (a pseudo-terminal keeps CS8 and no parity enable), raw.
    const termios t = pty_.settings();
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    const tcflag_t cflags = CSTOPB | PARODD | CREAD | CLOCAL;
    EXPECT_EQ(t.c_cflag & cflags, cflags);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // A reply in two pieces: the first reaches the client before the device sends the second.
    const Bytes first = {0x0A, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02, 0x11}, second = {0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(::write(pty_.master, first.data(), first.size()), 8);
    EXPECT_EQ(readExactly(client, first.size()), first);
    ASSERT_EQ(::write(pty_.master, second.data(), second.size()), 4);
    EXPECT_EQ(readExactly(client, second.size()), second);
    ::close(client);
    EXPECT_TRUE(served(1));
    EXPECT_EQ(acks(), (std::vector<int>{1, 2}));
    const termios after = pty_.settings();
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B19200));
    EXPECT_TRUE(after.c_lflag & ICANON);
}

// A parity outside the table is refused before any hand-over; a device that cannot be opened
// still hands the line back.
TEST_F(PassThrough, BadLineSettingsCloseTheClientAndLeaveTheLineWithTheProbeService) {
    struct Case { std::string device; int parity; std::vector<int> acks; };
    const Case cases[] = {{pty_.path, 3, {}}, {pty_.path, -1, {}}, {root_.file("no-such-tty"), 0, {1, 2}}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + " parity " + std::to_string(c.parity));
        setLine(c.device, c.parity);
        EXPECT_TRUE(closedByPeer(connect()));
        EXPECT_TRUE(served(++n));
        EXPECT_EQ(acks(), c.acks);
    }
}

TEST_F(PassThrough, OneClientAtATimeAClientGoneMidTransferAndAStopMidWait) {
    const int first = connect();
    sendAll(first, {0x0A, 0x03});
    ASSERT_EQ(readExactly(pty_.master, 2), (Bytes{0x0A, 0x03}));
    EXPECT_TRUE(closedByPeer(connect()));
    // The first leaves before the device answers; the answer goes nowhere.
    holdTakeBack_ = true;
    ::close(first);
    ASSERT_EQ(::write(pty_.master, "\x0A\x03\x02\x00\x07", 5), 5);
    ASSERT_TRUE(waitUntil([&] { return env_->serialCmd.load() == 2; }, 30s));
    // Still refused while the take-back is awaited.
    EXPECT_TRUE(closedByPeer(connect()));
    EXPECT_TRUE(vs_->busy());
    holdTakeBack_ = false;
    EXPECT_TRUE(served(1));
    EXPECT_EQ(acks(), (std::vector<int>{1, 2}));
    // The line is lent again; a stop ends the wait for the release and asks for the line back.
    holdRelease_ = true;
    const int fifth = connect();
    ASSERT_TRUE(waitUntil([&] { return env_->serialCmd.load() == 1; }, 30s));
    vs_->stop();
    acceptor_.join();
    EXPECT_EQ(env_->serialCmd.load(), 2);
    EXPECT_FALSE(vs_->busy());
    ::close(fifth);
}

// A client that keeps reconnecting while the line is lent cannot flood the log: each line is
// logged once, then once per 10 s for the whole server with the count.
TEST_F(PassThrough, ReconnectingClientLogsOnceThenOncePerIntervalWithTheCount) {
    orvane::platform::Clock::setForTest(&clock_);
    orvane::test::LogCapture log({{LogModule::SENSOR, LogLevel::WARN}});
    holdRelease_ = true;  // the first client keeps the line lent
    const int first = connect();
    ASSERT_TRUE(waitUntil([&] { return env_->serialCmd.load() == 1; }, 30s));
    const std::pair<std::string, uint64_t> rows[] = {  // a line, the count it carries after the interval
        {"Received a connection request from 127.0.0.1", 301},
        {"The serial line is already passed through: connection from 127.0.0.1 closed", 300}};
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(closedByPeer(connect()));
    clock_.advance(10s);
    EXPECT_TRUE(closedByPeer(connect()));
    for (const auto& [line, count] : rows)
        EXPECT_EQ(log.lines(line), (std::vector<std::string>{line, line + orvane::platform::LogThrottle::note(count)}));
    holdRelease_ = false;
    ::close(first);
    EXPECT_TRUE(served(1));
}

TEST(SerialSettings, SpeedsSizesStopBitsAndParity) {
    // The CSIZE, CSTOPB, PARENB and PARODD bits and input checking expected.
    struct Row { int bauds, dataBits, stopBits; char parity; speed_t speed; tcflag_t cflag; bool inputCheck; } rows[] = {
        {50, 5, 1, 'N', B50, CS5, false},
        {115200, 6, 2, 'E', B115200, CS6 | CSTOPB | PARENB, true},
        {230400, 7, 1, 'O', B230400, CS7 | PARENB | PARODD, true},
        {14400, 8, 0, 'X', B9600, CS8 | CSTOPB | PARENB | PARODD, true},
        {-1, 9, 1, 'N', B9600, CS8, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bauds);
        const termios t = virtual_serial::serialTermios(r.bauds, r.parity, r.dataBits, r.stopBits);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), r.cflag);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, r.inputCheck);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_oflag, 0u);
    }
}

}  // namespace
