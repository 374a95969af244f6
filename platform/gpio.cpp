#include "platform/gpio.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/paths.h"

namespace orvane::platform {

namespace {

std::mutex gFactoryMutex;
std::function<std::unique_ptr<EdgeLine>()> gFactory;

// Opens an existing file for writing and writes the whole text.
SysfsGpio::Result writeFile(const std::string& path, const std::string& text, SysfsGpio::Result openFail,
                            SysfsGpio::Result writeFail) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return openFail;
    const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    return n == static_cast<ssize_t>(text.size()) ? SysfsGpio::Result::Ok : writeFail;
}

}  // namespace

std::string SysfsGpio::path(int gpio, const char* file) {
    return Paths::sysfs("class/gpio/gpio" + std::to_string(gpio) + "/" + file);
}

bool SysfsGpio::ready(int gpio) {
    const int fd = ::open(path(gpio, "value").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

SysfsGpio::Result SysfsGpio::exportLine(int gpio) {
    return writeFile(Paths::sysfs("class/gpio/export"), std::to_string(gpio), Result::ExportOpen,
                     Result::ExportWrite);
}

SysfsGpio::Result SysfsGpio::setDirection(int gpio, Direction d) {
    return writeFile(path(gpio, "direction"), d == Direction::In ? "in" : "out", Result::DirectionOpen,
                     Result::DirectionWrite);
}

SysfsGpio::Result SysfsGpio::setEdge(int gpio, Edge e) {
    const char* text = e == Edge::Rising ? "rising" : e == Edge::Falling ? "falling" : e == Edge::Both ? "both" : "none";
    return writeFile(path(gpio, "edge"), text, Result::EdgeOpen, Result::EdgeWrite);
}

SysfsGpio::Result SysfsGpio::write(int gpio, int value) {
    return writeFile(path(gpio, "value"), value ? "1" : "0", Result::ValueOpen, Result::ValueWrite);
}

std::unique_ptr<EdgeLine> EdgeLine::create() {
    std::lock_guard lk(gFactoryMutex);
    if (gFactory) return gFactory();
    return std::make_unique<SysfsEdgeLine>();
}

void EdgeLine::setFactoryForTest(std::function<std::unique_ptr<EdgeLine>()> factory) {
    std::lock_guard lk(gFactoryMutex);
    gFactory = std::move(factory);
}

SysfsEdgeLine::SysfsEdgeLine() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SysfsEdgeLine::~SysfsEdgeLine() {
    close();
    if (wake_ >= 0) ::close(wake_);
}

bool SysfsEdgeLine::open(int gpio) {
    close();
    path_ = SysfsGpio::path(gpio, "value");
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

bool SysfsEdgeLine::arm() {
    char buf[8];
    return fd_ >= 0 && ::read(fd_, buf, sizeof buf) >= 0;
}

EdgeLine::Wait SysfsEdgeLine::wait(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return Wait::Error;
    pollfd fds[2] = {{fd_, POLLPRI | POLLERR, 0}, {wake_, POLLIN, 0}};
    const int n = ::poll(fds, wake_ >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (n < 0) return errno == EINTR ? Wait::Timeout : Wait::Error;
    if (n == 0) return Wait::Timeout;
    if (wake_ >= 0 && (fds[1].revents & POLLIN)) {
        uint64_t v;
        (void)!::read(wake_, &v, sizeof v);
        return Wait::Timeout;
    }
    return (fds[0].revents & POLLPRI) ? Wait::Edge : Wait::Error;
}

bool SysfsEdgeLine::acknowledge() {
    char buf[8];
    return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0 && ::read(fd_, buf, sizeof buf) >= 0;
}

void SysfsEdgeLine::interrupt() {
    if (wake_ < 0) return;
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
}

void SysfsEdgeLine::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace orvane::platform
