// Extras of "Kelva Works" DK-200 controllers: the network report written into the controller after
// every pass, and the controller's data sets (flag registers 100 and 4213) stored as CSV files in
// the raw-data directory. A flag register is cleared only once its data set is on disk, so a data
// set that cannot be stored is offered again.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fmt/format.h>

#include "mbtcp/mbtcp_client.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "utils/log.h"
#include "utils/time_utility.h"

#include <modbus/modbus.h>

namespace {

// Appends the values as one CSV line.
void csvLine(std::ostringstream& out, const float* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (i) out << ",";
        out << v[i];
    }
    out << "\n";
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0;
}

}  // namespace

void MBTCPClient::textToRegisters(std::string_view text, uint16_t* regs, int count) {
    std::memset(regs, 0, sizeof(uint16_t) * static_cast<size_t>(count));
    const size_t n = std::min(text.size(), static_cast<size_t>(count) * 2);
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<uint16_t>(static_cast<unsigned char>(text[i]));
        regs[i / 2] |= (i % 2) ? static_cast<uint16_t>(b << 8) : b;
    }
}

std::string MBTCPClient::safeFileToken(std::string_view text) {
    std::string out;
    for (char c : text)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') out += c;
    return out;
}

std::string MBTCPClient::writeNewCsv(const char* timeFormat, const std::string& text) {
    std::string sn;
    {
        std::lock_guard lk(recipe_.mutex);
        sn = recipe_.recipe.system.sn.str();
    }
    const std::string dir = scada_paths::PROBE_RAWDATA_PATH();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string stem = fmt::format("{}/{}_{}", dir, safeFileToken(sn), TimeUtility::getTimeString(false, timeFormat));
    for (int k = 0; k < 100; ++k) {
        const std::string path = k == 0 ? stem + ".csv" : fmt::format("{}_{}.csv", stem, k);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) break;
        const bool ok = writeAll(fd, text);
        ::close(fd);
        if (ok) return path;
        ::unlink(path.c_str());
        break;
    }
    SLOG_WARN(MBTCP, "Cannot store raw data file {}.csv: {}", stem, std::strerror(errno));
    return {};
}

void MBTCPClient::handleKelvaDKLteNetwork(int c) {
    std::string apn, iccid, sn, model, carrier, ip;
    int16_t rssi = 0;
    uint8_t state = 0;
    {
        std::lock_guard lk(live_.mutex());
        const ScadaLiveData& d = live_.data();
        state = d.system.Connected ? 1 : 0;
        rssi = d.lte.lte_rssi;
        carrier = d.lte.carrier.str();
        ip = d.lte.ip.str();
    }
    {
        std::lock_guard lk(recipe_.mutex);
        const ScadaRecipeData& r = recipe_.recipe;
        apn = r.cellular.apn.str();
        iccid = r.lte.iccid.str();
        sn = r.system.sn.str();
        model = r.lte.model.str();
    }
    uint16_t regs[16];
    auto text = [&](int address, int count, std::string_view value) {
        textToRegisters(value, regs, count);
        mb_write_registers(c, address, count, regs);
    };
    text(1000, 16, state != 0 ? carrier : std::string());
    regs[0] = static_cast<uint16_t>(rssi);
    mb_write_registers(c, 1032, 1, regs);
    regs[0] = state;
    mb_write_registers(c, 1057, 1, regs);
    text(1033, 8, state == 1 ? ip : std::string());
    text(1016, 16, apn);
    text(1041, 16, iccid);
    text(1058, 8, sn);
    text(1066, 8, model);
}

void MBTCPClient::handleKelvaDKHvd(int c, uint16_t mask) {
    if ((mask & 0xff) == 0) return;
    std::ostringstream out;
    for (int n = 0; n < 8; ++n) {
        if (!(mask & (1u << n))) continue;
        read_registers(c, 101 + 514 * n, 514);
        csvLine(out, floats_.data(), 1);
        csvLine(out, floats_.data() + 1, kFloatArray - 1);
    }
    if (writeNewCsv("%d-%m-%Y %H-%M-%S", out.str()).empty()) return;  // the flag stays: offered again
    const uint16_t zero = 0;
    mb_write_registers(c, 100, 1, &zero);
}

void MBTCPClient::handleKelvaDKOPW318(int c, uint16_t value) {
    if (value != 1) return;
    std::ostringstream out;
    read_registers(c, 0, 12);
    csvLine(out, floats_.data(), 6);
    read_registers(c, 4215, 512);
    csvLine(out, floats_.data(), 256);
    if (writeNewCsv("%d-%m-%Y %H-%M-%S", out.str()).empty()) return;
    const uint16_t zero = 0;
    mb_write_registers(c, 4213, 1, &zero);
}

void MBTCPClient::handleKelvaMV700TestData(int c, uint16_t value) {
    if (value != 1) {
        SLOG_INFO(MBTCP, "MV-700 auto test is not done yet.");
        return;
    }
    std::ostringstream out;
    auto block = [&](int address, int count) {
        const int rc = read_registers_raw(c, address, count);
        for (int i = 0; i < rc; ++i) out << (i ? "," : "") << raw_[i];
        out << "\n";
    };
    block(31001, 4);
    for (int a = 0; a < 12000; a += 120) block(a, 120);
    for (int a = 12999; a <= 15449; a += 50) block(a, 50);
    writeNewCsv("%Y%m%d%H%M%S", out.str());
}
