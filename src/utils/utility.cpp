#include "utils/utility.h"

// Placeholder bodies; replaced by the real implementation.
void Utility::configLog(const std::string&, int, bool) {}
bool Utility::exists(const std::string&) { return false; }
int Utility::getFileLength(const std::string&) { return -3; }
std::string Utility::readText(const std::string&) { return {}; }
bool Utility::readText(const std::string&, fss::basic_str<char, 1048576>& out) { out.clear(); return false; }
bool Utility::writeText(const std::string&, fss::basic_str<char, 1048576>&) { return false; }
void Utility::writeText(const std::string&, std::string_view) {}
void Utility::writeText(const std::string&, const std::string&) {}
void Utility::writeText(const std::string&, const char*) {}
std::string Utility::readConfigFile(const std::string&) { return {}; }
void Utility::writeConfigFile(const std::string&, const std::string&) {}
bool Utility::updateConfig(std::string&, const std::string&, const std::string&, bool) { return false; }
bool Utility::ensureParentDirectoryExists(const std::string&) { return false; }
std::vector<std::string> Utility::listFiles(const std::string&, const std::string&) { return {}; }
bool Utility::loadJson(const std::string&, nlohmann::ordered_json& out) { out = nlohmann::ordered_json::object(); return false; }
bool Utility::saveJson(const std::string&, const nlohmann::ordered_json&) { return false; }
void Utility::split(const std::string&, const std::string&, std::vector<std::string>&) {}
void Utility::eraseStr(std::string&, const std::string&) {}
std::string Utility::hex(const void*, int) { return {}; }
std::string Utility::strChar(const void*, int) { return {}; }
bool Utility::isValidTimestamp(const std::string&) { return false; }
fss::basic_str<char, 64> Utility::getUUID() { return {}; }
float Utility::interpolate(float, float, float, float y1, float) { return y1; }
int Utility::runCommandNoShell(const std::vector<std::string>&) { return -1; }
ConvResult Utility::gb18030_to_utf8(const char*, unsigned, char*, unsigned) { return {0, false}; }
ConvResult Utility::utf8_to_gb18030(const char*, unsigned, char*, unsigned) { return {0, false}; }
