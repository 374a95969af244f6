#pragma once
// SX1268 LoRa transceiver on SPI with three sysfs GPIO lines: 74 (chip select of the board's SPI
// flash, held high), 64 (radio reset, active low) and 66 (DIO1 interrupt, rising edge).
//
// The chip is configured by a fixed command sequence plus the radio settings, kept in receive,
// and served by a receive thread (work_thread, one receiveOnce per DIO1 wait) that reads every
// packet into its own buffer and hands it over to the network manager through a one-packet
// slot (waitPacket / takePacket). Every SPI command runs under the SPI lock and is followed by a
// 100 ms pause of the platform clock.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/gpio.h"
#include "platform/spi_port.h"

namespace lora {

enum GPIO_DIRECTION { GPIO_IN = 1, GPIO_OUT = 2 };
enum INTERRUPT_TYPE { INTERRUPT_NONE = 0, INTERRUPT_RISING = 1, INTERRUPT_FALLING = 2, INTERRUPT_BOTH = 3 };
enum GPIO_VALUE { GPIO_LOW = 0, GPIO_HIGH = 1 };

inline constexpr int kGpioFlashCs = 74;
inline constexpr int kGpioReset = 64;
inline constexpr int kGpioDio1 = 66;
inline constexpr uint16_t kIrqTxDone = 0x0001;
inline constexpr uint16_t kIrqRxDone = 0x0002;
inline constexpr uint16_t kIrqHeaderErr = 0x0020;
inline constexpr uint16_t kIrqCrcErr = 0x0040;
inline constexpr uint16_t kIrqTimeout = 0x0200;
inline constexpr uint16_t kIrqMask = 0x0263;
inline constexpr unsigned kMaxTxFrame = 253;
inline constexpr unsigned kMaxRxRead = 200;
inline constexpr int kEdgeTimeoutLimit = 1000;

// Time on air of a frame in ms, as publish waits for it.
unsigned time_on_air_ms(unsigned sf, unsigned bwCode, unsigned cr, unsigned frameLen, unsigned preamble);
// SetRfFrequency word: freq * 2^25 / 32 MHz without overflow.
uint32_t frequency_word(uint32_t freqHz);
// 125 -> 4, 250 -> 5, anything else 6 (500 kHz).
uint32_t lora_bandwidth(uint32_t bwKHz);

class SX1268 {
public:
    SX1268();
    virtual ~SX1268();
    SX1268(const SX1268&) = delete;
    SX1268& operator=(const SX1268&) = delete;

    // Packet handed over by the receive thread; implemented by the network manager.
    virtual int receive(const unsigned char* data, unsigned len);

    int config(uint32_t freqHz, uint32_t bwKHz, uint32_t preamble, uint32_t sf, uint32_t cr, uint32_t powerDbm);
    // Clears the stop flag, opens SPI, sets up the GPIO lines, then up to 5 reset+init attempts.
    int start();
    // Asks the receive thread to end (flag, wakes its waits). SPI is closed here only when no
    // receive thread runs; otherwise whoever joins the thread calls close_spi().
    int stop();
    void close_spi();
    int startReceive();
    int publish(const unsigned char* frame, unsigned len);

    // Receive thread body: prepare_receive, then receiveOnce until the stop flag is set.
    int work_thread();
    // Steps before the loop: open and arm DIO1, enable the interrupts. 0, or -1/-2 when the
    // line cannot be opened/read.
    int prepare_receive();
    enum class Pass { Continue, Stopped };
    // One DIO1 wait and what follows it (at most one packet handed over).
    Pass receiveOnce();

    // Hand-off slot. waitPacket waits up to timeout (real time, ends at stop) for a packet and
    // moves it into out (256 bytes) with its length (packet length + 3); false when none came.
    bool waitPacket(std::chrono::milliseconds timeout, std::array<unsigned char, 256>& out, unsigned& len);

    // Lower operations.
    int open_spi_dev();
    int lora_gpio_init();
    int gpio_init(int gpio, GPIO_DIRECTION dir, INTERRUPT_TYPE edge);
    int gpio_write(int gpio, GPIO_VALUE value);
    void lora_reset();
    void lora_init();
    int transfer(const uint8_t* tx, uint8_t* rx, unsigned len);
    void transfer_r(const uint8_t* tx, uint8_t* rx, unsigned len);
    // Builds WriteBuffer (0E offset data) into the command buffer; its size or -1.
    int write_tx_buffer(uint8_t offset, const uint8_t* data, uint8_t len);
    int write_tx_buffer(uint8_t offset, const uint8_t* data, unsigned len);

    // A packet that the receive thread has read from the chip and its receiver has not finished
    // with yet (still being read, waiting in the slot, or being handled). The receiver calls
    // packetHandled() once for every packet it took from waitPacket.
    bool packetInFlight() const { return rxRead_.load() != rxEnded_.load(); }
    void packetHandled() { endReception(); }

    bool stopRequested() const { return stop_.load(); }
    uint16_t lastIrqFlags() const { return lastIrq_.load(); }

protected:
    void wakeHandoff();
    // A packet has stopped being in flight: handled by its receiver, or never handed over (its
    // read failed, or the radio is stopping). Whoever waits for that is woken here. Called with
    // no lock of the radio held, on the receiver's thread or the receive thread.
    virtual void receptionEnded() {}

private:
    void endReception();
    void command(std::initializer_list<uint8_t> bytes);
    uint8_t readRegister(uint16_t addr);
    void setRx();
    void setDioIrqParams();
    void recover(const char* why);
    bool handOver(unsigned len);

    // Radio settings.
    uint32_t freq_ = 903000000;
    uint32_t bw_ = 5;
    uint32_t preamble_ = 8;
    uint32_t sf_ = 9;
    uint32_t cr_ = 1;
    uint32_t power_ = 20;
    // SPI.
    std::unique_ptr<orvane::platform::SpiPort> spi_;
    std::string spiPath_;
    uint32_t spiMode_ = 0;
    uint8_t spiBits_ = 8;
    uint32_t spiSpeed_ = 500000;
    std::mutex spiMutex_;
    std::array<uint8_t, 256 + 2> cmdBuf_{};
    int cmdLen_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> workRunning_{false};
    std::atomic<uint16_t> lastIrq_{0};
    std::atomic<uint32_t> rxRead_{0};   // packets seen with RxDone
    std::atomic<uint32_t> rxEnded_{0};  // of those, handled by the receiver or never handed over
    static constexpr int kAttempts = 5;
    // Receive thread.
    std::unique_ptr<orvane::platform::EdgeLine> edge_;
    std::mutex edgeMutex_;  // guards edge_ against stop()'s interrupt
    int edgeTimeouts_ = 0;
    bool irqPending_ = false;  // masked flags still set after the last pass
    std::array<unsigned char, 256> rxBuf_{};  // the receive thread's own
    std::array<uint8_t, 256 + 3> xfer_{};
    // Hand-off slot.
    std::mutex handoffMutex_;
    std::condition_variable handoffCv_;
    bool eventReady_ = false;
    std::array<unsigned char, 256> packet_{};
    unsigned packetLen_ = 0;
};

}  // namespace lora
