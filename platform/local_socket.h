#pragma once
// Thin helpers over Boost.Asio Unix-domain stream sockets, shared by the gateway's IPC server and
// the two daemons: listen (removing a stale socket file), connect, a read that waits at most a
// given time (so a reading thread sees its stop request), and a write of every byte that never
// raises SIGPIPE; and the removal of a server's own socket file when it stops. Everything is
// synchronous.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

namespace orvane::platform::local {

using Socket = boost::asio::local::stream_protocol::socket;
using Acceptor = boost::asio::local::stream_protocol::acceptor;

// Removes any file at `path`, then opens, binds and listens with `backlog`.
// Throws boost::system::system_error on failure.
Acceptor listen(boost::asio::io_context& io, const std::string& path, int backlog);

// The socket file a listener bound, told apart from anything else put at its path later: taken
// right after listen(), so that a server stopping cleanly removes its file only while it is still
// that socket, never one that another program has bound there meanwhile (or a plain file).
struct BoundFile {
    std::string path;
    bool known = false;  // false when the file could not be examined: nothing is removed
    dev_t device = 0;
    ino_t inode = 0;
};
BoundFile boundFile(const std::string& path);
// Removes the file at file.path when it is still the socket taken by boundFile; true when removed.
bool removeIfStillBound(const BoundFile& file);

// Waits up to `timeout` for one connection. Empty on time-out (ec clear) or failure (ec set).
std::optional<Socket> acceptFor(Acceptor& acceptor, std::chrono::milliseconds timeout,
                                boost::system::error_code& ec);

// Connects to `path`; on failure ec is set and the returned socket is closed.
Socket connect(boost::asio::io_context& io, const std::string& path, boost::system::error_code& ec);

enum class ReadStatus { Data, Timeout, Closed, Error };
struct ReadResult {
    ReadStatus status = ReadStatus::Error;
    std::size_t bytes = 0;  // bytes read (Data only)
    int error = 0;          // errno (Error only)
};
// Waits up to `timeout` for data and reads at most `size` bytes of what is there.
ReadResult readFor(Socket& socket, void* buf, std::size_t size, std::chrono::milliseconds timeout);

// Writes all `size` bytes (MSG_NOSIGNAL), waiting at most `timeout` for room each time the peer
// is slow. Returns the number of bytes written: `size` on success; fewer with *error = errno
// (ETIMEDOUT when the peer took nothing for `timeout`).
std::size_t writeAll(Socket& socket, const void* data, std::size_t size, int* error = nullptr,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Ends both directions of the connection without releasing the descriptor: a thread blocked in
// readFor on it returns at once (Closed). Safe while another thread reads.
void shutdown(Socket& socket);

}  // namespace orvane::platform::local
