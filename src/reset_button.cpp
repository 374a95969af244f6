#include "reset_button.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "utils/log.h"

ResetButtonReader::ResetButtonReader(std::string path) : path_(std::move(path)) {}

ResetButtonReader::~ResetButtonReader() {
    if (fd_ > 0) ::close(fd_);
}

bool ResetButtonReader::open() {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        if (errno == ENOENT) {
            // Off the device (a development machine, a test) there is no button to read.
            std::printf("no reset button here (%s absent)\n", path_.c_str());
            SLOG_INFO(SCADA, "no reset button here ({} absent)", path_);
        } else {
            std::printf("error unable open for reading '%s'\n", path_.c_str());
        }
        std::fflush(stdout);
        events_ = 0;
        return false;
    }
    events_ = POLLIN;
    return true;
}

static int32_t le32(const unsigned char* p) {
    uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return static_cast<int32_t>(v);
}

static uint16_t le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }

int64_t ResetButtonReader::readHoldSeconds(int timeoutMs) {
    if (fd_ <= 0) {
        // No device: the wait lasts the whole timeout.
        orvane::platform::Clock::get().sleepFor(std::chrono::milliseconds(timeoutMs));
        return 0;
    }
    pollfd p{fd_, events_, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0 || p.revents == 0) return 0;
    if (!(p.revents & POLLIN)) {
        // Hang-up or error without data (a FIFO with no writer): nothing to read this time.
        orvane::platform::Clock::get().sleepFor(std::chrono::milliseconds(timeoutMs));
        return 0;
    }

    unsigned char buf[kEventSize];
    std::memset(buf, 0, sizeof buf);
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        std::printf("error %d\n", static_cast<int>(n));
        std::fflush(stdout);
        holdStart_ = holdEnd_ = 0;
        pressed_ = false;
        return 0;
    }
    if (static_cast<size_t>(n) < kEventSize) return 0;  // a partial record is no event

    int32_t sec = le32(buf);
    uint16_t type = le16(buf + 8);
    uint16_t code = le16(buf + 10);
    int32_t value = le32(buf + 12);
    std::printf("time= %d, type=%d, code=%d, value=%d\n", sec, type, code, value);
    std::fflush(stdout);

    if (value == 0) {
        holdStart_ = sec;
        holdEnd_ = 0;
        pressed_ = true;
        return 0;
    }
    if (value == 1) {
        holdEnd_ = sec;
        if (!pressed_) return 0;  // a release without a recorded press is no hold
        pressed_ = false;
        int64_t held = holdEnd_ - holdStart_;
        return held > 0 ? held : 0;
    }
    holdStart_ = holdEnd_ = 0;
    pressed_ = false;
    return 0;
}
