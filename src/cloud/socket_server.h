#pragma once
// The gateway's end of the local link to the cloud daemon: a Unix-domain stream server on the
// probe socket. Each connection is served on its own thread: requests are answered (latest
// readings, history, LTE information), a SystemReload is pushed when a configuration change
// concerns the daemon, and the LTE and system information is pushed once a period.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orvane_ipc/service.h"
#include "platform/local_socket.h"
#include "platform/stopper.h"
#include "platform/throttled_line.h"

class RecipeDataGuard;
class LiveDataGuard;
class DatabaseProxy;

struct SocketServerOptions {
    std::string path;  // empty: the probe socket under the runtime root, taken at startLoop
    std::chrono::milliseconds ltePushPeriod{std::chrono::seconds(60)};
    std::chrono::milliseconds readTimeout{std::chrono::seconds(1)};
    std::chrono::milliseconds passPause{std::chrono::seconds(1)};  // pause after each read
    std::chrono::milliseconds writeTimeout{std::chrono::seconds(10)};  // a peer that takes nothing
};

class SocketServer {
public:
    SocketServer(RecipeDataGuard& recipe, LiveDataGuard& live, DatabaseProxy& db,
                 SocketServerOptions options = {});
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Acceptor thread body: returns after stop(), once every connection thread has ended, and
    // removes the socket file when it is still the one it bound. The warnings held back by the
    // throttle are told then.
    void startLoop();
    // Connection thread body.
    void run_echo(orvane::platform::local::Socket socket);
    // Closes the acceptor and ends the connection threads (each sees the request within its
    // read time-out).
    void stop();

    // The answer to one request, as frames in sending order. A history answer too large for one
    // frame goes out as several HistoricalSensorData responses of whole cells each. A response
    // that cannot be packaged is left out, with a line through `packaging`.
    std::vector<std::vector<uint8_t>> answer(const orvane_ipc::RequestVariant& request,
                                             orvane::platform::ThrottledLine& packaging);

    // Test hooks: the acceptor is listening; connections whose thread has begun serving (after
    // the change bits of earlier changes were dropped); connection threads still running.
    bool listening() const { return listening_.load(); }
    int servingCount() const { return serving_.load(); }
    int activeConnections() const { return active_.load(); }

private:
    // Warnings a peer can cause once per frame or request, for the whole server: a peer that
    // connects again for each request is held back like one that keeps its connection. What
    // they hold back goes out with their next line, or when the server stops.
    struct PeerLines {
        orvane::platform::ThrottledLine dropped;    // request frames that cannot be read
        orvane::platform::ThrottledLine packaging;  // responses that cannot be packaged
    };
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished(bool all);
    std::vector<uint8_t> lteInformationFrame(bool periodic, orvane::platform::ThrottledLine& packaging);
    std::vector<std::vector<uint8_t>> historyFrames(const orvane_ipc::request::HistoricalSensorData& req,
                                                    orvane::platform::ThrottledLine& packaging);

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    DatabaseProxy& db_;
    SocketServerOptions options_;
    orvane::platform::Stopper stopper_;
    std::atomic<bool> listening_{false};
    std::atomic<int> serving_{0};
    std::atomic<int> active_{0};
    std::mutex connectionsMutex_;
    std::list<Connection> connections_;
    PeerLines lines_;
};
