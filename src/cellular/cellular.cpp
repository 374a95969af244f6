#include "cellular/cellular.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "env/env_guard.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "system/system.h"
#include "utils/hardware_utils.h"
#include "utils/log.h"
#include "utils/utility.h"

using orvane::platform::Clock;
using orvane::platform::Paths;

char AT_CMD_RESP_BUF[64];

namespace {

constexpr double kMB = 1.0 / 1048576.0;
constexpr const char* kModemGateway = "10.64.64.64";

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// The first line after leading CR/LF bytes; false when no CR/LF follows it.
bool firstLine(std::string_view reply, std::string_view& line) {
    size_t b = 0;
    while (b < reply.size() && isLineEnd(reply[b])) ++b;
    size_t e = b;
    while (e < reply.size() && !isLineEnd(reply[e])) ++e;
    if (e >= reply.size()) return false;
    line = reply.substr(b, e - b);
    return true;
}

// A signed decimal integer at reply[pos]; advances pos past it.
bool readInt(std::string_view s, size_t& pos, int& out) {
    size_t p = pos;
    bool neg = false;
    if (p < s.size() && (s[p] == '-' || s[p] == '+')) neg = s[p++] == '-';
    long v = 0;
    size_t digits = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
        if (v < 1000000) v = v * 10 + (s[p] - '0');
        ++p;
        ++digits;
    }
    if (!digits) return false;
    out = static_cast<int>(neg ? -v : v);
    pos = p;
    return true;
}

int16_t clamp16(int v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

std::tm localDate(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    std::tm tmv{};
    ::localtime_r(&tt, &tmv);
    return tmv;
}

}  // namespace

// ---- DataUsageTracker -------------------------------------------------------------------------

DataUsageTracker::DataUsageTracker(const std::string& interface, int billingDay)
    : interface_(interface), billingDay_(std::clamp(billingDay, 1, 28)) {}

void DataUsageTracker::setBillingDay(int day) {
    std::lock_guard lock(mutex_);
    billingDay_ = std::clamp(day, 1, 28);
}

void DataUsageTracker::setInterface(const std::string& name) {
    std::lock_guard lock(mutex_);
    interface_ = name;
    firstSample_ = true;
    SLOG_INFO(CELLULAR, "DataUsageTracker: interface changed to '{}'", name);
}

std::string DataUsageTracker::interfaceName() const {
    std::lock_guard lock(mutex_);
    return interface_;
}

int DataUsageTracker::billingDay() const {
    std::lock_guard lock(mutex_);
    return billingDay_;
}

std::string DataUsageTracker::filePath() const { return Paths::install("data/data_usage.json"); }

bool DataUsageTracker::readKernelCounters(uint64_t& rx, uint64_t& tx) const {
    std::lock_guard lock(mutex_);
    return readCountersLocked(rx, tx);
}

bool DataUsageTracker::readCountersLocked(uint64_t& rx, uint64_t& tx) const {
    std::ifstream in(Paths::procfs("net/dev"));
    if (!in) return false;
    std::string line;
    for (int i = 0; i < 2; ++i)
        if (!std::getline(in, line)) return false;
    while (std::getline(in, line)) {
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        size_t colon = line.find(':', b);
        if (colon == std::string::npos || line.compare(b, colon - b, interface_) != 0 || colon - b != interface_.size())
            continue;
        uint64_t v[16];
        const char* p = line.data() + colon + 1;
        const char* end = line.data() + line.size();
        for (auto& x : v) {
            while (p < end && (*p == ' ' || *p == '\t')) ++p;
            auto r = std::from_chars(p, end, x);
            if (r.ec != std::errc()) return false;
            p = r.ptr;
        }
        rx = v[0];
        tx = v[8];
        return true;
    }
    return false;
}

void DataUsageTracker::checkCycleReset() {
    const std::tm now = localDate(Clock::get().wallSeconds());
    const int year = now.tm_year + 1900, month = now.tm_mon + 1, day = now.tm_mday;
    const bool reset = cycleYear_ < year || (cycleYear_ == year && cycleMonth_ < month && day >= billingDay_);
    if (!reset) return;
    SLOG_INFO(CELLULAR, "DataUsageTracker: billing cycle reset (was {}-{:02d}, now {}-{:02d} day {})", cycleYear_,
              cycleMonth_, year, month, day);
    cycleYear_ = year;
    cycleMonth_ = month;
    cycleRxBytes_ = 0;
    cycleTxBytes_ = 0;
}

void DataUsageTracker::update() {
    std::lock_guard lock(mutex_);
    uint64_t rx = 0, tx = 0;
    if (!readCountersLocked(rx, tx)) {
        SLOG_WARN(CELLULAR, "DataUsageTracker: cannot read /proc/net/dev for interface '{}'", interface_);
        return;
    }
    if (firstSample_) {
        lastRx_ = rx;
        lastTx_ = tx;
        firstSample_ = false;
        return;
    }
    // A counter below the last sample means the interface was reset: it only sets the baseline.
    const uint64_t dRx = rx >= lastRx_ ? rx - lastRx_ : 0;
    const uint64_t dTx = tx >= lastTx_ ? tx - lastTx_ : 0;
    lastRx_ = rx;
    lastTx_ = tx;
    checkCycleReset();
    cycleRxBytes_ += dRx;
    totalRxBytes_ += dRx;
    cycleTxBytes_ += dTx;
    totalTxBytes_ += dTx;
    lastUpdated_ = static_cast<int32_t>(Clock::get().wallSeconds());
    SLOG_INFO(CELLULAR, "DataUsageTracker: +{}B rx / +{}B tx  |  cycle {:.2f}MB / total {:.2f}MB", dRx, dTx,
              static_cast<double>(cycleRxBytes_ + cycleTxBytes_) * kMB,
              static_cast<double>(totalRxBytes_ + totalTxBytes_) * kMB);
    Utility::writeText(filePath(), fileTextLocked());
}

DataUsageSnapshot DataUsageTracker::getSnapshot() const {
    DataUsageSnapshot s;
    {
        std::lock_guard lock(mutex_);
        s.cycleRxBytes = cycleRxBytes_;
        s.cycleTxBytes = cycleTxBytes_;
        s.totalRxBytes = totalRxBytes_;
        s.totalTxBytes = totalTxBytes_;
        s.lastUpdated = lastUpdated_;
    }
    fillMB(s);
    return s;
}

void DataUsageTracker::fillMB(DataUsageSnapshot& s) {
    s.cycleRxMB = static_cast<float>(static_cast<double>(s.cycleRxBytes) * kMB);
    s.cycleTxMB = static_cast<float>(static_cast<double>(s.cycleTxBytes) * kMB);
    s.totalRxMB = static_cast<float>(static_cast<double>(s.totalRxBytes) * kMB);
    s.totalTxMB = static_cast<float>(static_cast<double>(s.totalTxBytes) * kMB);
}

std::string DataUsageTracker::fileText() const {
    std::lock_guard lock(mutex_);
    return fileTextLocked();
}

std::string DataUsageTracker::fileTextLocked() const {
    return fmt::format(
        "{{\n  \"cycleRxBytes\":{},\n  \"cycleTxBytes\":{},\n  \"totalRxBytes\":{},\n  \"totalTxBytes\":{},\n"
        "  \"cycleYear\":{},\n  \"cycleMonth\":{},\n  \"lastUpdated\":{}\n}}\n",
        cycleRxBytes_, cycleTxBytes_, totalRxBytes_, totalTxBytes_, cycleYear_, cycleMonth_,
        static_cast<int64_t>(lastUpdated_));
}

bool DataUsageTracker::saveToFile() const {
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = fileTextLocked();
    }
    Utility::writeText(filePath(), text);
    return true;
}

bool DataUsageTracker::loadFromFile() {
    const std::string path = filePath();
    const std::string text = Utility::readConfigFile(path);  // empty when missing
    if (text.empty()) return false;

    // The number after the first "key": of the text; absent keys read 0.
    auto find = [&text](std::string_view key, const char*& at) {
        const std::string quoted = "\"" + std::string(key) + "\"";
        for (size_t p = text.find(quoted); p != std::string::npos; p = text.find(quoted, p + 1)) {
            size_t q = p + quoted.size();
            while (q < text.size() && (text[q] == ' ' || text[q] == '\t' || text[q] == '\r' || text[q] == '\n')) ++q;
            if (q < text.size() && text[q] == ':') {
                ++q;
                while (q < text.size() && (text[q] == ' ' || text[q] == '\t' || text[q] == '\r' || text[q] == '\n'))
                    ++q;
                at = text.data() + q;
                return true;
            }
        }
        return false;
    };
    const char* end = text.data() + text.size();
    auto failed = [&path] {
        SLOG_WARN(CELLULAR, "DataUsageTracker: failed to parse {}", path);
        return false;
    };
    std::lock_guard lock(mutex_);
    uint64_t* u64s[] = {&cycleRxBytes_, &cycleTxBytes_, &totalRxBytes_, &totalTxBytes_};
    const char* u64Keys[] = {"cycleRxBytes", "cycleTxBytes", "totalRxBytes", "totalTxBytes"};
    for (int i = 0; i < 4; ++i) {
        const char* at = nullptr;
        *u64s[i] = 0;
        if (!find(u64Keys[i], at)) continue;
        if (std::from_chars(at, end, *u64s[i]).ec != std::errc()) return failed();
    }
    int32_t* i32s[] = {&cycleYear_, &cycleMonth_};
    const char* i32Keys[] = {"cycleYear", "cycleMonth"};
    for (int i = 0; i < 2; ++i) {
        const char* at = nullptr;
        *i32s[i] = 0;
        if (!find(i32Keys[i], at)) continue;
        if (std::from_chars(at, end, *i32s[i]).ec != std::errc()) return failed();
    }
    {
        const char* at = nullptr;
        lastUpdated_ = 0;
        if (find("lastUpdated", at)) {
            uint64_t v = 0;
            if (std::from_chars(at, end, v).ec != std::errc()) return failed();
            lastUpdated_ = static_cast<int32_t>(static_cast<uint32_t>(v));
        }
    }
    return cycleYear_ >= 1 && cycleMonth_ >= 1;
}

void DataUsageTracker::init() {
    const bool loaded = loadFromFile();
    std::lock_guard lock(mutex_);
    if (!loaded) {
        const std::tm now = localDate(Clock::get().wallSeconds());
        cycleYear_ = now.tm_year + 1900;
        cycleMonth_ = now.tm_mon + 1;
        SLOG_INFO(CELLULAR, "DataUsageTracker: no persisted data, starting fresh.");
    } else {
        SLOG_INFO(CELLULAR, "DataUsageTracker: loaded persisted usage – cycleRx={}B cycleTx={}B totalRx={}B totalTx={}B",
                  cycleRxBytes_, cycleTxBytes_, totalRxBytes_, totalTxBytes_);
    }
    uint64_t rx = 0, tx = 0;
    if (readCountersLocked(rx, tx)) {
        lastRx_ = rx;
        lastTx_ = tx;
        firstSample_ = false;
    }
}

// ---- AT commands ------------------------------------------------------------------------------

int atCmdProcess(int fd, const char* command, int length, std::chrono::milliseconds timeout,
                 const std::atomic<bool>* stop, AtPollFn pollFn) {
    SLOG_INFO(CELLULAR, "Write cmd {}", command);
    ssize_t w = -1;
    if (fd >= 0 && length > 0) {
        do { w = ::write(fd, command, static_cast<size_t>(length)); } while (w < 0 && errno == EINTR);
    }
    if (w != length) {
        SLOG_ERROR(CELLULAR, "Error write AT command");
        return -1;
    }
    std::memset(AT_CMD_RESP_BUF, 0, sizeof AT_CMD_RESP_BUF);
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Wait for the first byte in short slices (a silent modem answers nothing for 5 s).
        // A wait that ends without a byte is a read of 0 bytes; a failed wait is a failed read.
        auto left = timeout;
        bool ready = false;
        int error = 0;
        while (!ready && !error && left.count() > 0) {
            if (stop && stop->load()) return -1;
            const auto step = std::min(left, std::chrono::milliseconds(100));
            pollfd p{fd, POLLIN, 0};
            int r = pollFn(&p, 1, static_cast<int>(step.count()));
            if (r > 0) ready = true;
            else if (r < 0 && errno != EINTR) error = errno;
            left -= step;
        }
        ssize_t n = 0;
        if (ready) {
            n = ::read(fd, AT_CMD_RESP_BUF, sizeof AT_CMD_RESP_BUF);
            if (n < 0) error = errno;
        }
        if (!error) {
            SLOG_INFO(CELLULAR, "Read: {} {}", n, std::string_view(AT_CMD_RESP_BUF, static_cast<size_t>(n)));
            return static_cast<int>(n);
        }
        SLOG_ERROR(CELLULAR, "Error read from cellular: {}, {}", error, std::strerror(error));
    }
    return -1;
}

// ---- Cellular ---------------------------------------------------------------------------------

Cellular::Cellular(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env)
    : Cellular(recipe, live, env, Options{}) {}

Cellular::Cellular(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, Options options)
    : recipe_(recipe), live_(live), env_(env), opt_(options), usage_("wwan0", 1) {}

Cellular::~Cellular() {
    if (fd_ >= 0) ::close(fd_);
}

std::string Cellular::hwVer() {
    std::lock_guard lock(recipe_.mutex);
    return recipe_.recipe.system.hwVer.str();
}

int Cellular::init() {
    const std::string hw = hwVer();
    const bool newBoard = parseHwVer(hw) > 2.5;
    if (!newBoard) usage_.setInterface("ppp0");
    const std::string port = Paths::system(newBoard ? "dev/ttyUSB2" : "dev/ttyUSB3");
    int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SLOG_ERROR(CELLULAR, "Can not open port for AT command!");
        return 0;
    }
    termios tty{};
    if (::tcgetattr(fd, &tty) != 0) {
        SLOG_ERROR(CELLULAR, "Error {} from tcgetattr: {}", errno, std::strerror(errno));
        ::close(fd);
        return 0;
    }
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tty.c_cflag |= CS8 | CREAD | CLOCAL;
    tty.c_lflag = 0;
    tty.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
    tty.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    tty.c_cc[VTIME] = 50;
    tty.c_cc[VMIN] = 0;
    ::cfsetispeed(&tty, B115200);
    ::cfsetospeed(&tty, B115200);
    if (::tcsetattr(fd, TCSANOW, &tty) != 0) {
        SLOG_ERROR(CELLULAR, "Error {} from tcsetattr: {}", errno, std::strerror(errno));
        ::close(fd);
        return 0;
    }
    fd_ = fd;
    SLOG_INFO(CELLULAR, "===========> Open port for AT command successfully. <============");
    atCmdTurnOffEcho();
    return 1;
}

void Cellular::stop() {
    stopping_.store(true);
    stopper_.stop();
}

bool Cellular::pause(std::chrono::milliseconds d) {
    return orvane::platform::sleepUnlessStopped(d, opt_.slice, stopping_);
}

void Cellular::flushPort() {
    if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

std::string_view Cellular::command(std::string_view cmd) {
    // Every command goes out with its terminating zero byte.
    std::string bytes(cmd);
    int n = atCmdProcess(fd_, bytes.c_str(), static_cast<int>(bytes.size() + 1), opt_.readTimeout, &stopping_,
                         opt_.pollFn);
    if (n <= 0) return {};
    return std::string_view(AT_CMD_RESP_BUF, static_cast<size_t>(n));
}

int Cellular::atCmdTurnOffEcho() {
    command("ATE0\r");
    return 0;
}

int Cellular::atCmdReadCGMI() {
    std::string_view line;
    if (firstLine(command("AT+CGMI\r"), line)) {
        identity_.brand.assignBytes(line.data(), line.size());
        SLOG_INFO(CELLULAR, "Brand: {}, len: {}", identity_.brand.view(), identity_.brand.length());
    }
    return 0;
}

int Cellular::atCmdReadCGMM() {
    std::string_view line;
    if (firstLine(command("AT+CGMM\r"), line)) {
        identity_.model.assignBytes(line.data(), line.size());
        SLOG_INFO(CELLULAR, "Model: {}, len: {}", identity_.model.view(), identity_.model.length());
        const std::string name = identity_.model.view().starts_with("EG25") ? "wwan0" : "usb0";
        const std::string before = env_.cellularInterface.get();
        env_.cellularInterface.set(name);
        usage_.setInterface(cellularInterfaceFor(hwVer(), name));
        if (name != before) {
            // The firewall and the port forwarding were bound to the old name (they may already
            // have been applied at start): the device manager applies both again.
            SLOG_INFO(CELLULAR, "Cellular interface changed from {} to {}", before, name);
            recipe_.triggerReload(SCADA_MASK_PORT_FORWARDING | SCADA_MASK_FIREWALL);
        }
    }
    return 0;
}

int Cellular::atCmdReadCGMR() {
    std::string_view line;
    if (firstLine(command("AT+CGMR\r"), line)) {
        identity_.version.assignBytes(line.data(), line.size());
        SLOG_INFO(CELLULAR, "Version: {}, len: {}", identity_.version.view(), identity_.version.length());
    }
    return 0;
}

int Cellular::atCmdReadIMSI() {
    std::string_view line;
    if (firstLine(command("AT+CIMI\r"), line)) {
        identity_.imsi.assignBytes(line.data(), line.size());
        lte_.imsi.assignBytes(line.data(), line.size());
        SLOG_INFO(CELLULAR, "IMSI: {}, len: {}", identity_.imsi.view(), identity_.imsi.length());
    }
    return 0;
}

int Cellular::atCmdReadICCID() {
    std::string_view line;
    if (firstLine(command("AT+CCID\r"), line) && line.size() > 7) {
        const std::string_view value = line.substr(7);
        if (value.size() < 15)
            identity_.iccid.assign("Not available");
        else
            identity_.iccid.assignBytes(value.data(), value.size());
        SLOG_INFO(CELLULAR, "ICCID: {}, len: {}", identity_.iccid.view(), identity_.iccid.length());
    }
    return 0;
}

int Cellular::atCmdReadSignal() {
    const std::string_view reply = command("AT+QCSQ\r");
    if (reply.empty()) return -1;
    SLOG_INFO(CELLULAR, "Raw {} response: {}", "AT+QCSQ", reply);
    size_t pos = reply.find(',');
    if (pos == std::string_view::npos) return -1;
    ++pos;
    int values[4];
    int count = 0;
    while (count < 4) {
        if (!readInt(reply, pos, values[count])) break;
        ++count;
        if (pos < reply.size() && isLineEnd(reply[pos])) break;
        while (pos < reply.size() && (reply[pos] == ',' || reply[pos] == ' ')) ++pos;
    }
    if (count == 0) return -1;
    lte_.lte_rssi = clamp16(values[0]);
    SLOG_INFO(CELLULAR, "LTE RSSI: {} dBm", lte_.lte_rssi);
    if (count > 1) {
        lte_.lte_rsrp = clamp16(values[1]);
        SLOG_INFO(CELLULAR, "LTE RSRP: {} dBm (Reference Signal Received Power)", lte_.lte_rsrp);
        // The LEDs take a 0..31 level: -140 dBm and below is none, -47 dBm and above is full.
        HardwareUtils::setCellularSignalLed(std::clamp((values[1] + 140) / 3, 0, 31));
    }
    if (count > 2) {
        lte_.lte_sinr = clamp16(values[2]);
        SLOG_INFO(CELLULAR, "LTE SINR: {} dB (Signal-to-Interference+Noise Ratio)", lte_.lte_sinr);
    }
    if (count > 3) {
        lte_.lte_rsrq = clamp16(values[3]);
        SLOG_INFO(CELLULAR, "LTE RSRQ: {} dB (Reference Signal Received Quality)", lte_.lte_rsrq);
    }
    return count == 4 ? 0 : -1;
}

int Cellular::atCmdReadCarrier() {
    const std::string_view reply = command("AT+QSPN\r");
    const size_t a = reply.find('"');
    if (a == std::string_view::npos) return 0;
    const size_t b = reply.find('"', a + 1);
    if (b == std::string_view::npos || b == a + 1) return 0;
    lte_.carrier.assignBytes(reply.data() + a + 1, b - a - 1);
    SLOG_INFO(CELLULAR, "Carrier: {}, len: {}", lte_.carrier.view(), lte_.carrier.length());
    return 0;
}

void Cellular::getInterfaceInfo() {
    const std::string iface = cellularInterfaceFor(hwVer(), env_.cellularInterface.get());
    lte_.ip.assign(HardwareUtils::getIPAddr(iface));
    lte_.gateway.assign(kModemGateway);
}

void Cellular::updateDataUsageLive() {
    usage_.update();
    const DataUsageSnapshot s = usage_.getSnapshot();
    lte_.dataUsageCycleRxMB = s.cycleRxMB;
    lte_.dataUsageCycleTxMB = s.cycleTxMB;
    lte_.dataUsageTotalRxMB = s.totalRxMB;
    lte_.dataUsageTotalTxMB = s.totalTxMB;
    SLOG_INFO(CELLULAR, "Data usage – cycle: {:.2f} MB  total: {:.2f} MB", s.cycleRxMB + s.cycleTxMB,
              s.totalRxMB + s.totalTxMB);
}

void Cellular::updateLive() {
    std::lock_guard lock(live_.mutex());
    live_.data().lte = lte_;
}

bool Cellular::readIdentity() {
    if (!pause(std::chrono::seconds(2))) return false;
    flushPort();
    atCmdTurnOffEcho();
    if (!pause(std::chrono::seconds(2))) return false;
    flushPort();
    atCmdReadCGMI();
    if (!pause(std::chrono::seconds(1))) return false;
    atCmdReadCGMM();
    if (!pause(std::chrono::seconds(1))) return false;
    atCmdReadCGMR();
    if (!pause(std::chrono::seconds(1))) return false;
    atCmdReadIMSI();
    if (!pause(std::chrono::seconds(1))) return false;
    atCmdReadICCID();
    int billingDay;
    {
        std::lock_guard lock(recipe_.mutex);
        recipe_.recipe.lte = identity_;
        billingDay = recipe_.recipe.cellular.billingCycleDay;
    }
    updateLive();
    usage_.setBillingDay(billingDay);
    usage_.init();
    return !stopping_.load();
}

bool Cellular::pollOnce() {
    if (stopping_.load()) return false;
    atCmdTurnOffEcho();
    if (!pause(std::chrono::seconds(2))) return false;
    flushPort();
    atCmdReadSignal();
    atCmdReadCarrier();
    getInterfaceInfo();
    updateDataUsageLive();
    updateLive();
    return !stopping_.load();
}

void Cellular::startLoop() {
    if (!readIdentity()) return;
    while (pollOnce()) {
        if (!pause(std::chrono::seconds(60))) break;
    }
}
