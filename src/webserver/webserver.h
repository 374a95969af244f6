#pragma once
// The HTTP server of the web user interface: one thread serving its connections side by side, one
// request per connection, the handlers of the requests one at a time. GET and PUT go to the REST
// API first; a GET that no route answers is served as a static file from the document root.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "utils/fss.h"
#include "utils/log.h"
#include "webserver/rest_api.h"

namespace boost::asio {
class io_context;
}

// Content type for a file path, chosen by its extension (case-insensitive).
std::string_view mime_type(std::string_view path);
// True when the Accept-Encoding value names gzip anywhere (case-insensitive).
bool accepts_gzip(std::string_view acceptEncoding);
// gzip (level 1) of `in` into `out`; an empty input gives an empty output and true.
bool gzip_compress(std::string_view in, std::string& out);

// Counters shared by the server and its connection handler (log lines and tests).
struct WebServerStats {
    std::atomic<int64_t> clientNum{0};     // connections open (waiting for a slot included)
    std::atomic<int64_t> taskDoneNum{0};   // requests processed
    std::atomic<int64_t> connectNum{0};    // connections accepted
    std::atomic<int64_t> handlerErrors{0}; // requests whose handler threw
    std::atomic<int64_t> poolHeapFallbacks{0};  // header allocations that did not fit the pool
};

class WebServer {
public:
    // `rest` = nullptr answers every route as unknown (static files only). `requestTimeout`
    // bounds each connection from accept to response. At most `maxConnections` are open at once;
    // a new one beyond that closes the one that has waited longest for its request.
    explicit WebServer(uint16_t port = 80, std::chrono::milliseconds requestTimeout = std::chrono::seconds(15),
                       RestEndpoints* rest = nullptr, size_t maxConnections = kDefaultMaxConnections);
    static constexpr size_t kDefaultMaxConnections = 32;
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Stores the document root (expected to end with '/'); always true.
    bool init(const std::string& docRoot);
    // Thread body: serves until stop(). Listening failures and errors that escape the handler
    // are logged and the server is set up again after one second.
    void startLoop();
    // Thread-safe: ends startLoop (the acceptor is closed as it returns).
    void stop();

    // Port the server listens on now (the chosen one when built with port 0); 0 when not listening.
    uint16_t listeningPort() const { return listeningPort_.load(); }
    const std::string& docRoot() const { return docRoot_; }
    const WebServerStats& stats() const { return stats_; }

private:
    uint16_t port_;
    std::chrono::milliseconds timeout_;
    UnknownRoutes unknownRoutes_;
    RestEndpoints* rest_;
    size_t maxConnections_;
    std::string docRoot_;
    std::unique_ptr<fss::stringHuge> answer_;  // the REST answer buffer, 1 MiB
    WebServerStats stats_;
    LogThrottles logs_;  // warnings a request can cause, one throttle per kind, for every pass
    std::atomic<bool> stop_{false};
    std::atomic<uint16_t> listeningPort_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    boost::asio::io_context* running_ = nullptr;  // guarded by mutex_
};
