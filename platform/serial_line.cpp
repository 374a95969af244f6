#include "platform/serial_line.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace orvane::platform::serial {

namespace {

using SteadyClock = std::chrono::steady_clock;

enum class Wait { Data, Silent, Gone };

Wait waitForInput(int fd, int timeoutMs) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return Wait::Gone;
        if (rc == 0) return Wait::Silent;
        if (p.revents & POLLIN) return Wait::Data;
        return Wait::Gone;  // hang-up or error without data
    }
}

// One read of what is there; 0 when nothing could be read (line gone or nothing after all).
size_t readOnce(int fd) {
    uint8_t sink[256];
    for (;;) {
        const ssize_t n = ::read(fd, sink, sizeof sink);
        if (n > 0) return static_cast<size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

}  // namespace

size_t discardWaiting(int fd) {
    if (fd < 0) return 0;
    size_t total = 0;
    while (waitForInput(fd, 0) == Wait::Data) {
        const size_t n = readOnce(fd);
        if (n == 0) break;
        total += n;
    }
    return total;
}

size_t awaitSilence(int fd, std::chrono::milliseconds quiet, SteadyClock::time_point silentSince, std::chrono::milliseconds limit,
                    SteadyClock::time_point notBefore) {
    if (fd < 0) return 0;
    // The limit counts from notBefore when that lies ahead: the wait for silence starts there.
    const auto start = std::max(SteadyClock::now(), notBefore);
    size_t total = discardWaiting(fd);
    if (total > 0) silentSince = SteadyClock::now();
    for (;;) {
        const auto now = SteadyClock::now();
        using std::chrono::milliseconds;
        const auto quietLeft = quiet - std::chrono::duration_cast<milliseconds>(now - silentSince);
        const auto untilNotBefore = std::chrono::ceil<milliseconds>(notBefore - now);
        const auto left = std::min(std::max(quietLeft, untilNotBefore),
                                   limit - std::chrono::duration_cast<milliseconds>(now - start));
        if (left.count() <= 0) return total;
        switch (waitForInput(fd, static_cast<int>(left.count()))) {
            case Wait::Silent:
                break;  // the loop finds the window complete (or the limit reached)
            case Wait::Gone:
                return total;
            case Wait::Data: {
                const size_t n = readOnce(fd);
                if (n == 0) return total;
                total += n;
                silentSince = SteadyClock::now();
                break;
            }
        }
    }
}

}  // namespace orvane::platform::serial
