#include "webserver/webserver.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
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

bool unsafeTarget(std::string_view target) {
    if (target.empty() || target.front() != '/' || target.find("..") != std::string_view::npos) return true;
    return std::any_of(target.begin(), target.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Connection handler: accept, read one request, answer, shut down, accept again.

class http_worker {
public:
    http_worker(tcp::acceptor& acceptor, const std::string& docRoot, RestEndpoints& rest, fss::stringHuge& answer,
                std::chrono::milliseconds timeout, WebServerStats& stats)
        : acceptor_(acceptor),
          docRoot_(docRoot),
          rest_(rest),
          answer_(answer),
          timeout_(timeout),
          stats_(stats),
          socket_(acceptor.get_executor()),
          pool_(stats.poolHeapFallbacks),
          deadline_(acceptor.get_executor(), std::chrono::steady_clock::time_point::max()),
          retry_(acceptor.get_executor()) {}

    void start() {
        accept();
        check_deadline();
    }

private:
    void accept() {
        beast::error_code ec;
        socket_.close(ec);
        buffer_.consume(buffer_.size());
        deadline_.expires_at(std::chrono::steady_clock::time_point::max());
        acceptor_.async_accept(socket_, [this](beast::error_code e) {
            if (e == net::error::operation_aborted && !acceptor_.is_open()) return;
            if (e) {
                // Out of descriptors and the like: try again shortly instead of spinning.
                retry_.expires_after(std::chrono::milliseconds(100));
                retry_.async_wait([this](beast::error_code) { accept(); });
                return;
            }
            stats_.connectNum.fetch_add(1);
            stats_.clientNum.fetch_add(1);
            beast::error_code epErr;
            auto ep = socket_.remote_endpoint(epErr);
            SLOG_INFO(WEB, "remote ip {}", epErr ? std::string("unknown") : ep.address().to_string());
            deadline_.expires_after(timeout_);
            read_request();
        });
    }

    void read_request() {
        parser_.emplace(std::piecewise_construct, std::make_tuple(), std::make_tuple(PoolAlloc<char>(pool_)));
        parser_->body_limit(kBodyLimit);
        http::async_read(socket_, buffer_, *parser_, [this](beast::error_code ec, size_t) {
            if (ec) {
                parser_.reset();
                accept();
                return;
            }
            process_request(parser_->get());
            write_response();
        });
    }

    void process_request(const http::request<http::string_body, Fields>& req) {
        const int64_t done = stats_.taskDoneNum.fetch_add(1) + 1;
        SLOG_INFO(WEB, "http_worker process_request : clientNum={}, taskDoneNum={}, connectNum={}",
                  stats_.clientNum.load(), done, stats_.connectNum.load());
        std::string target(req.target());
        auto q = target.find("?version=");
        if (q != std::string::npos) target.resize(q);
        if (req.method() == http::verb::get && target == "/") target = "/index.html";
        std::string_view token = sv(req[http::field::authorization]);
        const std::string& body = req.body();
        gzip_ = accepts_gzip(sv(req[http::field::accept_encoding]));
        // Zeroed whole: a handler that writes characters without a terminator must not send what
        // an earlier answer left behind it.
        answer_.clear();
        std::string_view method = sv(req.method_string());
        SLOG_INFO(WEB, "begin process_request target={}, token={}, method={}, gzip={}", target, token, method, gzip_);
        try {
            switch (req.method()) {
                case http::verb::get:
                    rest_.handlePreGet(target);
                    if (rest_.handleGet(target, body, token, answer_))
                        send_response(answer_.view(), "text/plain");
                    else
                        send_file(target);
                    break;
                case http::verb::put:
                    rest_.handlePut(target, body, token, answer_);
                    rest_.handlePostPut(target);
                    send_response(answer_.view(), "text/plain");
                    break;
                default:
                    send_bad_response(http::status::bad_request,
                                      "Invalid request-method '" + std::string(method) + "'\r\n");
                    break;
            }
        } catch (const std::exception& e) {
            stats_.handlerErrors.fetch_add(1);
            SLOG_WARN(WEB, "Error: {}", e.what());
            send_bad_response(http::status::internal_server_error, "Internal Server Error\r\n");
        } catch (...) {
            stats_.handlerErrors.fetch_add(1);
            SLOG_WARN(WEB, "Error: uncatched error");
            send_bad_response(http::status::internal_server_error, "Internal Server Error\r\n");
        }
        SLOG_INFO(WEB, "end process_request target={}, token={}, method={}", target, token, method);
    }

    StringResponse& newStringResponse(http::status status, std::string_view contentType) {
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

    void send_response(std::string_view body, std::string_view contentType) {
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

    void send_bad_response(http::status status, const std::string& text) {
        auto& r = newStringResponse(status, "text/plain");
        r.body() = text;
        r.prepare_payload();
    }

    void send_file(const std::string& target) {
        if (unsafeTarget(target)) {
            send_bad_response(http::status::not_found, "File not found locate1\r\n");
            return;
        }
        std::string path = docRoot_ + target;
        SLOG_INFO(WEB, "send file {}", path);
        struct stat st {};
        http::file_body::value_type file;
        beast::error_code ec;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) file.open(path.c_str(), beast::file_mode::scan, ec);
        if (!file.is_open() || ec) {
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

    void write_response() {
        auto done = [this](beast::error_code, size_t) {
            beast::error_code ec;
            socket_.shutdown(tcp::socket::shutdown_send, ec);
            stringResponse_.reset();
            fileResponse_.reset();
            parser_.reset();
            accept();
        };
        if (fileResponse_)
            http::async_write(socket_, *fileResponse_, done);
        else if (stringResponse_)
            http::async_write(socket_, *stringResponse_, done);
        else
            done({}, 0);
    }

    void check_deadline() {
        deadline_.async_wait([this](beast::error_code) {
            if (!acceptor_.is_open()) return;
            if (deadline_.expiry() <= std::chrono::steady_clock::now()) {
                beast::error_code ec;
                socket_.close(ec);
                deadline_.expires_at(std::chrono::steady_clock::time_point::max());
                int64_t open = stats_.clientNum.fetch_sub(1) - 1;
                SLOG_INFO(WEB, "http_worker :check_deadline {}", open);
            }
            check_deadline();
        });
    }

    tcp::acceptor& acceptor_;
    std::string docRoot_;
    RestEndpoints& rest_;
    fss::stringHuge& answer_;
    std::chrono::milliseconds timeout_;
    WebServerStats& stats_;
    tcp::socket socket_;
    beast::flat_static_buffer<kBufferBytes> buffer_;
    FieldPool pool_;  // outlives the parser and responses below
    std::optional<http::request_parser<http::string_body, PoolAlloc<char>>> parser_;
    net::steady_timer deadline_;
    net::steady_timer retry_;
    std::optional<StringResponse> stringResponse_;
    std::optional<FileResponse> fileResponse_;
    bool gzip_ = false;
};

// ---------------------------------------------------------------------------------------------

WebServer::WebServer(uint16_t port, std::chrono::milliseconds requestTimeout, RestEndpoints* rest)
    : port_(port), timeout_(requestTimeout), rest_(rest ? rest : &unknownRoutes_) {}

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

            auto worker = std::make_unique<http_worker>(acceptor, docRoot_, *rest_, *answer_, timeout_, stats_);
            SLOG_INFO(WEB, " sizeof(workers):{}", sizeof(http_worker) + sizeof(fss::stringHuge));
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
