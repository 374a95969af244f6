#pragma once
// Keeps a remote peer that repeats a failing request from flooding the log. The first event is
// logged; after it at most one line per interval, which carries how many events it stands for.
// One throttle per kind of line for the whole server (or client), never per connection: a peer
// may connect anew for every request. Time is the process clock's steady time.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace orvane::platform {

class LogThrottle {
public:
    static constexpr std::chrono::milliseconds kDefaultInterval{10000};

    explicit LogThrottle(std::chrono::milliseconds interval = kDefaultInterval) : interval_(interval) {}

    // Counts one event. 0: leave it out of the log. Otherwise log one line now, which stands for
    // that many events (1 for the first, 1 + those held back since the last line).
    uint64_t admit();
    // Events held back since the last line, and forgets them (for a last line when the service stops).
    uint64_t takeHeld();

    // The text a line appends for n events: empty for 1, else " (N times since the last such line)".
    static std::string note(uint64_t n);

private:
    std::mutex mutex_;
    const std::chrono::milliseconds interval_;
    bool logged_ = false;
    int64_t lastMs_ = 0;
    uint64_t held_ = 0;
};

}  // namespace orvane::platform
