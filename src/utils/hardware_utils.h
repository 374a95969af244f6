#pragma once
// Board and network-stack helpers: sysfs GPIO pins (status and signal LEDs), interface
// address and default gateway, TCP port probe, SD card presence, size and free space.
// sysfs and procfs files are reached through orvane::platform::Paths.
#include <cstdint>
#include <string>
#include <string_view>

class HardwareUtils {
public:
    HardwareUtils() = delete;

    // Writes "0" or "1" to <sysfs>/class/gpio/gpio<N>/value. 0 written; -1 failure (logged,
    // module SYS, warning).
    static int setGPIOValue(int gpio, unsigned short value);
    // Signal-quality LEDs on pins 130, 131, 132 (written in that order): 23..31 all on,
    // 15..22 the first two, 7..14 the first, anything else none. Result of the last write.
    static int setCellularSignalLed(int signal);

    // Dotted IPv4 address of the interface; empty when it does not exist or has none.
    static std::string getIPAddr(const std::string& ifname);
    // Gateway of the interface's first default-capable route in <procfs>/net/route (exact
    // interface name, gateway flag set); empty when there is none.
    static std::string getGWAddr(const std::string& ifname);

    // True when binding a TCP socket to the port on all addresses fails with EADDRINUSE.
    static bool isPortInUse(int port);

    // The path exists and is a block device.
    static bool isSdCardMounted(const std::string& path);
    // Size of the block device in bytes; 0 on failure.
    static uint64_t getSdCardSize(const std::string& path);
    // Bytes available to unprivileged users in the file system holding path; 0 on failure.
    static uint64_t getSdCardFreeSize(const std::string& path);
};

// True for a dotted IPv4 address: four decimal parts 0..255, no leading zeros, nothing else.
bool isDottedIPv4(std::string_view text);
