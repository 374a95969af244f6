// Two processes exchange every request and every response over a Unix-domain stream socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "samples.h"
#include "support/temp_dir.h"

using namespace orvane_ipc;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr std::size_t kReadChunk = 10240;  // what the programs read at a time

sockaddr_un address_of(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}

void set_timeout(int fd, int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool write_all(int fd, const uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Takes the first whole frame (and whatever precedes it) out of a stream buffer.
std::optional<Bytes> take_frame(Bytes& acc) {
    const std::ptrdiff_t at = Utilities::find_frame(acc.data(), acc.size());
    if (at < 0) return std::nullopt;
    const std::size_t start = static_cast<std::size_t>(at) - 5;
    const std::size_t len = (std::size_t{acc[at]} << 8) | acc[at + 1];
    const std::size_t end = static_cast<std::size_t>(at) + 2 + len + 2;
    Bytes frame(acc.begin() + static_cast<std::ptrdiff_t>(start), acc.begin() + static_cast<std::ptrdiff_t>(end));
    acc.erase(acc.begin(), acc.begin() + static_cast<std::ptrdiff_t>(end));
    return frame;
}

// Reads until one whole frame is buffered.
std::optional<Bytes> read_frame(int fd, Bytes& acc) {
    for (;;) {
        if (auto f = take_frame(acc)) return f;
        uint8_t buf[kReadChunk];
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        acc.insert(acc.end(), buf, buf + r);
    }
}

// The serving side: answers each expected request with the matching sample response.
// Exit status: 0 all served, 2 accept failed, 3 read failed, 4 not a request,
// 5 request differs, 6 write failed.
[[noreturn]] void serve(int listener) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) ::_exit(2);
    set_timeout(fd, 10);
    const auto requests = ipc_test::sample_requests();
    const auto responses = ipc_test::sample_responses();
    Bytes acc;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto frame = read_frame(fd, acc);
        if (!frame) ::_exit(3);
        std::optional<RequestVariant> got;
        try {
            got = Service::request_analyze(frame->data(), frame->size());
        } catch (...) {
            ::_exit(4);
        }
        if (!got || got->index() != i) ::_exit(4);
        if (!(*got == requests[i])) ::_exit(5);
        const Bytes reply = ipc_test::frame_of(responses[got->index()]);
        if (!write_all(fd, reply.data(), reply.size())) ::_exit(6);
    }
    ::close(fd);
    ::_exit(0);
}

}  // namespace

TEST(IpcSocket, EveryRequestAndResponseCrossesAUnixSocket) {
    orvane::test::TempDir dir("orvane-ipc");
    const std::string path = dir.file("probeSock");
    const sockaddr_un addr = address_of(path);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener, 1), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) serve(listener);
    ::close(listener);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    set_timeout(fd, 10);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);

    const auto requests = ipc_test::sample_requests();
    const auto responses = ipc_test::sample_responses();
    Bytes acc;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        Bytes frame = ipc_test::frame_of(requests[i]);
        if (i == 0) {
            // The first request arrives in two pieces, behind some noise.
            const Bytes noise = {0x00, 0xFF, 0xFF, 0x5A};
            ASSERT_TRUE(write_all(fd, noise.data(), noise.size()));
            ASSERT_TRUE(write_all(fd, frame.data(), 4));
            ::usleep(20000);
            ASSERT_TRUE(write_all(fd, frame.data() + 4, frame.size() - 4));
        } else {
            ASSERT_TRUE(write_all(fd, frame.data(), frame.size()));
        }
        const auto reply = read_frame(fd, acc);
        ASSERT_TRUE(reply) << "no answer to " << command_name(command_of(requests[i]).command_id());
        const auto got = Service::response_analyze(reply->data(), reply->size());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->index(), i);
        EXPECT_TRUE(*got == ipc_test::expected_after_trip(responses[i]))
            << command_name(command_of(responses[i]).command_id());
    }
    ::close(fd);

    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "serving process failed";
}
