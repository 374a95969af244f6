#include "utils/hardware_utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/paths.h"
#include "utils/log.h"

namespace {

constexpr unsigned kRouteGatewayFlag = 0x2;

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string dotted(uint32_t networkOrderAsPrinted) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", networkOrderAsPrinted & 0xffu, (networkOrderAsPrinted >> 8) & 0xffu,
                  (networkOrderAsPrinted >> 16) & 0xffu, (networkOrderAsPrinted >> 24) & 0xffu);
    return buf;
}

}  // namespace

int HardwareUtils::setGPIOValue(int gpio, unsigned short value) {
    std::string path = orvane::platform::Paths::sysfs("class/gpio/gpio" + std::to_string(gpio) + "/value");
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        SLOG_WARN(SYS, "Unable to open gpio value");
        return -1;
    }
    const char digit = value ? '1' : '0';
    ssize_t w;
    do { w = ::write(fd.fd, &digit, 1); } while (w < 0 && errno == EINTR);
    if (w != 1) {
        SLOG_WARN(SYS, "Unable to write gpio value");
        return -1;
    }
    return 0;
}

int HardwareUtils::setCellularSignalLed(int signal) {
    bool a = false, b = false, c = false;
    if (signal >= 23 && signal <= 31) a = b = c = true;
    else if (signal >= 15 && signal <= 22) a = b = true;
    else if (signal >= 7 && signal <= 14) a = true;
    setGPIOValue(130, a);
    setGPIOValue(131, b);
    return setGPIOValue(132, c);
}

std::string HardwareUtils::getIPAddr(const std::string& ifname) {
    // A longer name cannot exist; cutting it could name another interface.
    if (ifname.empty() || ifname.size() >= IFNAMSIZ || ifname.find('\0') != std::string::npos) return {};
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) return {};
    struct ifreq ifr {};
    std::memcpy(ifr.ifr_name, ifname.data(), ifname.size());
    ifr.ifr_addr.sa_family = AF_INET;
    if (::ioctl(sock.fd, SIOCGIFADDR, &ifr) != 0) return {};
    if (ifr.ifr_addr.sa_family != AF_INET) return {};
    struct sockaddr_in sin {};
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);
    char buf[INET_ADDRSTRLEN] = {0};
    if (!::inet_ntop(AF_INET, &sin.sin_addr, buf, sizeof buf)) return {};
    return buf;
}

std::string HardwareUtils::getGWAddr(const std::string& ifname) {
    if (ifname.empty()) return {};
    std::ifstream f(orvane::platform::Paths::procfs("net/route"));
    if (!f) return {};
    std::string line;
    std::string firstGateway;
    int lineNo = 0;
    while (std::getline(f, line)) {
        if (++lineNo == 1 || line.size() > 512) continue;  // column titles; nothing valid is that long
        char iface[64] = {0};
        unsigned dest = 0, gateway = 0, flags = 0, mask = 0;
        if (std::sscanf(line.c_str(), "%63s %x %x %x %*x %*x %*x %x", iface, &dest, &gateway, &flags, &mask) != 5)
            continue;
        if (ifname != iface || !(flags & kRouteGatewayFlag) || gateway == 0) continue;
        // The default route wins over a gateway route to a particular network.
        if (dest == 0 && mask == 0) return dotted(gateway);
        if (firstGateway.empty()) firstGateway = dotted(gateway);
    }
    return firstGateway;
}

bool HardwareUtils::isPortInUse(int port) {
    if (port <= 0 || port > 65535) return false;
    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) return false;
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return false;
    return errno == EADDRINUSE;
}

bool HardwareUtils::isSdCardMounted(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

uint64_t HardwareUtils::getSdCardSize(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return 0;
    uint64_t bytes = 0;
    if (::ioctl(fd.fd, BLKGETSIZE64, &bytes) != 0) return 0;
    return bytes;
}

uint64_t HardwareUtils::getSdCardFreeSize(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return 0;
    return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

bool isDottedIPv4(std::string_view text) {
    if (text.empty() || text.size() > 15) return false;
    in_addr a{};
    return ::inet_pton(AF_INET, std::string(text).c_str(), &a) == 1;
}
