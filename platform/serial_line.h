#pragma once
// Keeping a half-duplex serial line (RS-485) in step with its requests.
//
// An answer on such a line carries no transaction number: a master that sends its next request
// while an earlier answer is still on its way, or still waiting in the input queue, reads that
// answer as the reply to the new request. These helpers discard what waits and wait for silence.
// They work on the line's descriptor in real time (the bytes arrive in real time, whatever clock
// the caller's pauses run on).
#include <chrono>
#include <cstddef>

namespace orvane::platform::serial {

// Reads and throws away every byte that waits on fd now, without waiting. Returns the count.
size_t discardWaiting(int fd);

// Reads and throws away bytes until fd has been silent for `quiet`. The line counts as silent
// from `silentSince` on (the moment the caller's transfer failed, say), unless bytes are found
// waiting: then silence starts after the last of them. It also goes on discarding until notBefore.
// Stops after `limit` (from now, or from notBefore when that is later: a line that never falls
// silent) and when the line hangs up. Returns the count discarded.
size_t awaitSilence(int fd, std::chrono::milliseconds quiet, std::chrono::steady_clock::time_point silentSince,
                    std::chrono::milliseconds limit, std::chrono::steady_clock::time_point notBefore = {});

}  // namespace orvane::platform::serial
