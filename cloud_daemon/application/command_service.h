#pragma once
// Client base of the daemon's Unix-stream links to the other programs. The connection is shared
// by the thread that sends requests and the thread that reads: each takes a reference to it
// under a lock and works on it without the lock; a connection given up is shut down (waking a
// reader at once) and its descriptor is closed only when the last user has let go, so no thread
// ever reads or writes a descriptor that another has closed or reused.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "cloud_daemon/domain/interfaces/i_logger.h"
#include "orvane_ipc/command_base.h"
#include "platform/local_socket.h"

namespace cloud_daemon::application {

class CommandService {
public:
    using ILogger = domain::interfaces::ILogger;
    static constexpr std::size_t kSendBufferSize = 64;

    CommandService(std::string path, ILogger& logger);
    ~CommandService();
    CommandService(const CommandService&) = delete;
    CommandService& operator=(const CommandService&) = delete;

    // Connects when not connected. True, or throws std::runtime_error (logged).
    bool connect();
    // Does nothing: a connection ends when a write fails, the peer closes it, or close().
    void disconnect() {}
    bool is_connected() const;
    // Gives the connection up.
    void close();

    // Packages the request into the send buffer and writes it, connecting first when needed
    // ("Send data on <handle>"). Returns 0; a connect or write failure throws std::runtime_error
    // (a failed write gives the connection up, so the next request connects anew).
    template <typename Request>
    int send_request(const Request& request) {
        return send_command(request);
    }

    const std::string& path() const { return path_; }

protected:
    struct Connection {
        explicit Connection(orvane::platform::local::Socket s) : socket(std::move(s)) {}
        ~Connection();
        orvane::platform::local::Socket socket;
    };

    int send_command(const orvane_ipc::request::CommandBase& request);
    std::shared_ptr<Connection> current() const;
    // The current connection, or a new one (throws, logged, when it cannot connect).
    std::shared_ptr<Connection> connected(bool* fresh = nullptr);
    // Gives `c` up if it is still the current connection.
    void drop(const std::shared_ptr<Connection>& c);

    std::string path_;
    ILogger& logger_;

private:
    boost::asio::io_context io_;
    mutable std::mutex mutex_;
    std::shared_ptr<Connection> conn_;
};

}  // namespace cloud_daemon::application
