#include "probe_bus_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace orvane::test {

uint16_t modbusCrc16(const uint8_t* data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

void simEncodeFloat(float v, SimFloatOrder order, uint16_t* regs) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    const uint8_t a = static_cast<uint8_t>(bits >> 24), b = static_cast<uint8_t>(bits >> 16),
                  c = static_cast<uint8_t>(bits >> 8), d = static_cast<uint8_t>(bits);
    auto w = [](uint8_t hi, uint8_t lo) { return static_cast<uint16_t>((hi << 8) | lo); };
    switch (order) {
        case SimFloatOrder::ABCD: regs[0] = w(a, b); regs[1] = w(c, d); break;
        case SimFloatOrder::BADC: regs[0] = w(b, a); regs[1] = w(d, c); break;
        case SimFloatOrder::CDAB: regs[0] = w(c, d); regs[1] = w(a, b); break;
        case SimFloatOrder::DCBA: regs[0] = w(d, c); regs[1] = w(b, a); break;
    }
}

float simDecodeFloat(const uint16_t* regs, SimFloatOrder order) {
    auto hi = [](uint16_t r) { return static_cast<uint32_t>(r >> 8); };
    auto lo = [](uint16_t r) { return static_cast<uint32_t>(r & 0xFF); };
    uint32_t a = 0, b = 0, c = 0, d = 0;
    switch (order) {
        case SimFloatOrder::ABCD: a = hi(regs[0]); b = lo(regs[0]); c = hi(regs[1]); d = lo(regs[1]); break;
        case SimFloatOrder::BADC: b = hi(regs[0]); a = lo(regs[0]); d = hi(regs[1]); c = lo(regs[1]); break;
        case SimFloatOrder::CDAB: c = hi(regs[0]); d = lo(regs[0]); a = hi(regs[1]); b = lo(regs[1]); break;
        case SimFloatOrder::DCBA: d = hi(regs[0]); c = lo(regs[0]); b = hi(regs[1]); a = lo(regs[1]); break;
    }
    uint32_t bits = (a << 24) | (b << 16) | (c << 8) | d;
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

SimFloatOrder simFloatOrderOf(const std::string& f) {
    if (f == "ABCD") return SimFloatOrder::ABCD;
    if (f == "BADC") return SimFloatOrder::BADC;
    if (f == "DCBA") return SimFloatOrder::DCBA;
    return SimFloatOrder::CDAB;
}

namespace {
int baudOf(speed_t s) {
    switch (s) {
        case B1200: return 1200;
        case B2400: return 2400;
        case B4800: return 4800;
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        default: return 0;
    }
}
}  // namespace

ProbeBusSim::ProbeBusSim() {
    masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ < 0 || grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0)
        throw std::runtime_error("probe bus: cannot open a pseudo-terminal");
    char name[128] = {};
    if (ptsname_r(masterFd_, name, sizeof name) != 0) throw std::runtime_error("probe bus: ptsname failed");
    slavePath_ = name;
    // Held open for the simulator's life: the line keeps its settings and the master side never
    // reports a hang-up between two users of the device.
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0) throw std::runtime_error("probe bus: cannot open the pty slave");
    termios t{};
    tcgetattr(slaveFd_, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slaveFd_, TCSANOW, &t);
    tcgetattr(slaveFd_, &rest_);
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("probe bus: pipe failed");
    watchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ >= 0 && inotify_add_watch(watchFd_, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    thread_ = std::thread([this] { run(); });
}

ProbeBusSim::~ProbeBusSim() {
    stop_ = true;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &c, 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {masterFd_, slaveFd_, stopPipe_[0], stopPipe_[1], watchFd_})
        if (fd >= 0) ::close(fd);
}

int64_t ProbeBusSim::nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void ProbeBusSim::addProbe(int addr, RegisterMap regs) {
    std::lock_guard<std::mutex> lock(mutex_);
    Probe p;
    p.regs = std::move(regs);
    probes_[addr] = std::move(p);
}

void ProbeBusSim::removeProbe(int addr) {
    std::lock_guard<std::mutex> lock(mutex_);
    probes_.erase(addr);
}

bool ProbeBusSim::hasProbe(int addr) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probes_.count(addr) != 0;
}

void ProbeBusSim::setSilent(int addr, bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    probes_[addr].silent = silent;
}

void ProbeBusSim::setRegister(int addr, uint32_t reg, uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    probes_[addr].regs[reg] = value;
}

void ProbeBusSim::setU32(int addr, uint32_t reg, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& r = probes_[addr].regs;
    r[reg] = static_cast<uint16_t>(value & 0xFFFF);
    r[reg + 1] = static_cast<uint16_t>(value >> 16);
}

void ProbeBusSim::setFloat(int addr, uint32_t reg, float value, SimFloatOrder order) {
    uint16_t w[2];
    simEncodeFloat(value, order, w);
    std::lock_guard<std::mutex> lock(mutex_);
    auto& r = probes_[addr].regs;
    r[reg] = w[0];
    r[reg + 1] = w[1];
}

std::optional<uint16_t> ProbeBusSim::getRegister(int addr, uint32_t reg) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = probes_.find(addr);
    if (p == probes_.end()) return std::nullopt;
    auto r = p->second.regs.find(reg);
    if (r == p->second.regs.end()) return std::nullopt;
    return r->second;
}

uint32_t ProbeBusSim::getU32(int addr, uint32_t reg) const {
    return static_cast<uint32_t>(getRegister(addr, reg).value_or(0)) | (static_cast<uint32_t>(getRegister(addr, reg + 1).value_or(0)) << 16);
}

float ProbeBusSim::getFloat(int addr, uint32_t reg, SimFloatOrder order) const {
    uint16_t w[2] = {getRegister(addr, reg).value_or(0), getRegister(addr, reg + 1).value_or(0)};
    return simDecodeFloat(w, order);
}

void ProbeBusSim::scriptFault(int addr, SimFault fault, int count, uint8_t exceptionCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count; ++i) probes_[addr].faults.emplace_back(fault, exceptionCode);
}

void ProbeBusSim::scriptLateAnswer(int addr, int delayMs, int count) {
    scriptFault(addr, SimFault::Late, count);
    std::lock_guard<std::mutex> lock(mutex_);
    probes_[addr].lateMs = delayMs;
}

void ProbeBusSim::scriptReads(int addr, uint32_t reg, std::vector<uint16_t> values) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& p = probes_[addr];
    if (!p.regs.count(reg)) p.regs[reg] = values.empty() ? 0 : values.back();
    p.scripted[reg] = std::move(values);
}

void ProbeBusSim::setWriteHook(int addr, WriteHook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    probes_[addr].hook = std::move(hook);
}

void ProbeBusSim::setAddressRegister(int addr, uint32_t addressReg, uint32_t rebootReg) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& p = probes_[addr];
    p.addressReg = addressReg;
    p.rebootReg = rebootReg;
}

SimLineSettings ProbeBusSim::lineSettings() const {
    SimLineSettings s;
    termios t{};
    if (tcgetattr(slaveFd_, &t) != 0) return s;
    s.baud = baudOf(cfgetospeed(&t));
    // A pty keeps PARODD and the input parity check but always clears PARENB (and forces CS8),
    // so parity is read from INPCK and PARODD as well.
    if ((t.c_cflag & PARENB) || (t.c_iflag & INPCK)) s.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    else s.parity = 'N';
    switch (t.c_cflag & CSIZE) {
        case CS5: s.dataBits = 5; break;
        case CS6: s.dataBits = 6; break;
        case CS7: s.dataBits = 7; break;
        default: s.dataBits = 8; break;
    }
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return s;
}

void ProbeBusSim::expectLine(std::optional<SimLineSettings> expected) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_ = expected;
}

std::vector<SimFrame> ProbeBusSim::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

void ProbeBusSim::clearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    requests_ = 0;
}

size_t ProbeBusSim::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t ProbeBusSim::requestCount(int addr) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto p = probes_.find(addr);
    return p == probes_.end() ? 0 : p->second.requests;
}

void ProbeBusSim::record(bool fromMaster, const uint8_t* data, size_t n) {
    bytes_ += n;
    std::lock_guard<std::mutex> lock(mutex_);
    if (fromMaster) ++requests_;
    // A long-running simulator keeps the most recent frames only.
    if (frames_.size() >= kMaxFrames) frames_.erase(frames_.begin(), frames_.begin() + kMaxFrames / 2);
    frames_.push_back(SimFrame{fromMaster, std::vector<uint8_t>(data, data + n), nowMicros()});
}

void ProbeBusSim::run() {
    uint8_t buf[512];
    while (!stop_) {
        pollfd fds[3] = {{masterFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}, {watchFd_, POLLIN, 0}};
        int rc = ::poll(fds, watchFd_ >= 0 ? 3 : 2, 20);
        if (stop_) break;
        if (rc < 0) continue;
        if (watchFd_ >= 0 && (fds[2].revents & POLLIN)) onDeviceEvents();
        if (rc == 0 || !(fds[0].revents & POLLIN)) {
            // A partial frame followed by silence is noise: drop it.
            if (!rx_.empty() && nowMicros() - lastRxMicros_ > 20000) {
                record(true, rx_.data(), rx_.size());
                ++badFrames_;
                rx_.clear();
            }
            if (fds[0].revents & (POLLHUP | POLLERR)) ::usleep(5000);
            continue;
        }
        ssize_t n = ::read(masterFd_, buf, sizeof buf);
        if (n <= 0) {
            ::usleep(5000);
            continue;
        }
        lastRxMicros_ = nowMicros();
        handleBytes(buf, static_cast<size_t>(n));
    }
}

namespace {
// Opens minus closes among the queued events of an inotify descriptor; *closed when any closed.
int drainOpenCount(int fd, bool* closed) {
    alignas(inotify_event) char buf[4096];
    int delta = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return delta;
        for (char* p = buf; p < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            if (e->mask & IN_OPEN) ++delta;
            if (e->mask & IN_CLOSE) {
                --delta;
                if (closed) *closed = true;
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

bool sameLine(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}
}  // namespace

void ProbeBusSim::onDeviceEvents() {
    bool closed = false;
    openers_ = std::max(0, openers_ + drainOpenCount(watchFd_, &closed));
    if (!closed || openers_ > 0) return;
    termios now{};
    if (tcgetattr(slaveFd_, &now) != 0 || sameLine(now, rest_)) return;  // closed cleanly: restored
    // A master that opened the line meanwhile keeps the settings it applies.
    const int late = drainOpenCount(watchFd_, nullptr);
    openers_ = std::max(0, openers_ + late);
    if (openers_ > 0) return;
    tcsetattr(slaveFd_, TCSANOW, &rest_);
}

void ProbeBusSim::handleBytes(const uint8_t* data, size_t n) {
    rx_.insert(rx_.end(), data, data + n);
    while (rx_.size() >= 2) {
        const uint8_t fc = rx_[1];
        size_t needed;
        if (fc >= 1 && fc <= 6) {
            needed = 8;
        } else if (fc == 15 || fc == 16) {
            if (rx_.size() < 7) return;
            needed = 9u + rx_[6];
        } else {
            needed = rx_.size();  // unknown function: take what arrived as one frame
        }
        if (rx_.size() < needed) return;
        std::vector<uint8_t> frame(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(needed));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(needed));
        record(true, frame.data(), frame.size());
        if (frame.size() < 4) {
            ++badFrames_;
            continue;
        }
        uint16_t crc = modbusCrc16(frame.data(), frame.size() - 2);
        if (frame[frame.size() - 2] != (crc & 0xFF) || frame[frame.size() - 1] != (crc >> 8)) {
            ++badFrames_;
            rx_.clear();
            continue;
        }
        processFrame(frame);
    }
}

void ProbeBusSim::processFrame(const std::vector<uint8_t>& f) {
    std::vector<uint8_t> reply;
    bool corrupt = false;
    int lateMs = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (expected_) {
            // Same lock order everywhere: lineSettings() takes no lock.
            if (!(lineSettings() == *expected_)) {
                ++lineMismatches_;
                return;
            }
        }
        const int addr = f[0];
        const uint8_t fc = f[1];
        std::vector<int> targets;
        if (addr == 0) {
            for (auto& [a, p] : probes_) targets.push_back(a);
        } else {
            auto it = probes_.find(addr);
            if (it == probes_.end() || it->second.silent) return;
            targets.push_back(addr);
        }
        for (int target : targets) {
            Probe& p = probes_[target];
            std::vector<uint8_t> r;
            auto exception = [&](uint8_t code) { r = {static_cast<uint8_t>(target), static_cast<uint8_t>(fc | 0x80), code}; };
            ++p.requests;
            std::optional<std::pair<SimFault, uint8_t>> fault;
            if (!p.faults.empty()) {
                fault = p.faults.front();
                p.faults.erase(p.faults.begin());
                if (fault->first == SimFault::Silent) continue;
                if (fault->first == SimFault::BadCrc) corrupt = true;
                if (fault->first == SimFault::Late) lateMs = p.lateMs;
            }
            const uint32_t start = ((static_cast<uint32_t>(f[2]) << 8) | f[3]) + 1;
            const uint32_t qty = (static_cast<uint32_t>(f[4]) << 8) | f[5];
            std::optional<int> moveTo;
            if (fault && fault->first == SimFault::Exception) {
                exception(fault->second);
            } else if (fc == 3) {
                if (qty < 1 || qty > 125) {
                    exception(3);
                } else {
                    r = {static_cast<uint8_t>(target), 3, static_cast<uint8_t>(qty * 2)};
                    for (uint32_t i = 0; i < qty; ++i) {
                        uint32_t reg = start + i;
                        uint16_t v;
                        auto s = p.scripted.find(reg);
                        if (s != p.scripted.end() && !s->second.empty()) {
                            v = s->second.front();
                            if (s->second.size() > 1) s->second.erase(s->second.begin());
                            p.regs[reg] = v;
                        } else if (auto it = p.regs.find(reg); it != p.regs.end()) {
                            v = it->second;
                        } else {
                            exception(2);
                            break;
                        }
                        r.push_back(static_cast<uint8_t>(v >> 8));
                        r.push_back(static_cast<uint8_t>(v & 0xFF));
                    }
                }
            } else if (fc == 6) {
                if (!p.regs.count(start)) {
                    exception(2);
                } else {
                    uint16_t v = static_cast<uint16_t>(qty);  // the value field of a single write
                    p.regs[start] = v;
                    r = {static_cast<uint8_t>(target), 6, f[2], f[3], f[4], f[5]};
                    if (p.hook) p.hook(target, start, {v}, p.regs);
                }
            } else if (fc == 16) {
                const uint8_t bc = f[6];
                if (qty < 1 || qty > 123 || bc != qty * 2) {
                    exception(3);
                } else {
                    bool mapped = true;
                    for (uint32_t i = 0; i < qty; ++i) mapped = mapped && p.regs.count(start + i);
                    if (!mapped) {
                        exception(2);
                    } else {
                        std::vector<uint16_t> values;
                        for (uint32_t i = 0; i < qty; ++i) {
                            uint16_t v = static_cast<uint16_t>((f[7 + 2 * i] << 8) | f[8 + 2 * i]);
                            values.push_back(v);
                            p.regs[start + i] = v;
                        }
                        r = {static_cast<uint8_t>(target), 16, f[2], f[3], f[4], f[5]};
                        if (p.addressReg >= start && p.addressReg < start + qty) {
                            int v = values[p.addressReg - start];
                            if (v >= 1 && v <= 247) {
                                if (p.rebootReg == 0) moveTo = v;
                                else p.pendingAddr = v;
                            }
                        }
                        if (p.rebootReg && p.rebootReg >= start && p.rebootReg < start + qty && p.pendingAddr) {
                            moveTo = p.pendingAddr;
                            p.pendingAddr = 0;
                        }
                        if (p.hook) p.hook(target, start, values, p.regs);
                    }
                }
            } else {
                exception(1);
            }
            if (moveTo && *moveTo != target && !probes_.count(*moveTo)) {
                auto node = probes_.extract(target);
                node.key() = *moveTo;
                probes_.insert(std::move(node));
            }
            if (addr != 0) reply = std::move(r);
        }
    }
    if (reply.empty()) return;
    if (delayMs_ + lateMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load() + lateMs));
    writeFrame(std::move(reply), corrupt);
}

void ProbeBusSim::writeFrame(std::vector<uint8_t> reply, bool corrupt) {
    uint16_t crc = modbusCrc16(reply.data(), reply.size());
    if (corrupt) crc ^= 0x5A5A;
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    record(false, reply.data(), reply.size());
    size_t off = 0;
    while (off < reply.size()) {
        ssize_t w = ::write(masterFd_, reply.data() + off, reply.size() - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
}

}  // namespace orvane::test
