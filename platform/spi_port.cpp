#include "platform/spi_port.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace orvane::platform {

namespace {
std::mutex gFactoryMutex;
std::function<std::unique_ptr<SpiPort>()> gFactory;
}  // namespace

std::unique_ptr<SpiPort> SpiPort::create() {
    std::lock_guard lk(gFactoryMutex);
    if (gFactory) return gFactory();
    return std::make_unique<SpidevPort>();
}

void SpiPort::setFactoryForTest(std::function<std::unique_ptr<SpiPort>()> factory) {
    std::lock_guard lk(gFactoryMutex);
    gFactory = std::move(factory);
}

SpiPort::OpenResult SpidevPort::open(const std::string& path, uint32_t mode, uint8_t bits, uint32_t speed) {
    close();
    OpenResult r;
    auto fail = [&](OpenStep step) {
        r.failed = step;
        r.err = errno;
        close();
        return r;
    };
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) return fail(OpenStep::Open);
    if (::ioctl(fd_, SPI_IOC_WR_MODE32, &mode) == -1) return fail(OpenStep::SetMode);
    if (::ioctl(fd_, SPI_IOC_RD_MODE32, &r.mode) == -1) return fail(OpenStep::GetMode);
    if (::ioctl(fd_, SPI_IOC_WR_BITS_PER_WORD, &bits) == -1) return fail(OpenStep::SetBits);
    if (::ioctl(fd_, SPI_IOC_RD_BITS_PER_WORD, &r.bits) == -1) return fail(OpenStep::GetBits);
    if (::ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &speed) == -1) return fail(OpenStep::SetSpeed);
    if (::ioctl(fd_, SPI_IOC_RD_MAX_SPEED_HZ, &r.speed) == -1) return fail(OpenStep::GetSpeed);
    mode_ = r.mode;
    bits_ = r.bits;
    speed_ = r.speed;
    return r;
}

int SpidevPort::transfer(const uint8_t* tx, uint8_t* rx, unsigned len) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    spi_ioc_transfer t;
    std::memset(&t, 0, sizeof t);
    t.tx_buf = reinterpret_cast<uintptr_t>(tx);
    t.rx_buf = reinterpret_cast<uintptr_t>(rx);
    t.len = len;
    t.speed_hz = speed_;
    t.bits_per_word = bits_;
    // Lane widths follow the mode word.
    if (mode_ & SPI_TX_QUAD) t.tx_nbits = 4;
    else if (mode_ & SPI_TX_DUAL) t.tx_nbits = 2;
    if (mode_ & SPI_RX_QUAD) t.rx_nbits = 4;
    else if (mode_ & SPI_RX_DUAL) t.rx_nbits = 2;
    return ::ioctl(fd_, SPI_IOC_MESSAGE(1), &t) < 1 ? -1 : 0;
}

void SpidevPort::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace orvane::platform
