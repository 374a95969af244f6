#include "platform/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orvane::platform::local {

namespace {

// poll() one descriptor for `events`, retrying after signals; >0 ready, 0 time-out, <0 error.
int waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

Acceptor listen(boost::asio::io_context& io, const std::string& path, int backlog) {
    ::unlink(path.c_str());
    Acceptor acceptor(io);
    boost::asio::local::stream_protocol::endpoint ep(path);
    acceptor.open(ep.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    acceptor.bind(ep);
    acceptor.listen(backlog);
    acceptor.non_blocking(true);
    return acceptor;
}

BoundFile boundFile(const std::string& path) {
    BoundFile file;
    file.path = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        file.known = true;
        file.device = st.st_dev;
        file.inode = st.st_ino;
    }
    return file;
}

bool removeIfStillBound(const BoundFile& file) {
    struct stat st {};
    if (!file.known || ::lstat(file.path.c_str(), &st) != 0) return false;
    if (!S_ISSOCK(st.st_mode) || st.st_dev != file.device || st.st_ino != file.inode) return false;
    return ::unlink(file.path.c_str()) == 0;
}

std::optional<Socket> acceptFor(Acceptor& acceptor, std::chrono::milliseconds timeout,
                                boost::system::error_code& ec) {
    ec.clear();
    const int r = waitFor(acceptor.native_handle(), POLLIN, timeout);
    if (r < 0) {
        ec.assign(errno, boost::system::system_category());
        return std::nullopt;
    }
    if (r == 0) return std::nullopt;
    Socket socket(acceptor.get_executor());
    acceptor.accept(socket, ec);
    if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
        ec.clear();  // the peer gave up between poll and accept
        return std::nullopt;
    }
    if (ec) return std::nullopt;
    socket.non_blocking(false, ec);
    ec.clear();
    return socket;
}

Socket connect(boost::asio::io_context& io, const std::string& path, boost::system::error_code& ec) {
    Socket socket(io);
    socket.connect(boost::asio::local::stream_protocol::endpoint(path), ec);
    if (ec) {
        boost::system::error_code ignored;
        socket.close(ignored);
    }
    return socket;
}

ReadResult readFor(Socket& socket, void* buf, std::size_t size, std::chrono::milliseconds timeout) {
    ReadResult out;
    if (!socket.is_open()) {
        out.status = ReadStatus::Closed;
        return out;
    }
    const int fd = socket.native_handle();
    const int r = waitFor(fd, POLLIN, timeout);
    if (r < 0) {
        out.error = errno;
        return out;
    }
    if (r == 0) {
        out.status = ReadStatus::Timeout;
        return out;
    }
    for (;;) {
        const ssize_t n = ::recv(fd, buf, size, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            out.status = ReadStatus::Timeout;
        } else if (n < 0) {
            out.error = errno;
            out.status = ReadStatus::Error;
        } else if (n == 0) {
            out.status = ReadStatus::Closed;
        } else {
            out.status = ReadStatus::Data;
            out.bytes = static_cast<std::size_t>(n);
        }
        return out;
    }
}

std::size_t writeAll(Socket& socket, const void* data, std::size_t size, int* error,
                     std::chrono::milliseconds timeout) {
    if (error) *error = 0;
    if (!socket.is_open()) {
        if (error) *error = EBADF;
        return 0;
    }
    const int fd = socket.native_handle();
    const auto* p = static_cast<const uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, p + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = waitFor(fd, POLLOUT, timeout);
            if (r > 0) continue;
            if (error) *error = r == 0 ? ETIMEDOUT : errno;
            return done;
        }
        if (error) *error = n < 0 ? errno : EPIPE;
        return done;
    }
    return done;
}

void shutdown(Socket& socket) {
    if (socket.is_open()) ::shutdown(socket.native_handle(), SHUT_RDWR);
}

}  // namespace orvane::platform::local
