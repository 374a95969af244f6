#pragma once
// One kind of log line that a remote peer can cause once per request or frame, kept from flooding
// the log by a LogThrottle: the first of a run is written with its own text, then at most one
// line per interval with the count appended. The text of the last event left out is kept, so that
// the events held back can be told in a last line when the service stops.
// Independent of the logger: the caller writes the lines it is given, at the level it chooses.
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "platform/log_throttle.h"

namespace orvane::platform {

class ThrottledLine {
public:
    explicit ThrottledLine(std::chrono::milliseconds interval = LogThrottle::kDefaultInterval) : throttle_(interval) {}

    // Counts one event whose line reads `text`: the line to write now, or nothing.
    std::optional<std::string> admit(std::string text);
    // The line for the events held back since the last one written (the text of the last of them
    // with their count), or nothing when none was held back.
    std::optional<std::string> takeHeld();

private:
    std::mutex mutex_;
    LogThrottle throttle_;
    std::string held_;
};

}  // namespace orvane::platform
