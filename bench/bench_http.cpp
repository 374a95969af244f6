// Static-file requests per second against the HTTP server on a loopback port, beside a bare
// asynchronous Beast server that follows the same connection rule (one request per connection,
// Connection: close, a 15 s deadline per connection), measured in the same run.
//   bench_http                         Google Benchmark: a plain client, one request per connection
//   bench_http --wrk [seconds] [rounds] runs wrk (1 and 8 connections, 4 kB file) against the
//                                      servers in turn and prints the medians and their ratios:
//                                      ours (no REST routes: the server's own cost), the bare one,
//                                      ours with the server's default endpoints, and ours behind
//                                      the program's RestAPI over real stores (as the program runs)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "web_gateway.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

// A REST API without routes: every GET falls through to the static file (as an unknown route
// does), and the answer buffer is left alone, so the server's own cost is what is measured.
class NoRoutes : public RestEndpoints {
public:
    void handlePreGet(std::string_view) override {}
    bool handleGet(std::string_view, const std::string&, std::string_view, fss::stringHuge&) override { return false; }
    void handlePut(std::string_view, const std::string&, std::string_view, fss::stringHuge&) override {}
    void handlePostPut(std::string_view, fss::stringHuge&) override {}
};

struct DocRoot {
    orvane::test::TempDir dir{"orvane-bench-http"};
    DocRoot() {
        std::string page = "<!doctype html><html><head><title>gateway</title></head><body>";
        while (page.size() < 4000) page += "<div class=\"row\">reading</div>";
        page += "</body></html>";
        orvane::test::writeFile(dir.file("web/index.html"), page);
        orvane::test::writeFile(dir.file("web/js/app.js"), std::string(60000, 'x'));
    }
    std::string root() const { return dir.path() + "/web/"; }
};

DocRoot& docRoot() {
    static DocRoot d;
    return d;
}

struct OurServer {
    NoRoutes rest;
    WebServer server;
    std::thread thread;

    // withProgramRest: the program's own REST API object in front of the files, as in production.
    explicit OurServer(bool withProgramRest = false)
        : server(0, std::chrono::seconds(15), withProgramRest ? nullptr : &rest) {
        server.init(docRoot().root());
        thread = std::thread([this] { server.startLoop(); });
        while (server.listeningPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~OurServer() {
        server.stop();
        thread.join();
    }
    uint16_t port() const { return server.listeningPort(); }
};

// The server as the program builds it: RestAPI over real stores in a private install root in
// front of the files, so a static-file GET first goes through the API's unknown-route path.
struct ProgramServer : WebGateway {
    ProgramServer() : WebGateway("orvane-bench-http-rest", docRoot().root()) {}
};

// ---------------------------------------------------------------------------------------------
// The bare server: Beast's asynchronous pattern, one session object per connection.

class BareSession : public std::enable_shared_from_this<BareSession> {
public:
    BareSession(tcp::socket socket, const std::string& root) : stream_(std::move(socket)), root_(root) {}

    void run() {
        stream_.expires_after(std::chrono::seconds(15));
        http::async_read(stream_, buffer_, req_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (!ec) self->answer();
        });
    }

private:
    void answer() {
        std::string target(req_.target());
        if (target == "/") target = "/index.html";
        http::file_body::value_type file;
        beast::error_code ec;
        if (target.find("..") == std::string::npos) file.open((root_ + target).c_str(), beast::file_mode::scan, ec);
        if (ec || !file.is_open()) {
            auto res = std::make_shared<http::response<http::string_body>>(http::status::not_found, 11);
            res->set(http::field::server, "Beast");
            res->keep_alive(false);
            res->body() = "not found";
            res->prepare_payload();
            send(res);
            return;
        }
        auto res = std::make_shared<http::response<http::file_body>>(http::status::ok, 11);
        res->set(http::field::server, "Beast");
        std::string_view type = mime_type(target);
        res->set(http::field::content_type, beast::string_view(type.data(), type.size()));
        res->keep_alive(false);
        res->content_length(file.size());
        res->body() = std::move(file);
        send(res);
    }

    template <class Response>
    void send(std::shared_ptr<Response> res) {
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code, size_t) {
            beast::error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> req_;
    const std::string& root_;
};

struct BareServer {
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
    std::string root = docRoot().root();
    std::thread thread;

    BareServer() {
        accept();
        thread = std::thread([this] { ioc.run(); });
    }
    ~BareServer() {
        ioc.stop();
        thread.join();
    }
    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (!ec) std::make_shared<BareSession>(std::move(socket), root)->run();
            accept();
        });
    }
    uint16_t port() const { return acceptor.local_endpoint().port(); }
};

// ---------------------------------------------------------------------------------------------

template <class Server>
void BM_StaticFile(benchmark::State& state, const char* target) {
    Server s;
    net::io_context ioc;
    tcp::endpoint ep(net::ip::make_address("127.0.0.1"), s.port());
    std::string request = std::string("GET ") + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    int64_t bytes = 0;
    for (auto _ : state) {
        if (!requestOnce(ioc, ep, request, reply)) {
            state.SkipWithError("bad reply");
            break;
        }
        bytes += static_cast<int64_t>(reply.size());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}
void BM_StaticFileOurs(benchmark::State& state, const char* target) { BM_StaticFile<OurServer>(state, target); }
void BM_StaticFileBare(benchmark::State& state, const char* target) { BM_StaticFile<BareServer>(state, target); }
BENCHMARK_CAPTURE(BM_StaticFileOurs, index_html_4k, "/index.html")->UseRealTime();
BENCHMARK_CAPTURE(BM_StaticFileBare, index_html_4k, "/index.html")->UseRealTime();
void BM_StaticFileProgram(benchmark::State& state, const char* target) { BM_StaticFile<ProgramServer>(state, target); }
BENCHMARK_CAPTURE(BM_StaticFileProgram, index_html_4k, "/index.html")->UseRealTime();
BENCHMARK_CAPTURE(BM_StaticFileOurs, app_js_60k, "/js/app.js")->UseRealTime();
BENCHMARK_CAPTURE(BM_StaticFileBare, app_js_60k, "/js/app.js")->UseRealTime();

// Requests per second reported by one wrk run (0 when it failed or saw errors).
double wrk(uint16_t port, int conns, int seconds) {
    std::string cmd = "wrk -t1 -c" + std::to_string(conns) + " -d" + std::to_string(seconds) +
                      "s http://127.0.0.1:" + std::to_string(port) + "/index.html 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return 0;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    if (out.find("Non-2xx") != std::string::npos) return 0;
    auto pos = out.find("Requests/sec:");
    return pos == std::string::npos ? 0 : std::atof(out.c_str() + pos + 13);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int runWrk(int seconds, int rounds) {
    OurServer ours;
    OurServer oursWithRest(true);
    ProgramServer program;
    BareServer bare;
    struct Side {
        const char* name;
        uint16_t port;
        std::map<int, std::vector<double>> rps;
    };
    std::vector<Side> sides = {{"ours", ours.port(), {}},
                               {"bare", bare.port(), {}},
                               {"ours+default endpoints", oursWithRest.port(), {}},
                               {"ours+RestAPI, real stores", program.port(), {}}};
    for (int r = 0; r < rounds; ++r) {
        for (int conns : {1, 8}) {
            // Rotate which goes first, so that a change in machine load hits all alike.
            std::printf("round %d, %d connection(s):", r + 1, conns);
            for (size_t k = 0; k < sides.size(); ++k) {
                Side& side = sides[(k + static_cast<size_t>(r)) % sides.size()];
                side.rps[conns].push_back(wrk(side.port, conns, seconds));
                std::printf(" %s %.0f req/s;", side.name, side.rps[conns].back());
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    int rc = 0;
    std::printf("\n4 kB static file, wrk -t1, %d s per run, median of %d rounds\n", seconds, rounds);
    for (int conns : {1, 8}) {
        double b = median(sides[1].rps[conns]);
        for (size_t k : {0u, 2u, 3u}) {
            double o = median(sides[k].rps[conns]);
            std::printf("%d connection(s): %s %.0f req/s, bare %.0f req/s, ratio %.3f\n", conns, sides[k].name, o, b,
                        b > 0 ? o / b : 0);
            if (o <= 0 || b <= 0) rc = 1;
        }
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--wrk") == 0)
        return runWrk(argc >= 3 ? std::atoi(argv[2]) : 5, argc >= 4 ? std::atoi(argv[3]) : 3);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
