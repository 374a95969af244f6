// HardwareUtils against a temporary sysfs/procfs tree, the loopback interface and real sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "platform/command_runner.h"
#include "platform/paths.h"
#include "support/temp_dir.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"

using orvane::platform::Paths;
using orvane::platform::Roots;
using orvane::test::readFile;
using orvane::test::TempDir;
using orvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

class FakeRoots : public ::testing::Test {
protected:
    void SetUp() override {
        Roots r;
        r.install = dir.file("install");
        r.sysfs = dir.file("sys");
        r.procfs = dir.file("proc");
        Paths::setForTest(r);
    }
    void TearDown() override { Paths::resetForTest(); }
    std::string pin(int n) { return dir.file("sys/class/gpio/gpio" + std::to_string(n) + "/value"); }
    void route(const std::string& body) {
        writeFile(dir.file("proc/net/route"),
                  "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n" + body);
    }
    TempDir dir;
};

size_t openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

}  // namespace

TEST_F(FakeRoots, GpioPinsAndSignalLeds) {
    for (int n : {130, 131, 132}) writeFile(pin(n), "x");
    auto leds = [&] { return readFile(pin(130)) + readFile(pin(131)) + readFile(pin(132)); };
    const std::pair<int, const char*> table[] = {{-5, "000"}, {0, "000"}, {6, "000"},  {7, "100"},  {14, "100"},
                                                 {15, "110"}, {22, "110"}, {23, "111"}, {31, "111"}, {32, "000"},
                                                 {99, "000"}};
    for (auto [signal, expect] : table) {
        EXPECT_EQ(HardwareUtils::setCellularSignalLed(signal), 0);
        EXPECT_EQ(leds(), expect) << signal;
    }
    EXPECT_EQ(HardwareUtils::setGPIOValue(130, 1), 0);
    EXPECT_EQ(readFile(pin(130)), "1");
    // A pin that was never exported.
    EXPECT_EQ(HardwareUtils::setGPIOValue(77, 1), -1);
    fs::remove(pin(132));
    EXPECT_EQ(HardwareUtils::setCellularSignalLed(23), -1) << "result of the last pin";
    EXPECT_EQ(readFile(pin(130)) + readFile(pin(131)), "11");
}

TEST_F(FakeRoots, GatewayFromTheRouteTable) {
    route(
        "eth10\t00000000\t0A0A0A0A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth1\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t0000000A\tFE01A8C0\t0003\t0\t0\t0\t000000FF\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "wlan0\t00000000\t00000000\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "garbage line\n"
        "usb0\t00000000\t0264A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    // The default route wins over an earlier network route of the same interface.
    EXPECT_EQ(HardwareUtils::getGWAddr("eth0"), "192.168.1.1");
    // eth1 only appears without the gateway flag; eth10's line must not answer for it.
    EXPECT_EQ(HardwareUtils::getGWAddr("eth1"), "");
    EXPECT_EQ(HardwareUtils::getGWAddr("eth10"), "10.10.10.10");
    EXPECT_EQ(HardwareUtils::getGWAddr("eth"), "");
    EXPECT_EQ(HardwareUtils::getGWAddr("wlan0"), "") << "gateway 0 is no gateway";
    EXPECT_EQ(HardwareUtils::getGWAddr("usb0"), "192.168.100.2");
    EXPECT_EQ(HardwareUtils::getGWAddr(""), "");

    route("eth0\t0000000A\tFE01A8C0\t0003\t0\t0\t0\t000000FF\t0\t0\t0\n");
    EXPECT_EQ(HardwareUtils::getGWAddr("eth0"), "192.168.1.254") << "a gateway route when there is no default";
    fs::remove(dir.file("proc/net/route"));
    EXPECT_EQ(HardwareUtils::getGWAddr("eth0"), "");
}

TEST(HardwareUtils, InterfaceAddress) {
    EXPECT_EQ(HardwareUtils::getIPAddr("lo"), "127.0.0.1");
    EXPECT_EQ(HardwareUtils::getIPAddr("nosuchif0"), "");
    EXPECT_EQ(HardwareUtils::getIPAddr(""), "");
    // Longer than an interface name can be: not cut down to "lo" or anything else.
    EXPECT_EQ(HardwareUtils::getIPAddr("lo" + std::string(20, 'x')), "");
    EXPECT_EQ(HardwareUtils::getIPAddr(std::string("lo\0x", 4)), "");
}

TEST(HardwareUtils, PortInUse) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(s, 4), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    int port = ntohs(addr.sin_port);

    size_t before = openDescriptors();
    EXPECT_TRUE(HardwareUtils::isPortInUse(port));
    EXPECT_TRUE(HardwareUtils::isPortInUse(port));
    EXPECT_EQ(openDescriptors(), before) << "no socket left behind";
    ::close(s);
    before = openDescriptors();
    EXPECT_FALSE(HardwareUtils::isPortInUse(port));
    EXPECT_FALSE(HardwareUtils::isPortInUse(0));
    EXPECT_FALSE(HardwareUtils::isPortInUse(70000));
    EXPECT_EQ(openDescriptors(), before);
}

TEST(HardwareUtils, SdCardQueries) {
    TempDir dir;
    writeFile(dir.file("regular"), "not a device");
    EXPECT_FALSE(HardwareUtils::isSdCardMounted(dir.file("regular")));
    EXPECT_FALSE(HardwareUtils::isSdCardMounted(dir.file("missing")));
    EXPECT_FALSE(HardwareUtils::isSdCardMounted(dir.path()));
    EXPECT_EQ(HardwareUtils::getSdCardSize(dir.file("regular")), 0u);
    EXPECT_EQ(HardwareUtils::getSdCardSize(dir.file("missing")), 0u);
    EXPECT_EQ(HardwareUtils::getSdCardFreeSize(dir.file("missing/deeper")), 0u);

    // Free space agrees with the stat program (available blocks x fundamental block size).
    orvane::platform::SystemCommandRunner runner;
    std::string out;
    ASSERT_EQ(runner.capture({"stat", "-f", "-c", "%a %S", dir.path()}, &out), 0);
    unsigned long long blocks = 0, size = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%llu %llu", &blocks, &size), 2) << out;
    uint64_t ours = HardwareUtils::getSdCardFreeSize(dir.path());
    uint64_t theirs = blocks * size;
    uint64_t diff = ours > theirs ? ours - theirs : theirs - ours;
    EXPECT_LE(diff, 64ull << 20) << ours << " vs " << theirs;
    EXPECT_GT(ours, 0u);

    // A block device, where the machine has one we may read.
    for (const char* dev : {"/dev/loop0", "/dev/sda", "/dev/vda", "/dev/nvme0n1"}) {
        struct stat st {};
        if (::stat(dev, &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        EXPECT_TRUE(HardwareUtils::isSdCardMounted(dev));
        if (::access(dev, R_OK) == 0 && dev != std::string("/dev/loop0")) {
            EXPECT_GT(HardwareUtils::getSdCardSize(dev), 0u);
        }
        break;
    }
}
