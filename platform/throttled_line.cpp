#include "platform/throttled_line.h"

namespace orvane::platform {

std::optional<std::string> ThrottledLine::admit(std::string text) {
    std::lock_guard lock(mutex_);
    if (const uint64_t n = throttle_.admit()) return text + LogThrottle::note(n);
    held_ = std::move(text);
    return std::nullopt;
}

std::optional<std::string> ThrottledLine::takeHeld() {
    std::lock_guard lock(mutex_);
    const uint64_t n = throttle_.takeHeld();
    if (n == 0) return std::nullopt;
    return held_ + LogThrottle::note(n);
}

}  // namespace orvane::platform
