#include "lora/sx1268.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

#include "platform/clock.h"
#include "platform/paths.h"
#include "utils/log.h"
#include "utils/utility.h"

namespace lora {

using orvane::platform::Clock;
using orvane::platform::EdgeLine;
using orvane::platform::SpiPort;
using orvane::platform::SysfsGpio;
using namespace std::chrono_literals;

uint32_t lora_bandwidth(uint32_t bwKHz) {
    if (bwKHz == 125) return 4;
    if (bwKHz == 250) return 5;
    return 6;
}

uint32_t frequency_word(uint32_t freq) {
    return ((freq / 15625u) << 14) + (((freq % 15625u) << 14) / 15625u);
}

unsigned time_on_air_ms(unsigned sf, unsigned bwCode, unsigned cr, unsigned frameLen, unsigned preamble) {
    const uint64_t bw = bwCode == 5 ? 250 : bwCode == 6 ? 500 : 125;
    if (cr < 1 || cr > 4) cr = 1;
    const uint64_t ts = (uint64_t{1} << sf) * 1000 / bw;  // symbol time, us
    const int64_t de = ts > 16000 ? 1 : 0;
    const int64_t num = 8 * static_cast<int64_t>(frameLen) - 4 * static_cast<int64_t>(sf) + 44;
    int64_t n = 8;
    if (num > 0) {
        const int64_t den = 4 * (static_cast<int64_t>(sf) - 2 * de);
        n = 8 + ((num + den - 1) / den) * (cr + 4);
    }
    return static_cast<unsigned>((ts * static_cast<uint64_t>(n) + ts * (4 * uint64_t{preamble} + 17) / 4) / 1000 + 1);
}

SX1268::SX1268() : spiPath_(orvane::platform::Paths::system("dev/spidev0.0")) {}

SX1268::~SX1268() {
    stop();
    close_spi();
}

int SX1268::receive(const unsigned char*, unsigned) { return -1; }

int SX1268::config(uint32_t freqHz, uint32_t bwKHz, uint32_t preamble, uint32_t sf, uint32_t cr, uint32_t powerDbm) {
    SLOG_INFO(LORA, "Set Lora: Freq {}, BW {}, PS {}, SF {}, CR {}, P{}", freqHz, bwKHz, preamble, sf, cr, powerDbm);
    freq_ = freqHz;
    bw_ = lora_bandwidth(bwKHz);
    preamble_ = preamble;
    sf_ = sf;
    cr_ = cr;
    power_ = powerDbm;
    return 0;
}

int SX1268::start() {
    SLOG_INFO(LORA, "SX1268 start.");
    stop_.store(false);
    if (open_spi_dev() < 0) {
        SLOG_WARN(LORA, "Open SPI device[{}] failed", spiPath_);
        return -1;
    }
    if (lora_gpio_init() < 0) {
        SLOG_WARN(LORA, "Setup Lora GPIO failed");
        return -1;
    }
    for (int i = 0; i < kAttempts && !stop_.load(); ++i) {
        try {
            lora_reset();
            lora_init();
            return 0;
        } catch (const std::exception& e) {
            SLOG_WARN(LORA, "Lora: Fail to start. {}", e.what());
        }
    }
    return -1;
}

int SX1268::stop() {
    SLOG_INFO(LORA, "SX1268 stop.");
    stop_.store(true);
    {
        std::lock_guard lk(edgeMutex_);
        if (edge_) edge_->interrupt();
    }
    wakeHandoff();
    if (!workRunning_.load()) close_spi();
    return 0;
}

void SX1268::close_spi() {
    std::lock_guard lk(spiMutex_);
    if (spi_) spi_->close();
}

void SX1268::wakeHandoff() {
    std::lock_guard lk(handoffMutex_);
    handoffCv_.notify_all();
}

int SX1268::open_spi_dev() {
    std::lock_guard lk(spiMutex_);
    if (spi_) spi_->close();
    spi_ = SpiPort::create();
    const SpiPort::OpenResult r = spi_->open(spiPath_, spiMode_, spiBits_, spiSpeed_);
    if (!r.ok()) {
        if (r.failed == SpiPort::OpenStep::Open) {
            SLOG_WARN(LORA, "Can't open device: {}", spiPath_);
        } else {
            SLOG_WARN(LORA, "{}", orvane::platform::spiOpenStepText(r.failed));
        }
        return -1;
    }
    SLOG_INFO(LORA, "spi mode: 0x{0:x}", r.mode);
    SLOG_INFO(LORA, "bits per word: {0:d}", r.bits);
    SLOG_INFO(LORA, "max speed: {0:d} Hz ({1:d} kHz)", r.speed, r.speed / 1000);
    return 0;
}

int SX1268::gpio_init(int gpio, GPIO_DIRECTION dir, INTERRUPT_TYPE edge) {
    if (SysfsGpio::ready(gpio)) return 0;
    using R = SysfsGpio::Result;
    switch (SysfsGpio::exportLine(gpio)) {
        case R::Ok: break;
        case R::ExportOpen: SLOG_WARN(LORA, "Unable to open /sys/class/gpio/export"); return 1;
        default: SLOG_WARN(LORA, "Error writing {} to /sys/class/gpio/export", gpio); return 2;
    }
    const bool in = dir == GPIO_IN;
    switch (SysfsGpio::setDirection(gpio, in ? SysfsGpio::Direction::In : SysfsGpio::Direction::Out)) {
        case R::Ok: break;
        case R::DirectionOpen: SLOG_WARN(LORA, "Unable to open gpio direction"); return 3;
        default:
            if (in) SLOG_WARN(LORA, "Unable to set gpio to input");
            else SLOG_WARN(LORA, "Unable to set gpio to output");
            return 4;
    }
    if (edge == INTERRUPT_NONE) return 0;
    const SysfsGpio::Edge e = edge == INTERRUPT_RISING    ? SysfsGpio::Edge::Rising
                              : edge == INTERRUPT_FALLING ? SysfsGpio::Edge::Falling
                                                          : SysfsGpio::Edge::Both;
    switch (SysfsGpio::setEdge(gpio, e)) {
        case R::Ok: return 0;
        case R::EdgeOpen: SLOG_WARN(LORA, "Unable to open gpio edge"); return 5;
        default:
            if (e == SysfsGpio::Edge::Rising) SLOG_WARN(LORA, "Unable to set rising interrupt");
            else if (e == SysfsGpio::Edge::Falling) SLOG_WARN(LORA, "Unable to set falling interrupt");
            else SLOG_WARN(LORA, "Unable to set both interrupt");
            return 6;
    }
}

int SX1268::gpio_write(int gpio, GPIO_VALUE value) {
    switch (SysfsGpio::write(gpio, value == GPIO_HIGH ? 1 : 0)) {
        case SysfsGpio::Result::Ok: return 0;
        case SysfsGpio::Result::ValueOpen: SLOG_WARN(LORA, "Unable to open gpio value file"); return -1;
        default: SLOG_WARN(LORA, "Unable to write gpio value"); return -1;
    }
}

int SX1268::lora_gpio_init() {
    if (gpio_init(kGpioFlashCs, GPIO_OUT, INTERRUPT_NONE) != 0) {
        SLOG_WARN(LORA, "Fail to init the SPI FLASH CS");
        return -1;
    }
    if (gpio_write(kGpioFlashCs, GPIO_HIGH) != 0) {
        SLOG_WARN(LORA, "Fail to set the SPI FLASH CS to high");
        return -1;
    }
    if (gpio_init(kGpioReset, GPIO_OUT, INTERRUPT_NONE) != 0) {
        SLOG_WARN(LORA, "Fail to init the Lora SPI reset");
        return -1;
    }
    if (gpio_init(kGpioDio1, GPIO_IN, INTERRUPT_RISING) != 0) {
        SLOG_WARN(LORA, "Fail to init the Lora DIO1");
        return -1;
    }
    return 0;
}

void SX1268::lora_reset() {
    if (gpio_write(kGpioReset, GPIO_LOW) != 0) throw std::runtime_error("Fail to set GPIO to Low");
    Clock::get().sleepFor(200ms);
    if (gpio_write(kGpioReset, GPIO_HIGH) != 0) throw std::runtime_error("Fail to set GPIO to High");
}

int SX1268::transfer(const uint8_t* tx, uint8_t* rx, unsigned len) {
    if (!spi_ || !spi_->isOpen()) {
        SLOG_WARN(LORA, "can't send spi message when the file is not open.");
        return -1;
    }
    if (spi_->transfer(tx, rx, len) < 0) {
        const int err = errno;
        SLOG_WARN(LORA, "Can't send spi message. error{} {}", err, std::strerror(err));
        return -1;
    }
    return 0;
}

void SX1268::transfer_r(const uint8_t* tx, uint8_t* rx, unsigned len) {
    // Once stopping, a long command sequence (initialisation) ends at its next command.
    if (stop_.load()) throw std::runtime_error("Fail to transfer. The radio is stopping");
    std::lock_guard lk(spiMutex_);
    int rc = -1;
    for (int i = 0; i < kAttempts; ++i) {
        rc = transfer(tx, rx, len);
        Clock::get().sleepFor(100ms);
        if (rc == 0) return;
    }
    if (len >= 2) SLOG_WARN(LORA, "Transfer fail {}: {} {}", rc, tx[0], tx[1]);
    else if (len == 1) SLOG_WARN(LORA, "Transfer fail {}: {}", rc, tx[0]);
    else SLOG_WARN(LORA, "Transfer fail {}", rc);
    throw std::runtime_error("Fail to transfer. RC: " + std::to_string(rc));
}

void SX1268::command(std::initializer_list<uint8_t> bytes) {
    std::array<uint8_t, 16> tx{};
    std::array<uint8_t, 16> rx{};
    std::copy(bytes.begin(), bytes.end(), tx.begin());
    transfer_r(tx.data(), rx.data(), static_cast<unsigned>(bytes.size()));
}

uint8_t SX1268::readRegister(uint16_t addr) {
    const uint8_t tx[5] = {0x1D, static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr & 0xFF), 0, 0};
    uint8_t rx[5] = {};
    transfer_r(tx, rx, 5);
    return rx[4];
}

void SX1268::setRx() { command({0x82, 0x3F, 0xFF, 0xC0}); }

void SX1268::setDioIrqParams() { command({0x08, 0x02, 0x63, 0x02, 0x63, 0x00, 0x00, 0x00, 0x00}); }

void SX1268::lora_init() {
    const uint8_t sf = static_cast<uint8_t>(sf_);
    const uint8_t bw = static_cast<uint8_t>(bw_);
    const uint8_t cr = static_cast<uint8_t>(cr_);
    const uint8_t ldro = ((bw_ == 4 && sf_ > 10) || (bw_ == 5 && sf_ == 12)) ? 1 : 0;
    auto paConfig = [this] {
        const uint8_t v = readRegister(0x08D8);
        command({0x0D, 0x08, 0xD8, static_cast<uint8_t>(v | 0x1E)});
        command({0x95, 0x04, 0x07, 0x00, 0x01});
    };
    auto packetSetup = [&] {
        command({0x8A, 0x01});
        command({0x8B, sf, bw, cr, ldro});
        command({0x8C, 0x00, 0x08, 0x00, 0xFF, 0x01, 0x00});
    };

    SLOG_INFO(LORA, "0. Set initialization seq");
    command({0x80, 0x00});
    command({0x9D, 0x01});
    command({0x80, 0x00});
    SLOG_INFO(LORA, "1. Set regulator mode");
    command({0x96, 0x01});
    SLOG_INFO(LORA, "2. Set TX and RX receive address");
    command({0x8F, 0x00, 0x00});
    SLOG_INFO(LORA, "3. Set TX parameters");
    paConfig();
    command({0x8E, 0x00, 0x04});
    SLOG_INFO(LORA, "4. Set IRQ parameters");
    setDioIrqParams();
    SLOG_INFO(LORA, "5. Calibrate image");
    command({0x98, 0xE1, 0xE9});
    SLOG_INFO(LORA, "6. Set RF frequency: {}", freq_);
    const uint32_t w = frequency_word(freq_);
    command({0x86, static_cast<uint8_t>(w >> 24), static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 8),
             static_cast<uint8_t>(w)});
    command({0x80, 0x00});
    SLOG_INFO(LORA, "7. Set TX config sf_{} bw_{}", sf_, bw_);
    packetSetup();
    {
        const uint8_t v = readRegister(0x0889);
        command({0x0D, 0x08, 0x89, static_cast<uint8_t>(v | 0x04)});
    }
    SLOG_INFO(LORA, "8. Set Tx Power");
    paConfig();
    command({0x8E, static_cast<uint8_t>(power_), 0x02});
    command({0x9F, 0x00});
    command({0x80, 0x00});
    SLOG_INFO(LORA, "9. Set RX config  sf_{} bw_{}", sf_, bw_);
    packetSetup();
    command({0xA0, 0x00});
    {
        const uint8_t v = readRegister(0x0736);
        command({0x0D, 0x07, 0x36, static_cast<uint8_t>(v | 0x04)});
    }
    setRx();
    setDioIrqParams();
    SLOG_INFO(LORA, "=====> Complete lora module SX1268 initialization. <=====");
}

int SX1268::startReceive() {
    try {
        setRx();
        return 0;
    } catch (const std::exception&) {
        return -1;
    }
}

int SX1268::write_tx_buffer(uint8_t offset, const uint8_t* data, uint8_t len) {
    return write_tx_buffer(offset, data, static_cast<unsigned>(len));
}

int SX1268::write_tx_buffer(uint8_t offset, const uint8_t* data, unsigned len) {
    if (len > kMaxTxFrame || data == nullptr) {
        SLOG_WARN(LORA, "Out of Range to write to buffer. {}", len);
        return -1;
    }
    cmdBuf_[0] = 0x0E;
    cmdBuf_[1] = offset;
    std::memcpy(cmdBuf_.data() + 2, data, len);
    cmdLen_ = static_cast<int>(len + 2);
    return cmdLen_;
}

int SX1268::publish(const unsigned char* frame, unsigned len) {
    if (frame == nullptr) {
        SLOG_WARN(LORA, "Fail to publish due to empty buffer.");
        return -1;
    }
    if (write_tx_buffer(0, frame, len) < 0) {
        SLOG_WARN(LORA, "Fail to write to tx buffer during publish.");
        return -1;
    }
    try {
        const uint16_t irq = lastIrq_.load();
        command({0x02, static_cast<uint8_t>(irq >> 8), static_cast<uint8_t>(irq & 0xFF)});
        command({0x8C, 0x00, 0x08, 0x00, static_cast<uint8_t>(len), 0x01, 0x00});
        std::array<uint8_t, 256 + 2> rx{};
        transfer_r(cmdBuf_.data(), rx.data(), static_cast<unsigned>(cmdLen_));
        command({0x83, 0x00, 0x00, 0x00});
        SLOG_INFO(LORA, "************ Send: ****************");
        SLOG_INFO(LORA, "{}", Utility::hex(frame, static_cast<int>(len)));
        SLOG_INFO(LORA, "Send command len: {}", len);
        if (sf_ < 6 || sf_ > 12) {
            Clock::get().sleepFor(150ms);
        } else {
            const unsigned t = time_on_air_ms(sf_, bw_, cr_, len, preamble_);
            if (t > 100) Clock::get().sleepFor(std::chrono::milliseconds(t - 100));
        }
        return 0;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Fail to publish. {}", e.what());
        return -1;
    }
}

int SX1268::prepare_receive() {
    auto line = EdgeLine::create();
    if (!line->open(kGpioDio1)) {
        SLOG_WARN(LORA, "Unable to open interrupt value");
        return -1;
    }
    SLOG_INFO(LORA, "Open {0}: {1}", line->path(), kGpioDio1);
    if (!line->arm()) {
        SLOG_WARN(LORA, "Unable to read interrupt value");
        return -2;
    }
    {
        std::lock_guard lk(edgeMutex_);
        edge_ = std::move(line);
    }
    for (int i = 0; i < kAttempts; ++i) {
        try {
            setDioIrqParams();
            break;
        } catch (const std::exception& e) {
            SLOG_WARN(LORA, "Get Error when start sx1268 thread. {}", e.what());
        }
    }
    edgeTimeouts_ = 0;
    return 0;
}

int SX1268::work_thread() {
    workRunning_.store(true);
    int rc = stop_.load() ? 0 : prepare_receive();
    if (rc == 0 && edge_) {
        while (receiveOnce() == Pass::Continue) {
        }
        SLOG_INFO(LORA, "SX1268 stop to run.");
    }
    {
        std::lock_guard lk(edgeMutex_);
        if (edge_) edge_->close();
        edge_.reset();
    }
    workRunning_.store(false);
    return rc;
}

void SX1268::recover(const char* why) {
    SLOG_WARN(LORA, "{}", why);
    try {
        lora_reset();
        lora_init();
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Get Error when start sx1268 thread. {}", e.what());
    }
    Clock::get().sleepFor(500ms);
}

SX1268::Pass SX1268::receiveOnce() {
    if (stop_.load()) return Pass::Stopped;
    EdgeLine* line = nullptr;
    {
        std::lock_guard lk(edgeMutex_);
        line = edge_.get();
    }
    if (line == nullptr) return Pass::Stopped;
    // Flags that came up while the last ones were being cleared raise no new edge: take them
    // without waiting.
    const EdgeLine::Wait w = irqPending_ ? EdgeLine::Wait::Edge : line->wait(250ms);
    const bool rising = !irqPending_;
    irqPending_ = false;
    if (stop_.load()) return Pass::Stopped;
    if (w == EdgeLine::Wait::Error) {
        SLOG_WARN(LORA, "Unable to poll interrupt state. {}", std::strerror(errno));
        Clock::get().sleepFor(250ms);
        return Pass::Continue;
    }
    if (w == EdgeLine::Wait::Timeout) {
        if (++edgeTimeouts_ > kEdgeTimeoutLimit) {
            recover("SX1268 work thread: Poll timeout exceeded.");
            edgeTimeouts_ = 0;
        }
        return Pass::Continue;
    }
    edgeTimeouts_ = 0;
    SLOG_INFO(LORA, "----> Interrupt triggered <-----");
    if (rising && !line->acknowledge()) SLOG_WARN(LORA, "Fail to read interrupt value");

    uint16_t flags = 0;
    bool seen = false;  // a packet was seen: it ends in the hand-over, or here
    bool whole = false;
    unsigned n = 0;
    try {
        uint8_t rx[4] = {};
        const uint8_t getIrq[4] = {0x12, 0, 0, 0};
        transfer_r(getIrq, rx, 4);
        flags = static_cast<uint16_t>((rx[2] << 8) | rx[3]);
        lastIrq_.store(flags);
        command({0x02, static_cast<uint8_t>(flags >> 8), static_cast<uint8_t>(flags & 0xFF)});
        SLOG_INFO(LORA, "Interrupt vector: 0x{0:x}", flags);
        if (flags & kIrqRxDone) {
            seen = true;
            rxRead_.fetch_add(1);
            SLOG_INFO(LORA, "************* Receive interrupt ****************");
            const uint8_t getBuf[4] = {0x13, 0, 0, 0};
            transfer_r(getBuf, rx, 4);
            const unsigned length = rx[2];
            const uint8_t offset = rx[3];
            SLOG_INFO(LORA, "************ Length: {0}, Offset: {1} ****************", length, offset);
            n = std::min(length, kMaxRxRead);
            std::array<uint8_t, 256 + 3> tx{};
            tx[0] = 0x1E;
            tx[1] = offset;
            xfer_.fill(0);
            transfer_r(tx.data(), xfer_.data(), n + 3);
            const uint8_t getStatus[4] = {0x14, 0, 0, 0};
            transfer_r(getStatus, rx, 4);
            const uint8_t rssiPkt = rx[2];
            SLOG_INFO(LORA, "RSSI: {}", -static_cast<int>(rssiPkt) / 2);
            std::copy(xfer_.begin(), xfer_.begin() + n + 3, rxBuf_.begin());
            rxBuf_[0] = static_cast<unsigned char>(rssiPkt / 2);
            whole = true;
        }
        if (flags & kIrqCrcErr) SLOG_WARN(LORA, "IRQ: CRC error");
        if (flags & kIrqHeaderErr) SLOG_WARN(LORA, "IRQ: RX error");
        if (flags & kIrqTimeout) SLOG_INFO(LORA, "IRQ: Timeout");
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Get Error when start sx1268 thread. {}", e.what());
    }
    if (seen && (!whole || !handOver(n + 3))) endReception();
    if (flags & kIrqHeaderErr) recover("IRQ: header error, re-initialising the radio");
    try {
        setRx();
        uint8_t rx[4] = {};
        const uint8_t getIrq[4] = {0x12, 0, 0, 0};
        transfer_r(getIrq, rx, 4);
        irqPending_ = (((rx[2] << 8) | rx[3]) & kIrqMask) != 0;
    } catch (const std::exception& e) {
        SLOG_WARN(LORA, "Get Error when start sx1268 thread. {}", e.what());
    }
    return Pass::Continue;
}

void SX1268::endReception() {
    rxEnded_.fetch_add(1);
    receptionEnded();
}

bool SX1268::handOver(unsigned len) {
    std::unique_lock lk(handoffMutex_);
    // A packet not yet taken is never overwritten.
    handoffCv_.wait(lk, [this] { return !eventReady_ || stop_.load(); });
    if (stop_.load()) return false;
    std::copy(rxBuf_.begin(), rxBuf_.begin() + len, packet_.begin());
    packetLen_ = len;
    eventReady_ = true;
    handoffCv_.notify_all();
    // The receiver takes the packet once this pause is over (the reply timing devices expect).
    Clock::get().sleepFor(1s);
    return true;
}

bool SX1268::waitPacket(std::chrono::milliseconds timeout, std::array<unsigned char, 256>& out, unsigned& len) {
    std::unique_lock lk(handoffMutex_);
    if (!handoffCv_.wait_for(lk, timeout, [this] { return eventReady_ || stop_.load(); }) || !eventReady_) {
        return false;
    }
    out = packet_;
    len = packetLen_;
    eventReady_ = false;
    handoffCv_.notify_all();
    return true;
}

}  // namespace lora
