#pragma once
// The system socket service: each connection carries one request frame. SystemUpdate starts an
// upgrade (no reply); SystemUpdateStatus is answered with the engine's progress and error code.
// After a successful upgrade the daemon restarts itself through systemd.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>

#include "platform/command_runner.h"
#include "platform/local_socket.h"
#include "platform/throttled_line.h"
#include "system_service/interfaces/i_logger.h"
#include "system_service/service/system_upgrade.h"
#include "system_service/setting/settings.h"

// The production socket path and install root; the programs derive both from the platform roots.
inline constexpr const char* SYSETM_MODULE_SOCKET = "/tmp/systemSock";
inline constexpr const char* KELVAWORKS_HOME_PATH = "/opt/kelvaworks/";

namespace service {

inline constexpr const char* kSystemVersion = "Orvane System v1.0.0";

struct ControllerOptions {
    std::string socketPath;                                        // empty: systemSock in the runtime directory
    std::chrono::milliseconds acceptPause{1000};                   // pause after every accepted connection
    std::chrono::milliseconds restartDelay{1000};                  // before the self-restart
    std::chrono::milliseconds pollInterval{200};                   // how often waits look at the stop flag
};

class ServiceController {
public:
    static constexpr std::size_t kReadSize = 64;
    static constexpr int kBacklog = 4;
    static constexpr const char* kRestartCommand = "systemctl restart orvane-system";

    // The production service with its own upgrade engine.
    ServiceController(setting::Settings& settings, interfaces::ILogger& logger);
    // Tests: another engine, socket path, pauses or command runner.
    ServiceController(setting::Settings& settings, interfaces::ILogger& logger, std::unique_ptr<IUpgradeEngine> engine,
                      ControllerOptions options,
                      orvane::platform::CommandRunner& runner = orvane::platform::CommandRunner::get());
    // Stops the service and waits for every connection thread (and so for a running upgrade).
    ~ServiceController();
    ServiceController(const ServiceController&) = delete;
    ServiceController& operator=(const ServiceController&) = delete;

    // Binds and serves until stop(), then removes the socket file it made; throws
    // std::runtime_error when the socket cannot be bound.
    void start();
    // Ends start() within one poll interval, and ends idle connections; safe from any thread.
    void stop();
    // The body of one connection thread.
    void request_handler(orvane::platform::local::Socket socket);

    bool listening() const { return listening_.load(); }
    const std::string& socket_path() const { return path_; }
    IUpgradeEngine& engine() { return *engine_; }
    // Waits up to `timeout` until no connection thread runs; true when none does.
    bool wait_idle(std::chrono::milliseconds timeout);

private:
    // Sleeps `d`, or less when stop() is called.
    void pause(std::chrono::milliseconds d);
    // Writes `text` through `line` (at warning level, or error level when `error`), when it is to be
    // written now.
    void log_throttled(orvane::platform::ThrottledLine& line, std::string text, bool error = false);
    void handle_update(const std::string& name);
    void handle_status(orvane::platform::local::Socket& socket);

    setting::Settings& settings_;
    interfaces::ILogger& logger_;
    std::unique_ptr<IUpgradeEngine> engine_;
    ControllerOptions options_;
    orvane::platform::CommandRunner& runner_;
    std::string path_;
    boost::asio::io_context io_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> listening_{false};
    std::atomic<bool> upgrading_{false};  // one upgrade at a time

    std::mutex mutex_;
    std::condition_variable cv_;
    int active_ = 0;  // connection threads still running

    // Lines a peer can cause once per connection or request. Every request comes on a connection
    // of its own, so each kind is throttled across all connections.
    orvane::platform::ThrottledLine acceptFailed_;
    orvane::platform::ThrottledLine hugeRead_;
    orvane::platform::ThrottledLine unreadable_;
    orvane::platform::ThrottledLine unhandled_;
    orvane::platform::ThrottledLine busy_;
    orvane::platform::ThrottledLine unsent_;
};

}  // namespace service
