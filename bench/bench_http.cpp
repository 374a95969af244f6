// Static-file requests per second against the HTTP server on a loopback port.
//   bench_http                  Google Benchmark: a plain client, one request per connection
//   bench_http --wrk [seconds]  runs wrk against the server and prints its report
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "support/temp_dir.h"
#include "webserver/webserver.h"

namespace {

struct Server {
    orvane::test::TempDir dir{"orvane-bench-http"};
    WebServer server{0};
    std::thread thread;

    Server() {
        std::string page = "<!doctype html><html><head><title>gateway</title></head><body>";
        while (page.size() < 4000) page += "<div class=\"row\">reading</div>";
        page += "</body></html>";
        orvane::test::writeFile(dir.file("web/index.html"), page);
        orvane::test::writeFile(dir.file("web/js/app.js"), std::string(60000, 'x'));
        server.init(dir.path() + "/web/");
        thread = std::thread([this] { server.startLoop(); });
        while (server.listeningPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Server() {
        server.stop();
        thread.join();
    }
    uint16_t port() const { return server.listeningPort(); }
};

void BM_StaticFile(benchmark::State& state, const char* target) {
    Server s;
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::endpoint ep(boost::asio::ip::make_address("127.0.0.1"), s.port());
    std::string request = std::string("GET ") + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string reply;
    int64_t bytes = 0;
    for (auto _ : state) {
        boost::asio::ip::tcp::socket sock(ioc);
        sock.connect(ep);
        boost::asio::write(sock, boost::asio::buffer(request));
        boost::system::error_code ec;
        reply.clear();
        boost::asio::read(sock, boost::asio::dynamic_buffer(reply), ec);  // until the server closes
        if (reply.compare(0, 15, "HTTP/1.1 200 OK") != 0) {
            state.SkipWithError("bad reply");
            break;
        }
        bytes += static_cast<int64_t>(reply.size());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}
BENCHMARK_CAPTURE(BM_StaticFile, index_html_4k, "/index.html")->UseRealTime();
BENCHMARK_CAPTURE(BM_StaticFile, app_js_60k, "/js/app.js")->UseRealTime();

int runWrk(int seconds) {
    Server s;
    std::string base = "http://127.0.0.1:" + std::to_string(s.port());
    int rc = 0;
    for (const char* target : {"/index.html", "/js/app.js"}) {
        for (int conns : {1, 8}) {
            std::string cmd = "wrk -t1 -c" + std::to_string(conns) + " -d" + std::to_string(seconds) + "s " + base + target;
            std::printf("== %s\n", cmd.c_str());
            std::fflush(stdout);
            rc |= std::system(cmd.c_str());
        }
    }
    return rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--wrk") == 0) return runWrk(argc >= 3 ? std::atoi(argv[2]) : 5);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
