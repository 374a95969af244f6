#pragma once
// Cases every IPC server meets: its socket file on a clean stop, and a peer repeating what it refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orvane_ipc/utilities.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "support/temp_dir.h"

namespace orvane::test {

// `start` serves at `path`, `stop` ends it cleanly: the file is removed while it is still the
// server's own, left alone when another program's socket or a plain file took the path meanwhile.
inline void expectOwnSocketFileRemovedOnStop(const std::string& path, const std::function<void()>& start,
                                             const std::function<void()>& stop) {
    for (const char* meanwhile : {"", "socket", "file"}) {
        SCOPED_TRACE(meanwhile);
        boost::asio::io_context io;
        start();
        std::optional<platform::local::Acceptor> other;
        if (*meanwhile == 's') other.emplace(platform::local::listen(io, path, 1));
        if (*meanwhile == 'f') ::unlink(path.c_str()), writeFile(path, "x");
        struct stat before {}, after {};
        ::lstat(path.c_str(), &before);
        stop();
        EXPECT_EQ(::lstat(path.c_str(), &after) == 0 && after.st_ino == before.st_ino, *meanwhile != '\0');
        ::unlink(path.c_str());
    }
}

// A frame of command `id` whose CRC holds but whose payload is `fields` only.
inline std::vector<uint8_t> frameWithPayload(uint16_t id, const std::vector<uint8_t>& fields) {
    std::vector<uint8_t> payload = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
    for (uint8_t b : fields) payload.push_back(b);
    std::vector<uint8_t> f = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0, static_cast<uint8_t>(payload.size())};
    for (uint8_t b : payload) f.push_back(b);
    const uint16_t crc = orvane_ipc::Utilities::crc_value(payload.data(), payload.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}

// n copies of `frame`, then `last`.
inline std::vector<uint8_t> repeated(const std::vector<uint8_t>& frame, int n, const std::vector<uint8_t>& last) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < n; ++i) bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes.insert(bytes.end(), last.begin(), last.end());
    return bytes;
}

// `clock` is the process clock for the life of the object.
struct ScopedClock {
    explicit ScopedClock(platform::Clock& clock) { platform::Clock::setForTest(&clock); }
    ~ScopedClock() { platform::Clock::setForTest(nullptr); }
};

// A peer repeating what the service refuses, the service's clock installed: `send(n)` returns once
// n more were handled and every connection it closed has ended on the service's side,
// `lines(text)` counts log lines holding text, `stop` returns once the service has stopped. One
// line, one per 10 s with the count, and a last one at the stop, however often the peer connects
// anew: the lines are the service's, a connection that ends tells nothing.
inline void expectThrottledLines(platform::SimulatedClock& clock, const std::string& line,
                                 const std::function<void(int)>& send,
                                 const std::function<size_t(const std::string&)>& lines,
                                 const std::function<void()>& stop) {
    send(300);
    EXPECT_EQ(lines(line), 1u);
    EXPECT_EQ(lines(line + " ("), 0u);
    clock.advance(std::chrono::seconds(10));
    send(1);
    send(4);
    EXPECT_EQ(lines(line), 2u);
    EXPECT_EQ(lines(line + " (300 times since the last such line)"), 1u);
    stop();
    EXPECT_EQ(lines(line), 3u);
    EXPECT_EQ(lines(line + " (4 times since the last such line)"), 1u);
}

}  // namespace orvane::test
