#include "utils/hardware_utils.h"

// Placeholder bodies; replaced by the real implementation.
int HardwareUtils::setGPIOValue(int, unsigned short) { return -1; }
int HardwareUtils::setCellularSignalLed(int) { return -1; }
std::string HardwareUtils::getIPAddr(const std::string&) { return {}; }
std::string HardwareUtils::getGWAddr(const std::string&) { return {}; }
bool HardwareUtils::isPortInUse(int) { return false; }
bool HardwareUtils::isSdCardMounted(const std::string&) { return false; }
uint64_t HardwareUtils::getSdCardSize(const std::string&) { return 0; }
uint64_t HardwareUtils::getSdCardFreeSize(const std::string&) { return 0; }
