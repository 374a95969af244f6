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
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"
#include "vserial/virtual_serial.h"

using namespace std::chrono_literals;
using orvane::test::waitUntil;
using virtual_serial::VirtualSerial;

namespace {

using Bytes = std::vector<uint8_t>;

// A pseudo-terminal: the test reads and writes the master side; the slave side is the device.
struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master);
        ::unlockpt(master);
        path = ::ptsname(master);
        // Kept open so that the line stays up between the pass-through's opens, and to read its settings.
        slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() { ::close(slave), ::close(master); }
    termios settings() const {
        termios t{};
        ::tcgetattr(slave, &t);
        return t;
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// Reads exactly n bytes (30 s at most).
Bytes readExactly(int fd, size_t n) {
    Bytes out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;
        uint8_t buf[256];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
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

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::close(fd);
    return -1;
}

void sendAll(int fd, const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }

// The probe service's side: echoes each request into the acknowledgement, unless held.
class ProbeServicePlayer {
public:
    explicit ProbeServicePlayer(EnvGuard& env) : env_(env) {
        env_.serialCmd.store(2);
        env_.serialCmdAck.store(2);
        thread_ = std::thread([this] {
            while (!stop_) {
                const int32_t req = env_.serialCmd.load();
                if (req != env_.serialCmdAck.load() && !(req == 1 ? holdRelease : holdTakeBack).load()) {
                    {
                        std::lock_guard<std::mutex> lock(m_);
                        acks_.push_back(req);
                    }
                    env_.serialCmdAck.store(req);
                }
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    ~ProbeServicePlayer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<int> acks() {
        std::lock_guard<std::mutex> lock(m_);
        return acks_;
    }
    std::atomic<bool> holdRelease{false};
    std::atomic<bool> holdTakeBack{false};

private:
    EnvGuard& env_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<int> acks_;
    std::thread thread_;
};

class PassThrough : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::platform::Paths::setForTest(orvane::platform::Roots{root_.path() + "/"});
        recipe_ = std::make_unique<RecipeDataGuard>();
        env_ = std::make_unique<EnvGuard>(*recipe_, EnvGuard::Options{"", "", 4});
        player_ = std::make_unique<ProbeServicePlayer>(*env_);
        setLine(pty_.path, 115200, 1, 8, 2);
    }
    void TearDown() override {
        if (vs_) vs_->stop();
        if (acceptor_.joinable()) acceptor_.join();
        player_.reset();
        orvane::platform::Paths::resetForTest();
    }
    void setLine(const std::string& device, int baud, int parity, int dataBits, int stopBits) {
        std::lock_guard<std::mutex> lock(recipe_->mutex);
        auto& rtu = recipe_->recipe.modbusRtu;
        rtu.interface = device.c_str();
        rtu.baudrate = baud;
        rtu.parity = static_cast<int16_t>(parity);
        rtu.databits = static_cast<int16_t>(dataBits);
        rtu.stopbit = static_cast<int16_t>(stopBits);
    }
    void start() {
        vs_ = std::make_unique<VirtualSerial>(*recipe_, *env_, VirtualSerial::Options{0, 300ms, 10ms});
        acceptor_ = std::thread([this] { vs_->loop_thread(); });
        ASSERT_TRUE(waitUntil([&] { return vs_->port() > 0; }, 20s));
    }
    // Waits until n connections have ended and the line is back with the probe service.
    bool served(int n) {
        return waitUntil([&] { return vs_->connectionsServed() == n && !vs_->busy(); }, 30s) &&
               env_->serialCmd.load() == 2 && env_->serialCmdAck.load() == 2;
    }

    orvane::test::TempDir root_{"orvane-vserial"};
    Pty pty_;
    std::unique_ptr<RecipeDataGuard> recipe_;
    std::unique_ptr<EnvGuard> env_;
    std::unique_ptr<ProbeServicePlayer> player_;
    std::unique_ptr<VirtualSerial> vs_;
    std::thread acceptor_;
};

TEST_F(PassThrough, BytesBothWaysWithTheRecipeLineSettingsAndTheOldSettingsBack) {
    termios before = pty_.settings();
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    before.c_lflag |= ICANON;
    ASSERT_EQ(::tcsetattr(pty_.slave, TCSANOW, &before), 0);
    start();

    const int client = connectTo(vs_->port());
    ASSERT_GE(client, 0);
    const Bytes request = {0x0A, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0xB0};
    sendAll(client, request);
    EXPECT_EQ(readExactly(pty_.master, request.size()), request);
    EXPECT_EQ(player_->acks(), std::vector<int>{1});

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
    const Bytes first = {0x0A, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02, 0x11};
    const Bytes second = {0x22, 0x33, 0x44, 0x55};
    ASSERT_EQ(::write(pty_.master, first.data(), first.size()), 8);
    EXPECT_EQ(readExactly(client, first.size()), first);
    ASSERT_EQ(::write(pty_.master, second.data(), second.size()), 4);
    EXPECT_EQ(readExactly(client, second.size()), second);

    // A second request on the same connection.
    sendAll(client, {0x01, 0x02});
    EXPECT_EQ(readExactly(pty_.master, 2), (Bytes{0x01, 0x02}));

    ::close(client);
    EXPECT_TRUE(served(1));
    EXPECT_EQ(player_->acks(), (std::vector<int>{1, 2}));
    const termios after = pty_.settings();
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B19200));
    EXPECT_TRUE(after.c_lflag & ICANON);
}

// A parity outside the table is refused before any hand-over; a device that cannot be opened
// still hands the line back.
TEST_F(PassThrough, BadLineSettingsCloseTheClientAndLeaveTheLineWithTheProbeService) {
    start();
    struct Case {
        std::string device;
        int parity;
        std::vector<int> acks;
    };
    const Case cases[] = {{pty_.path, 3, {}}, {pty_.path, -1, {}}, {root_.file("no-such-tty"), 0, {1, 2}}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device + " parity " + std::to_string(c.parity));
        setLine(c.device, 9600, c.parity, 8, 1);
        const int client = connectTo(vs_->port());
        ASSERT_GE(client, 0);
        EXPECT_TRUE(closedByPeer(client));
        EXPECT_TRUE(served(++n));
        EXPECT_EQ(player_->acks(), c.acks);
    }
}

TEST_F(PassThrough, OneClientAtATimeAndAClientGoneMidTransfer) {
    start();
    const int first = connectTo(vs_->port());
    ASSERT_GE(first, 0);
    sendAll(first, {0x0A, 0x03});
    ASSERT_EQ(readExactly(pty_.master, 2), (Bytes{0x0A, 0x03}));

    const int second = connectTo(vs_->port());
    ASSERT_GE(second, 0);
    EXPECT_TRUE(closedByPeer(second));

    // The first leaves before the device answers; the answer goes nowhere.
    player_->holdTakeBack = true;
    ::close(first);
    ASSERT_EQ(::write(pty_.master, "\x0A\x03\x02\x00\x07", 5), 5);
    ASSERT_TRUE(waitUntil([&] { return env_->serialCmd.load() == 2; }, 30s));

    // Still refused while the take-back is awaited.
    const int third = connectTo(vs_->port());
    ASSERT_GE(third, 0);
    EXPECT_TRUE(closedByPeer(third));
    EXPECT_TRUE(vs_->busy());
    player_->holdTakeBack = false;
    EXPECT_TRUE(served(1));

    // The line can be lent again.
    const int fourth = connectTo(vs_->port());
    ASSERT_GE(fourth, 0);
    sendAll(fourth, {0x55});
    EXPECT_EQ(readExactly(pty_.master, 1), Bytes{0x55});
    ::close(fourth);
    EXPECT_TRUE(served(2));
    EXPECT_EQ(player_->acks(), (std::vector<int>{1, 2, 1, 2}));
}

TEST_F(PassThrough, StopEndsAWaitForTheReleaseAndAsksForTheLineBack) {
    player_->holdRelease = true;
    start();
    const int client = connectTo(vs_->port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitUntil([&] { return env_->serialCmd.load() == 1; }, 30s));
    vs_->stop();
    acceptor_.join();
    EXPECT_EQ(env_->serialCmd.load(), 2);
    EXPECT_FALSE(vs_->busy());
    ::close(client);
}

TEST(SerialSettings, SpeedsSizesStopBitsAndParity) {
    struct Speed {
        int bauds;
        speed_t speed;
    };
    const Speed speeds[] = {{50, B50}, {4800, B4800}, {115200, B115200}, {230400, B230400}, {14400, B9600}, {-1, B9600}};
    for (const Speed& s : speeds) {
        SCOPED_TRACE(s.bauds);
        const termios t = virtual_serial::serialTermios(s.bauds, 'N', 8, 1);
        EXPECT_EQ(cfgetispeed(&t), s.speed);
        EXPECT_EQ(cfgetospeed(&t), s.speed);
    }
    struct Frame {
        int dataBits;
        int stopBits;
        char parity;
        tcflag_t cflag;  // CSIZE, CSTOPB, PARENB, PARODD bits expected
        bool inputCheck;
    };
    const Frame frames[] = {
        {5, 1, 'N', CS5, false},
        {6, 2, 'E', CS6 | CSTOPB | PARENB, true},
        {7, 1, 'O', CS7 | PARENB | PARODD, true},
        {8, 0, 'X', CS8 | CSTOPB | PARENB | PARODD, true},
        {9, 1, 'N', CS8, false},
    };
    for (const Frame& f : frames) {
        SCOPED_TRACE(f.dataBits);
        const termios t = virtual_serial::serialTermios(9600, f.parity, f.dataBits, f.stopBits);
        EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), f.cflag);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, f.inputCheck);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(t.c_lflag, 0u);
        EXPECT_EQ(t.c_oflag, 0u);
    }
}

}  // namespace
