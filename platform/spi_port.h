#pragma once
// Full-duplex SPI access for the radio. SpidevPort talks to a Linux spidev device; tests install
// a factory that hands out a simulated chip instead (setFactoryForTest, as Clock::setForTest).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvane::platform {

class SpiPort {
public:
    // The step of open() that failed.
    enum class OpenStep { None, Open, SetMode, GetMode, SetBits, GetBits, SetSpeed, GetSpeed };
    struct OpenResult {
        OpenStep failed = OpenStep::None;
        int err = 0;  // errno of the failure
        // Values read back from the device after setting them.
        uint32_t mode = 0;
        uint8_t bits = 0;
        uint32_t speed = 0;
        bool ok() const { return failed == OpenStep::None; }
    };

    virtual ~SpiPort() = default;
    // Opens the device and sets, then reads back, mode, bits per word and maximum speed. A failed
    // step leaves the port closed.
    virtual OpenResult open(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed) = 0;
    // One full-duplex message of len bytes; 0 on success, -1 with errno set on failure.
    virtual int transfer(const uint8_t* tx, uint8_t* rx, unsigned len) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // A new port from the installed factory (a SpidevPort unless a test installed another).
    static std::unique_ptr<SpiPort> create();
    // Test-only: nullptr restores the spidev factory.
    static void setFactoryForTest(std::function<std::unique_ptr<SpiPort>()> factory);
};

// The log text of a failed open step ("Can't open device: " is followed by the path).
constexpr std::string_view spiOpenStepText(SpiPort::OpenStep s) {
    switch (s) {
        case SpiPort::OpenStep::None: return "";
        case SpiPort::OpenStep::Open: return "Can't open device: ";
        case SpiPort::OpenStep::SetMode: return "Can't set spi WR mode";
        case SpiPort::OpenStep::GetMode: return "Can't get spi RD mode";
        case SpiPort::OpenStep::SetBits: return "Can't set WR bits per word";
        case SpiPort::OpenStep::GetBits: return "Can't get RD bits per word";
        case SpiPort::OpenStep::SetSpeed: return "Can't WR set max speed";
        case SpiPort::OpenStep::GetSpeed: return "Can't RD get max speed";
    }
    return "";
}

class SpidevPort final : public SpiPort {
public:
    ~SpidevPort() override { close(); }
    OpenResult open(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed) override;
    int transfer(const uint8_t* tx, uint8_t* rx, unsigned len) override;
    void close() override;
    bool isOpen() const override { return fd_ >= 0; }

private:
    int fd_ = -1;
    uint32_t mode_ = 0;
    uint8_t bits_ = 8;
    uint32_t speed_ = 0;
};

}  // namespace orvane::platform
