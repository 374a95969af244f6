#include "webserver/webserver.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "utils/log.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

// ---------------------------------------------------------------------------------------------
// Free helpers

std::string_view mime_type(std::string_view path) {
    auto pos = path.rfind('.');
    if (pos == std::string_view::npos) return "application/text";
    std::string ext(path.substr(pos));
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Entry {
        std::string_view ext;
        std::string_view type;
    };
    static constexpr Entry kTable[] = {
        {".htm", "text/html"},       {".html", "text/html"},
        {".php", "text/html"},       {".css", "text/css"},
        {".txt", "text/plain"},      {".js", "application/javascript"},
        {".json", "application/json"}, {".xml", "application/xml"},
        {".swf", "application/x-shockwave-flash"}, {".flv", "video/x-flv"},
        {".png", "image/png"},       {".jpe", "image/jpeg"},
        {".jpeg", "image/jpeg"},     {".jpg", "image/jpeg"},
        {".gif", "image/gif"},       {".bmp", "image/bmp"},
        {".ico", "image/vnd.microsoft.icon"}, {".tiff", "image/tiff"},
        {".tif", "image/tiff"},      {".svg", "image/svg+xml"},
        {".svgz", "image/svg+xml"},
    };
    for (const auto& e : kTable)
        if (e.ext == ext) return e.type;
    return "application/text";
}

bool accepts_gzip(std::string_view acceptEncoding) {
    std::string v(acceptEncoding);
    for (auto& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return v.find("gzip") != std::string::npos;
}

bool gzip_compress(std::string_view in, std::string& out) {
    out.clear();
    if (in.empty()) return true;
    if (in.size() > UINT_MAX) return false;
    z_stream zs{};
    if (deflateInit2(&zs, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    struct End {
        z_stream* z;
        ~End() { deflateEnd(z); }  // on every path, also when appending throws
    } end{&zs};
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    unsigned char chunk[8192];
    int ret = Z_OK;
    do {
        zs.next_out = chunk;
        zs.avail_out = sizeof chunk;
        ret = deflate(&zs, Z_FINISH);
        if (ret == Z_STREAM_ERROR) break;
        out.append(reinterpret_cast<const char*>(chunk), sizeof chunk - zs.avail_out);
    } while (ret == Z_OK);
    if (ret != Z_STREAM_END) {
        out.clear();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Header-field storage: a fixed pool per connection handler, reset when its last block is freed.
// A request with more header text than the pool holds takes its blocks from the heap instead.

namespace {

constexpr size_t kPoolBytes = 8192;
constexpr size_t kBufferBytes = 8192;
constexpr uint64_t kBodyLimit = 1048576;

class FieldPool {
public:
    explicit FieldPool(std::atomic<int64_t>& fallbacks) : fallbacks_(fallbacks) {}
    FieldPool(const FieldPool&) = delete;
    FieldPool& operator=(const FieldPool&) = delete;

    void* allocate(size_t align, size_t n) {
        size_t off = (used_ + align - 1) & ~(align - 1);
        if (align <= alignof(std::max_align_t) && off + n <= kPoolBytes) {
            used_ = off + n;
            ++live_;
            return buf_ + off;
        }
        fallbacks_.fetch_add(1, std::memory_order_relaxed);
        return ::operator new(n);
    }
    void deallocate(void* p) {
        auto* b = static_cast<unsigned char*>(p);
        if (b >= buf_ && b < buf_ + kPoolBytes) {
            if (--live_ == 0) used_ = 0;
        } else {
            ::operator delete(p);
        }
    }

private:
    alignas(std::max_align_t) unsigned char buf_[kPoolBytes];
    size_t used_ = 0;
    size_t live_ = 0;
    std::atomic<int64_t>& fallbacks_;
};

template <class T>
class PoolAlloc {
    template <class U>
    friend class PoolAlloc;
    FieldPool* pool_;

public:
    using value_type = T;
    using is_always_equal = std::false_type;
    template <class U>
    struct rebind {
        using other = PoolAlloc<U>;
    };

    explicit PoolAlloc(FieldPool& pool) noexcept : pool_(&pool) {}
    template <class U>
    PoolAlloc(const PoolAlloc<U>& other) noexcept : pool_(other.pool_) {}

    T* allocate(size_t n) { return static_cast<T*>(pool_->allocate(alignof(T), n * sizeof(T))); }
    void deallocate(T* p, size_t) noexcept { pool_->deallocate(p); }

    template <class U>
    friend bool operator==(const PoolAlloc& a, const PoolAlloc<U>& b) noexcept {
        return a.pool_ == b.pool_;
    }
    template <class U>
    friend bool operator!=(const PoolAlloc& a, const PoolAlloc<U>& b) noexcept {
        return a.pool_ != b.pool_;
    }
};

using Fields = http::basic_fields<PoolAlloc<char>>;
using StringResponse = http::response<http::string_body, Fields>;
using FileResponse = http::response<http::file_body, Fields>;

std::string_view sv(beast::string_view v) { return {v.data(), v.size()}; }
beast::string_view bsv(std::string_view v) { return {v.data(), v.size()}; }

// True when `path` lies in the folder `root` (both resolved, without trailing '/').
bool inside(const std::filesystem::path& path, const std::filesystem::path& root) {
    const std::string& p = path.native();
    const std::string& r = root.native();
    if (r == "/") return true;
    return p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/';
}

// Opens `relative` (no leading '/') for reading beneath the folder `root`, the kernel keeping
// the whole walk, links included, inside that folder. The folder is opened anew each time, so a
// web root that has been replaced is the one that serves. -1 with errno set on failure: EXDEV
// when a link is absolute or leads out of the folder, ENOSYS or EPERM when the kernel (or a
// filter in front of it) does not offer the call.
int openBeneath(const std::string& root, std::string_view relative) {
    const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return -1;
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const std::string name(relative);
    const long fd = ::syscall(SYS_openat2, rootFd, name.c_str(), &how, sizeof how);
    const int err = errno;
    ::close(rootFd);
    errno = err;
    return static_cast<int>(fd);
}

// Opens `path` after resolving it in user space; unless `mayLeaveRoot`, it must resolve to a
// file inside the folder `root`. -1 when it does not or cannot be opened.
int openResolved(const std::string& path, const std::string& root, bool mayLeaveRoot) {
    namespace fs = std::filesystem;
    std::error_code fsErr;
    const fs::path real = fs::canonical(path, fsErr);
    if (fsErr) return -1;
    if (!mayLeaveRoot) {
        const fs::path realRoot = fs::canonical(root, fsErr);
        if (fsErr || !inside(real, realRoot)) return -1;
    }
    return ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Connections are served side by side on the server's one thread: each one reads its request
// asynchronously, and the handler of a complete request runs to its end before any other event
// is looked at, so handlers never run concurrently. A fixed set of connection slots is reused;
// when all are taken, the connection that has waited longest for its request is closed to make
// room for the new one.

class http_server;

class http_session {
public:
    http_session(http_server& server, net::any_io_executor ex);
    http_session(const http_session&) = delete;
    http_session& operator=(const http_session&) = delete;

    void start(tcp::socket socket, uint64_t order);
    bool isFree() const { return state_ == State::free; }
    // Waiting for (the rest of) a request, or for the peer to close after an error answer.
    bool idle() const { return state_ == State::reading || state_ == State::draining; }
    uint64_t order() const { return order_; }
    // Closes the connection; the slot is free again once its pending operations have ended.
    void close() { end(); }

private:
    enum class State { free, reading, busy, draining, closing };

    void read_request();
    void on_read(beast::error_code ec);
    void process_request(const http::request<http::string_body, Fields>& req);
    StringResponse& newStringResponse(http::status status, std::string_view contentType);
    void send_response(std::string_view body, std::string_view contentType);
    void send_bad_response(http::status status, const std::string& text);
    void send_file(const std::optional<WebPath>& target);
    void write_response(bool drainAfter);
    void on_write(bool drainAfter, beast::error_code ec);
    void drain();
    void on_deadline(beast::error_code ec);
    void end();
    void maybe_free();

    http_server& server_;
    tcp::socket socket_;
    beast::flat_static_buffer<kBufferBytes> buffer_;
    FieldPool pool_;  // outlives the parser and responses below
    std::optional<http::request_parser<http::string_body, PoolAlloc<char>>> parser_;
    net::steady_timer deadline_;
    std::optional<StringResponse> stringResponse_;
    std::optional<FileResponse> fileResponse_;
    bool gzip_ = false;
    State state_ = State::free;
    bool ioPending_ = false;     // a read or write is under way
    bool timerPending_ = false;  // the deadline wait is under way
    uint64_t order_ = 0;         // accept order: lower is older
};

class http_server {
public:
    http_server(tcp::acceptor& acceptor, const std::string& docRoot, RestEndpoints& rest, fss::stringHuge& answer,
                std::chrono::milliseconds timeout, size_t maxConnections, WebServerStats& stats, LogThrottles& logs)
        : docRoot_(docRoot),
          rest_(rest),
          answer_(answer),
          timeout_(timeout),
          logs_(logs),
          acceptor_(acceptor),
          maxConnections_(std::max<size_t>(maxConnections, 1)),
          stats_(stats),
          retry_(acceptor.get_executor()) {
        sessions_.reserve(maxConnections_);
    }

    void start() { accept(); }

    // A slot has become free: it takes the connection waiting for one, if any.
    void session_freed(http_session& s) {
        if (!waiting_) return;
        tcp::socket sock = std::move(*waiting_);
        waiting_.reset();
        s.start(std::move(sock), ++order_);
        accept();
    }

    const std::string docRoot_;
    RestEndpoints& rest_;
    fss::stringHuge& answer_;
    const std::chrono::milliseconds timeout_;
    LogThrottles& logs_;  // warnings a request can cause, one throttle per kind

    WebServerStats& stats() { return stats_; }

private:
    void accept() {
        acceptor_.async_accept([this](beast::error_code e, tcp::socket sock) {
            if (e == net::error::operation_aborted && !acceptor_.is_open()) return;
            if (e) {
                // Out of descriptors and the like: try again shortly instead of spinning.
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](beast::error_code) { accept(); });
                return;
            }
            stats_.connectNum.fetch_add(1);
            stats_.clientNum.fetch_add(1);
            if (is_model_output(LogModule::WEB, LogLevel::INFO)) {  // spares a system call when not logged
                beast::error_code epErr;
                auto ep = sock.remote_endpoint(epErr);
                SLOG_INFO(WEB, "remote ip {}", epErr ? std::string("unknown") : ep.address().to_string());
            }
            place(std::move(sock));
        });
    }

    void place(tcp::socket sock) {
        if (http_session* s = freeSlot()) {
            s->start(std::move(sock), ++order_);
            accept();
            return;
        }
        // Every slot is taken: this connection waits (and no other is accepted) until one is
        // free. The oldest idle one is closed to free one now; with none idle, the first to
        // finish or reach its deadline frees one.
        waiting_.emplace(std::move(sock));
        http_session* oldest = nullptr;
        for (auto& s : sessions_)
            if (s->idle() && (!oldest || s->order() < oldest->order())) oldest = s.get();
        if (oldest) oldest->close();
    }

    http_session* freeSlot() {
        for (auto& s : sessions_)
            if (s->isFree()) return s.get();
        if (sessions_.size() >= maxConnections_) return nullptr;
        sessions_.push_back(std::make_unique<http_session>(*this, acceptor_.get_executor()));
        return sessions_.back().get();
    }

    tcp::acceptor& acceptor_;
    const size_t maxConnections_;
    WebServerStats& stats_;
    net::steady_timer retry_;
    std::vector<std::unique_ptr<http_session>> sessions_;
    std::optional<tcp::socket> waiting_;
    uint64_t order_ = 0;
};

http_session::http_session(http_server& server, net::any_io_executor ex)
    : server_(server), socket_(ex), pool_(server.stats().poolHeapFallbacks), deadline_(ex) {}

void http_session::start(tcp::socket socket, uint64_t order) {
    socket_ = std::move(socket);
    order_ = order;
    state_ = State::reading;
    buffer_.consume(buffer_.size());
    deadline_.expires_after(server_.timeout_);
    timerPending_ = true;
    deadline_.async_wait([this](beast::error_code ec) {
        timerPending_ = false;
        on_deadline(ec);
    });
    read_request();
}

void http_session::read_request() {
    parser_.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(PoolAlloc<char>(pool_)));
    parser_->body_limit(kBodyLimit);
    ioPending_ = true;
    http::async_read(socket_, buffer_, *parser_, [this](beast::error_code ec, size_t) {
        ioPending_ = false;
        on_read(ec);
    });
}

void http_session::on_read(beast::error_code ec) {
    if (state_ == State::closing) return maybe_free();
    if (ec) {
        // A request that cannot be parsed, or whose header or body is over its limit, gets an
        // answer before the connection closes; one that ends early is dropped.
        parser_.reset();
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            state_ = State::busy;
            send_bad_response(http::status::request_header_fields_too_large, "Request Header Fields Too Large\r\n");
            return write_response(true);
        }
        if (ec == http::error::body_limit) {
            state_ = State::busy;
            send_bad_response(http::status::payload_too_large, "Payload Too Large\r\n");
            return write_response(true);
        }
        const int code = ec.value();
        if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
            code >= static_cast<int>(http::error::bad_line_ending) && code <= static_cast<int>(http::error::bad_obs_fold)) {
            state_ = State::busy;
            send_bad_response(http::status::bad_request, "Bad Request\r\n");
            return write_response(true);
        }
        return end();
    }
    state_ = State::busy;
    process_request(parser_->get());
    write_response(false);
}

void http_session::process_request(const http::request<http::string_body, Fields>& req) {
    WebServerStats& stats = server_.stats();
    const int64_t done = stats.taskDoneNum.fetch_add(1) + 1;
    SLOG_INFO(WEB, "http_worker process_request : clientNum={}, taskDoneNum={}, connectNum={}",
              stats.clientNum.load(), done, stats.connectNum.load());
    std::string target(req.target());
    auto q = target.find("?version=");
    if (q != std::string::npos) target.resize(q);
    if (req.method() == http::verb::get && target == "/") target = "/index.html";
    std::string_view token = sv(req[http::field::authorization]);
    const std::string& body = req.body();
    gzip_ = accepts_gzip(sv(req[http::field::accept_encoding]));
    // The answer is the buffer's first length() characters: resetting the length is all it takes
    // for no earlier answer to show through (the buffer is never zeroed as a whole).
    fss::stringHuge& answer = server_.answer_;
    answer.setLength(0);
    auto answerText = [&answer] {
        return std::string_view(answer.data(), ::strnlen(answer.data(), answer.size()));
    };
    std::string_view method = sv(req.method_string());
    SLOG_INFO(WEB, "begin process_request target={}, token={}, method={}, gzip={}", target, token, method, gzip_);
    try {
        switch (req.method()) {
            case http::verb::get:
                server_.rest_.handlePreGet(target);
                if (server_.rest_.handleGet(target, body, token, answer))
                    send_response(answerText(), "text/plain");
                else
                    send_file(normaliseWebPath(target));
                break;
            case http::verb::put:
                server_.rest_.handlePut(target, body, token, answer);
                server_.rest_.handlePostPut(target, answer);
                send_response(answerText(), "text/plain");
                break;
            default:
                send_bad_response(http::status::bad_request, "Invalid request-method '" + std::string(method) + "'\r\n");
                break;
        }
    } catch (const std::exception& e) {
        stats.handlerErrors.fetch_add(1);
        SLOG_THROTTLED(server_.logs_, WEB, WARN, "Error: {}", e.what());
        send_bad_response(http::status::internal_server_error, "Internal Server Error\r\n");
    } catch (...) {
        stats.handlerErrors.fetch_add(1);
        SLOG_THROTTLED(server_.logs_, WEB, WARN, "Error: uncatched error");
        send_bad_response(http::status::internal_server_error, "Internal Server Error\r\n");
    }
    SLOG_INFO(WEB, "end process_request target={}, token={}, method={}", target, token, method);
}

StringResponse& http_session::newStringResponse(http::status status, std::string_view contentType) {
    fileResponse_.reset();
    stringResponse_.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(PoolAlloc<char>(pool_)));
    auto& r = *stringResponse_;
    r.result(status);
    r.version(11);
    r.keep_alive(false);
    r.set(http::field::server, "Beast");
    r.set(http::field::content_type, bsv(contentType));
    return r;
}

void http_session::send_response(std::string_view body, std::string_view contentType) {
    auto& r = newStringResponse(http::status::ok, contentType);
    std::string packed;
    if (gzip_ && body.size() >= 1024 && gzip_compress(body, packed) && packed.size() < body.size()) {
        r.body() = std::move(packed);
        r.set(http::field::content_encoding, "gzip");
        r.set(http::field::vary, "Accept-Encoding");
    } else {
        r.body().assign(body.data(), body.size());
    }
    r.prepare_payload();
}

void http_session::send_bad_response(http::status status, const std::string& text) {
    auto& r = newStringResponse(status, "text/plain");
    r.body() = text;
    r.prepare_payload();
}

void http_session::send_file(const std::optional<WebPath>& target) {
    // The file is the one the REST API's token rule looked at: the path without its query,
    // decoded and normalised. A path that held ".." anywhere is refused outright.
    if (!target || target->dotdot) {
        send_bad_response(http::status::not_found, "File not found locate1\r\n");
        return;
    }
    const bool mayLeaveRoot = server_.rest_.fileMayLeaveRoot(target->path);
    const std::string_view name = target->path == "/" ? std::string_view("/index.html") : target->path;
    const std::string path = server_.docRoot_ + std::string(name);
    SLOG_INFO(WEB, "send file {}", path);
    // Served without a token, a file must really lie in the document root: a link that leads
    // out of it (to the configuration, runtime or log folders) is as good as a missing file.
    // Only a file the REST API's token check has just let through may lie elsewhere. An
    // ordinary file is opened by the kernel within the root in one call; a path through an
    // absolute link, or a kernel without that call, is resolved and checked here instead.
    int fd = -1;
    bool resolveHere = mayLeaveRoot;
    if (!mayLeaveRoot) {
        fd = openBeneath(server_.docRoot_, name.substr(1));
        resolveHere = fd < 0 && (errno == EXDEV || errno == ENOSYS || errno == EPERM);
    }
    if (resolveHere) fd = openResolved(path, server_.docRoot_, mayLeaveRoot);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    http::file_body::value_type file;
    beast::error_code ec;
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // as a file opened for a scan
        beast::file opened;
        opened.native_handle(fd);  // owned by `opened`, then by the body
        file.reset(std::move(opened), ec);
    }
    if (fd < 0 || ec || !file.is_open()) {
        send_bad_response(http::status::not_found, "File not found locate 2\r\n");
        return;
    }
    stringResponse_.reset();
    fileResponse_.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(PoolAlloc<char>(pool_)));
    auto& r = *fileResponse_;
    r.result(http::status::ok);
    r.version(11);
    r.keep_alive(false);
    r.set(http::field::server, "Beast");
    r.set(http::field::content_type, bsv(mime_type(path)));
    r.content_length(file.size());
    r.body() = std::move(file);
}

void http_session::write_response(bool drainAfter) {
    auto done = [this, drainAfter](beast::error_code ec, size_t) {
        ioPending_ = false;
        on_write(drainAfter, ec);
    };
    ioPending_ = true;
    if (fileResponse_)
        http::async_write(socket_, *fileResponse_, done);
    else if (stringResponse_)
        http::async_write(socket_, *stringResponse_, done);
    else
        net::post(socket_.get_executor(), [done] { done({}, 0); });
}

void http_session::on_write(bool drainAfter, beast::error_code ec) {
    stringResponse_.reset();
    fileResponse_.reset();
    parser_.reset();
    if (state_ == State::closing) return maybe_free();
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    if (!drainAfter || ec) return end();
    // The peer may still be sending what was refused: read it away until it closes (or the
    // deadline), so that closing does not reset the connection before the answer is read.
    state_ = State::draining;
    drain();
}

void http_session::drain() {
    buffer_.consume(buffer_.size());
    ioPending_ = true;
    socket_.async_read_some(buffer_.prepare(kBufferBytes), [this](beast::error_code ec, size_t) {
        ioPending_ = false;
        if (state_ == State::closing) return maybe_free();
        if (ec) return end();
        drain();
    });
}

void http_session::on_deadline(beast::error_code ec) {
    if (state_ == State::closing || state_ == State::free) return maybe_free();
    // Expired (or, never expected, cancelled while the connection lives: it must not stay open
    // without a deadline).
    end();
    if (!ec) SLOG_INFO(WEB, "http_worker :check_deadline {}", server_.stats().clientNum.load());
}

void http_session::end() {
    if (state_ == State::closing || state_ == State::free) return;
    state_ = State::closing;
    beast::error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
    server_.stats().clientNum.fetch_sub(1);
    maybe_free();
}

void http_session::maybe_free() {
    if (state_ != State::closing || ioPending_ || timerPending_) return;
    state_ = State::free;
    stringResponse_.reset();
    fileResponse_.reset();
    parser_.reset();
    server_.session_freed(*this);
}

// ---------------------------------------------------------------------------------------------

WebServer::WebServer(uint16_t port, std::chrono::milliseconds requestTimeout, RestEndpoints* rest,
                     size_t maxConnections)
    : port_(port), timeout_(requestTimeout), rest_(rest ? rest : &unknownRoutes_), maxConnections_(maxConnections) {}

WebServer::~WebServer() { stop(); }

bool WebServer::init(const std::string& docRoot) {
    docRoot_ = docRoot;
    return true;
}

void WebServer::stop() {
    stop_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) running_->stop();
    cv_.notify_all();
}

void WebServer::startLoop() {
    if (!answer_) answer_ = std::make_unique<fss::stringHuge>();
    while (!stop_.load()) {
        try {
            net::io_context ioc{1};
            tcp::acceptor acceptor(ioc);
            tcp::endpoint endpoint(net::ip::make_address("0.0.0.0"), port_);
            acceptor.open(endpoint.protocol());
            acceptor.set_option(net::socket_base::reuse_address(true));
            acceptor.bind(endpoint);
            acceptor.listen(net::socket_base::max_listen_connections);

            auto worker = std::make_unique<http_server>(acceptor, docRoot_, *rest_, *answer_, timeout_, maxConnections_,
                                                        stats_, logs_);
            SLOG_INFO(WEB, " sizeof(workers):{}",
                      sizeof(http_server) + maxConnections_ * sizeof(http_session) + sizeof(fss::stringHuge));
            worker->start();
            SLOG_INFO(WEB, "http_worker :start, clientNum={}, taskDoneNum={}, connectNum={}", stats_.clientNum.load(),
                      stats_.taskDoneNum.load(), stats_.connectNum.load());
            SLOG_INFO(WEB, " WebServer started: {}:{}, doc_root:{}", endpoint.address().to_string(), port_, docRoot_);

            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_.load()) break;
                running_ = &ioc;
            }
            struct Unregister {
                WebServer* self;
                ~Unregister() {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    self->running_ = nullptr;
                    self->listeningPort_.store(0);
                }
            } unregister{this};
            listeningPort_.store(acceptor.local_endpoint().port());
            ioc.run();
            acceptor.close();
        } catch (const std::exception& e) {
            SLOG_WARN(WEB, "Error: {}", e.what());
        } catch (...) {
            SLOG_WARN(WEB, "Error: uncatched error");
        }
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_.load(); });
    }
}
