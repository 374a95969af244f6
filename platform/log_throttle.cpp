#include "platform/log_throttle.h"

#include "platform/clock.h"

namespace orvane::platform {

uint64_t LogThrottle::admit() {
    const int64_t now = Clock::get().steadyMillis();
    std::lock_guard lock(mutex_);
    if (logged_ && now - lastMs_ < interval_.count()) {
        ++held_;
        return 0;
    }
    logged_ = true;
    lastMs_ = now;
    const uint64_t n = held_ + 1;
    held_ = 0;
    return n;
}

uint64_t LogThrottle::takeHeld() {
    std::lock_guard lock(mutex_);
    const uint64_t n = held_;
    held_ = 0;
    return n;
}

std::string LogThrottle::note(uint64_t n) {
    return n > 1 ? " (" + std::to_string(n) + " times since the last such line)" : std::string();
}

}  // namespace orvane::platform
