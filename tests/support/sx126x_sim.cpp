#include "support/sx126x_sim.h"

#include <cerrno>
#include <memory>

#include "platform/clock.h"
#include "platform/gpio.h"

namespace orvane::test {

using orvane::platform::EdgeLine;
using orvane::platform::SpiPort;

namespace {

constexpr uint8_t kStatusByte = 0xA2;
constexpr uint16_t kTxDone = 0x0001, kRxDone = 0x0002;

class SimPort final : public SpiPort {
public:
    explicit SimPort(Sx126xSim& sim) : sim_(sim) {}
    ~SimPort() override { close(); }
    OpenResult open(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed) override {
        OpenResult r = sim_.portOpen(path, mode, bits, speed);
        open_ = r.ok();
        return r;
    }
    int transfer(const uint8_t* tx, uint8_t* rx, unsigned len) override { return sim_.portTransfer(tx, rx, len); }
    void close() override {
        if (open_) sim_.portClose();
        open_ = false;
    }
    bool isOpen() const override { return open_; }

private:
    Sx126xSim& sim_;
    bool open_ = false;
};

class SimLine final : public EdgeLine {
public:
    explicit SimLine(Sx126xSim& sim) : sim_(sim) {}
    bool open(int gpio) override {
        path_ = "sim-gpio" + std::to_string(gpio);
        return sim_.lineOpen();
    }
    bool arm() override { return true; }
    Wait wait(std::chrono::milliseconds timeout) override {
        return sim_.lineWait(timeout) == 0 ? Wait::Edge : Wait::Timeout;
    }
    bool acknowledge() override { return true; }
    void interrupt() override { sim_.lineInterrupt(); }
    void close() override {}
    std::string path() const override { return path_; }

private:
    Sx126xSim& sim_;
    std::string path_;
};

}  // namespace

Sx126xSim::Sx126xSim() {
    SpiPort::setFactoryForTest([this] { return std::make_unique<SimPort>(*this); });
    EdgeLine::setFactoryForTest([this] { return std::make_unique<SimLine>(*this); });
}

Sx126xSim::~Sx126xSim() {
    SpiPort::setFactoryForTest(nullptr);
    EdgeLine::setFactoryForTest(nullptr);
}

SpiPort::OpenResult Sx126xSim::portOpen(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed) {
    std::lock_guard lk(m_);
    opens_.push_back({path, mode, bits, speed});
    SpiPort::OpenResult r;
    if (failOpen_ != SpiPort::OpenStep::None) {
        r.failed = failOpen_;
        r.err = EIO;
        return r;
    }
    r.mode = mode;
    r.bits = bits;
    r.speed = speed;
    open_ = true;
    mode_ = Mode::Standby;
    return r;
}

void Sx126xSim::portClose() {
    std::lock_guard lk(m_);
    open_ = false;
    ++closes_;
}

void Sx126xSim::setIrqLocked(uint16_t bits) {
    const uint16_t before = irq_;
    irq_ |= bits;
    if ((irq_ & dio1Mask_) && !(before & dio1Mask_)) {
        ++edgesPending_;
        cv_.notify_all();
    }
}

void Sx126xSim::arriveLocked(const Uplink& u) {
    if (mode_ != Mode::Rx) {
        ++lost_;
        return;
    }
    const size_t n = std::min<size_t>(u.bytes.size(), 255);
    std::copy(u.bytes.begin(), u.bytes.begin() + static_cast<long>(n), buffer_.begin());
    rxLen_ = static_cast<uint8_t>(n);
    rssi_ = u.rssi;
    mode_ = Mode::Standby;
    setIrqLocked(static_cast<uint16_t>(kRxDone | u.extra));
}

int Sx126xSim::portTransfer(const uint8_t* tx, uint8_t* rx, unsigned len) {
    std::vector<std::vector<uint8_t>> out;
    {
        std::unique_lock lk(m_);
        if (!open_) {
            ++onClosed_;
            errno = EBADF;
            return -1;
        }
        if (len > 0 && tx[0] == holdOpcode_) {
            holdOpcode_ = -1;
            holding_ = true;
            cv_.notify_all();
            cv_.wait(lk, [this] { return !holding_; });
        }
        if (failTransfers_ > 0 && (failOpcode_ < 0 || (len > 0 && tx[0] == failOpcode_))) {
            --failTransfers_;
            errno = EIO;
            return -1;
        }
        transfers_.push_back({std::vector<uint8_t>(tx, tx + len), orvane::platform::Clock::get().steadyMillis()});
        for (unsigned i = 0; i < len; ++i) rx[i] = kStatusByte;
        if (len == 0) return 0;
        auto at = [&](unsigned i) -> uint8_t { return i < len ? tx[i] : 0; };
        switch (tx[0]) {
            case 0x80: mode_ = Mode::Standby; break;
            case 0x9D: case 0x96: case 0x8F: case 0x98: case 0x8A: case 0x9F: case 0xA0: break;
            case 0x95: paConfig_.assign(tx + 1, tx + len); break;
            case 0x8E: txParams_.assign(tx + 1, tx + len); break;
            case 0x86: freqWord_ = (uint32_t{at(1)} << 24) | (uint32_t{at(2)} << 16) | (uint32_t{at(3)} << 8) | at(4); break;
            case 0x8B: modulation_.assign(tx + 1, tx + len); break;
            case 0x8C: packet_.assign(tx + 1, tx + len); break;
            case 0x08:
                irqMask_ = static_cast<uint16_t>((at(1) << 8) | at(2));
                dio1Mask_ = static_cast<uint16_t>((at(3) << 8) | at(4));
                break;
            case 0x12:
                if (len > 3) {
                    rx[2] = static_cast<uint8_t>(irq_ >> 8);
                    rx[3] = static_cast<uint8_t>(irq_ & 0xFF);
                }
                break;
            case 0x02: irq_ = static_cast<uint16_t>(irq_ & ~((at(1) << 8) | at(2))); break;
            case 0x13:
                if (len > 3) {
                    rx[2] = rxLen_;
                    rx[3] = 0;
                }
                break;
            case 0x14:
                if (len > 2) rx[2] = rssi_;
                break;
            case 0x1D: {
                const uint16_t addr = static_cast<uint16_t>((at(1) << 8) | at(2));
                for (unsigned i = 4; i < len; ++i) {
                    auto it = regs_.find(static_cast<uint16_t>(addr + i - 4));
                    rx[i] = it == regs_.end() ? 0x24 : it->second;
                }
                break;
            }
            case 0x0D: {
                const uint16_t addr = static_cast<uint16_t>((at(1) << 8) | at(2));
                for (unsigned i = 3; i < len; ++i) regs_[static_cast<uint16_t>(addr + i - 3)] = tx[i];
                break;
            }
            case 0x0E:
                for (unsigned i = 2; i < len; ++i) buffer_[(at(1) + i - 2) & 0xFF] = tx[i];
                break;
            case 0x1E:
                for (unsigned i = 3; i < len; ++i) rx[i] = buffer_[(at(1) + i - 3) & 0xFF];
                break;
            case 0x83: {
                const size_t L = packet_.size() > 3 ? packet_[3] : 0;
                sent_.emplace_back(buffer_.begin(), buffer_.begin() + static_cast<long>(L));
                out.push_back(sent_.back());
                mode_ = Mode::Standby;
                setIrqLocked(kTxDone);
                cv_.notify_all();
                break;
            }
            case 0x82: mode_ = Mode::Rx; break;
            default: unknown_.push_back(tx[0]); break;
        }
        commandTakenLocked();
    }
    dispatch(out);
    return 0;
}

void Sx126xSim::commandTakenLocked() {
    for (auto it = air_.begin(); it != air_.end();) {
        if (--it->commandsLeft > 0) {
            ++it;
            continue;
        }
        arriveLocked(it->uplink);
        it = air_.erase(it);
    }
}

void Sx126xSim::dispatch(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<LoraFieldDevice*> devices;
    {
        std::lock_guard lk(m_);
        devices = devices_;
    }
    for (const auto& f : frames) {
        for (LoraFieldDevice* d : devices) {
            for (auto& reply : d->onDownlink(f)) {
                std::lock_guard lk(m_);
                uint16_t extra = 0;
                if (damage_ > 0 && !reply.empty()) {
                    --damage_;
                    reply.back() ^= 0xFF;
                    extra = damageIrq_;
                }
                if (answerAfter_ <= 0) arriveLocked({std::move(reply), 120, extra});
                else air_.push_back({{std::move(reply), 120, extra}, answerAfter_});
            }
        }
    }
}

bool Sx126xSim::lineOpen() { return true; }

int Sx126xSim::lineWait(std::chrono::milliseconds timeout) {
    std::unique_lock lk(m_);
    if (!immediate_) cv_.wait_for(lk, timeout, [this] { return edgesPending_ > 0 || interrupted_; });
    interrupted_ = false;
    if (edgesPending_ > 0) {
        --edgesPending_;
        return 0;
    }
    return 1;
}

void Sx126xSim::lineInterrupt() {
    std::lock_guard lk(m_);
    interrupted_ = true;
    cv_.notify_all();
}

void Sx126xSim::deliver(const std::vector<uint8_t>& bytes, uint8_t rssiPkt, uint16_t extraIrq) {
    std::lock_guard lk(m_);
    arriveLocked({bytes, rssiPkt, extraIrq});
}

void Sx126xSim::setAnswerAfter(int commands) {
    std::lock_guard lk(m_);
    answerAfter_ = commands;
}

void Sx126xSim::raiseIrq(uint16_t flags) {
    std::lock_guard lk(m_);
    setIrqLocked(flags);
}
void Sx126xSim::failOpen(SpiPort::OpenStep step) {
    std::lock_guard lk(m_);
    failOpen_ = step;
}
void Sx126xSim::failTransfers(int n, int opcode) {
    std::lock_guard lk(m_);
    failTransfers_ = n;
    failOpcode_ = opcode;
}
void Sx126xSim::holdCommand(uint8_t opcode) {
    std::lock_guard lk(m_);
    holdOpcode_ = opcode;
}
void Sx126xSim::release() {
    std::lock_guard lk(m_);
    holding_ = false;
    cv_.notify_all();
}
bool Sx126xSim::holding() const {
    std::lock_guard lk(m_);
    return holding_;
}
void Sx126xSim::damageAnswers(int n, uint16_t extraIrq) {
    std::lock_guard lk(m_);
    damage_ = n;
    damageIrq_ = extraIrq;
}
void Sx126xSim::setImmediateEdgeWaits(bool immediate) {
    std::lock_guard lk(m_);
    immediate_ = immediate;
}
void Sx126xSim::setRegister(uint16_t addr, uint8_t value) {
    std::lock_guard lk(m_);
    regs_[addr] = value;
}
void Sx126xSim::attach(LoraFieldDevice& device) {
    std::lock_guard lk(m_);
    devices_.push_back(&device);
}

std::vector<Sx126xSim::Transfer> Sx126xSim::transfers() const {
    std::lock_guard lk(m_);
    return transfers_;
}
std::vector<std::vector<uint8_t>> Sx126xSim::commands() const {
    std::lock_guard lk(m_);
    std::vector<std::vector<uint8_t>> c;
    for (const auto& t : transfers_) c.push_back(t.tx);
    return c;
}
void Sx126xSim::clearTransfers() {
    std::lock_guard lk(m_);
    transfers_.clear();
}
std::vector<Sx126xSim::OpenRecord> Sx126xSim::opens() const {
    std::lock_guard lk(m_);
    return opens_;
}
int Sx126xSim::closes() const {
    std::lock_guard lk(m_);
    return closes_;
}
std::vector<uint8_t> Sx126xSim::unknownOpcodes() const {
    std::lock_guard lk(m_);
    return unknown_;
}
int Sx126xSim::transfersOnClosed() const {
    std::lock_guard lk(m_);
    return onClosed_;
}
std::vector<std::vector<uint8_t>> Sx126xSim::sent() const {
    std::lock_guard lk(m_);
    return sent_;
}
int Sx126xSim::lost() const {
    std::lock_guard lk(m_);
    return lost_;
}
bool Sx126xSim::waitSent(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, timeout, [&] { return sent_.size() >= n; });
}
Sx126xSim::Mode Sx126xSim::mode() const {
    std::lock_guard lk(m_);
    return mode_;
}
uint32_t Sx126xSim::frequencyWord() const {
    std::lock_guard lk(m_);
    return freqWord_;
}
std::vector<uint8_t> Sx126xSim::modulationParams() const {
    std::lock_guard lk(m_);
    return modulation_;
}
std::vector<uint8_t> Sx126xSim::paConfig() const {
    std::lock_guard lk(m_);
    return paConfig_;
}
std::vector<uint8_t> Sx126xSim::txParams() const {
    std::lock_guard lk(m_);
    return txParams_;
}
uint16_t Sx126xSim::irqFlags() const {
    std::lock_guard lk(m_);
    return irq_;
}
uint16_t Sx126xSim::dio1Mask() const {
    std::lock_guard lk(m_);
    return dio1Mask_;
}

}  // namespace orvane::test
