// REST live-data routes against a bare Beast server, on loopback, in the same run.
//
// Our side: WebServer + RestAPI over real stores in a temporary install root, a valid login
// token, live values filled in. The bare side: a Beast server that reads one request and answers
// a body of the same size under the same connection rule as ours (one request per connection,
// "Connection: close"). The ratio of the two thus measures the REST path (token check, copies,
// JSON writing), not the connection policy.
//   bench_rest                  Google Benchmark: a plain client, one request per connection
//   bench_rest --wrk [seconds]  wrk -c1 and -c8 against both servers, requests per second and ratio
#include <atomic>
#include <cstdio>
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
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "web_gateway.h"

namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

constexpr const char* kTargets[] = {"/livedata/1", "/controller/livedata"};

// The gateway's web side with a valid login token, a named probe and two controllers' values.
struct Gateway : WebGateway {
    std::string token;

    Gateway() : WebGateway("orvane-bench-rest") {
        token = env->addNewToken(ROLE_ADMIN)->token.str();
        {
            std::lock_guard lk(recipe->mutex);
            auto& item = recipe->recipe.sensors[0];
            item.custName = "Inlet pH";
            item.unit = "pH";
            item.alarmLow = 6.5f;
            item.alarmHigh = 8.5f;
        }
        {
            // Two controllers connected, their inputs and outputs read.
            std::lock_guard lk(live->mutex());
            auto& d = live->data();
            d.probe.items[0].val = 7.25f;
            for (int c = 0; c < 2; ++c) {
                d.controller.connected[static_cast<size_t>(c)] = true;
                for (int i = 0; i < kControllerValues; ++i) {
                    d.controller.inputs[static_cast<size_t>(c)].values[static_cast<size_t>(i)] = 12.5f + 0.25f * i;
                    d.controller.outputs[static_cast<size_t>(c)].values[static_cast<size_t>(i)] = static_cast<float>(i);
                }
            }
        }
    }
    // The answer body of a route, as the API writes it.
    size_t bodySize(const char* target) {
        auto out = std::make_unique<fss::stringHuge>();
        api->handleGet(target, "", token, *out);
        return out->size();
    }
};

// One request per connection, answered with a fixed body of the given size, as ours does.
struct BareServer {
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
    std::string body;
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit BareServer(size_t bodySize) : body(bodySize, 'x') {
        thread = std::thread([this] { run(); });
    }
    ~BareServer() {
        stop.store(true);
        boost::system::error_code ec;
        tcp::socket poke(ioc);
        poke.connect(acceptor.local_endpoint(), ec);  // wakes the blocking accept
        thread.join();
    }
    uint16_t port() const { return acceptor.local_endpoint().port(); }

    void run() {
        boost::beast::flat_buffer buffer;
        while (!stop.load()) {
            tcp::socket sock(ioc);
            boost::system::error_code ec;
            acceptor.accept(sock, ec);
            if (ec || stop.load()) continue;
            buffer.consume(buffer.size());
            http::request<http::string_body> req;
            http::read(sock, buffer, req, ec);
            if (ec) continue;
            http::response<http::string_body> res{http::status::ok, 11};
            res.keep_alive(false);
            res.set(http::field::server, "Beast");
            res.set(http::field::content_type, "text/plain");
            res.body() = body;
            res.prepare_payload();
            http::write(sock, res, ec);
            sock.shutdown(tcp::socket::shutdown_send, ec);
        }
    }
};

void runClient(benchmark::State& state, uint16_t port, const std::string& request) {
    net::io_context ioc;
    tcp::endpoint ep(net::ip::make_address("127.0.0.1"), port);
    std::string reply;
    for (auto _ : state) {
        if (!requestOnce(ioc, ep, request, reply)) {
            state.SkipWithError("bad reply");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

std::string requestFor(const char* target, const std::string& token) {
    return std::string("GET ") + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + token + "\r\n\r\n";
}

void BM_Rest(benchmark::State& state, const char* target) {
    Gateway g;
    runClient(state, g.port(), requestFor(target, g.token));
}
void BM_Bare(benchmark::State& state, const char* target) {
    size_t size = 0;
    std::string token;
    {
        Gateway g;
        size = g.bodySize(target);
        token = g.token;
    }
    BareServer bare(size);
    runClient(state, bare.port(), requestFor(target, token));
}
BENCHMARK_CAPTURE(BM_Rest, livedata_1, "/livedata/1")->UseRealTime();
BENCHMARK_CAPTURE(BM_Bare, livedata_1, "/livedata/1")->UseRealTime();
BENCHMARK_CAPTURE(BM_Rest, controller_livedata, "/controller/livedata")->UseRealTime();
BENCHMARK_CAPTURE(BM_Bare, controller_livedata, "/controller/livedata")->UseRealTime();

// The REST path alone (no network): token check, copies and JSON, through handleGet. With
// `changing`, a controller value changes before each request, so the answer is written anew.
void BM_Handler(benchmark::State& state, const char* target, bool changing) {
    Gateway g;
    auto out = std::make_unique<fss::stringHuge>();
    float v = 0;
    for (auto _ : state) {
        if (changing) {
            std::lock_guard lk(g.live->mutex());
            g.live->data().controller.inputs[0].values[0] = (v += 0.5f);
        }
        g.api->handleGet(target, "", g.token, *out);
        benchmark::DoNotOptimize(out->data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_Handler, livedata_1, "/livedata/1", false);
BENCHMARK_CAPTURE(BM_Handler, controller_livedata_unchanged, "/controller/livedata", false);
BENCHMARK_CAPTURE(BM_Handler, controller_livedata_changed, "/controller/livedata", true);

// An empty trend query as a browser's chart polls it, with the save that follows the PUT
// (parameter.json is written only when its text changed: here never after the first).
void BM_TrendQueryAndSave(benchmark::State& state) {
    Gateway g;
    g.recipe->saveToJson();
    auto out = std::make_unique<fss::stringHuge>();
    const std::string body = R"({"type":1,"limit":480,"startTime":0,"endTime":0})";
    for (auto _ : state) {
        g.api->handlePut("/trendData", body, g.token, *out);
        benchmark::DoNotOptimize(out->data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrendQueryAndSave);

// wrk's "Requests/sec" line; 0 when it did not run.
double wrk(int conns, int seconds, uint16_t port, const char* target, const std::string& token) {
    const std::string cmd = "wrk -t1 -c" + std::to_string(conns) + " -d" + std::to_string(seconds) + "s -H 'Authorization: " +
                            token + "' http://127.0.0.1:" + std::to_string(port) + target + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return 0;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    const size_t at = out.find("Requests/sec:");
    if (out.find("Non-2xx") != std::string::npos) std::printf("  (non-2xx answers)\n%s", out.c_str());
    return at == std::string::npos ? 0 : std::atof(out.c_str() + at + 13);
}

int runWrk(int seconds) {
    Gateway g;
    int rc = 0;
    for (const char* target : kTargets) {
        const size_t size = g.bodySize(target);
        BareServer bare(size);
        for (int conns : {1, 8}) {
            const double ours = wrk(conns, seconds, g.port(), target, g.token);
            const double theirs = wrk(conns, seconds, bare.port(), target, g.token);
            std::printf("GET %-22s body %6zu B  wrk -c%d: REST %9.0f req/s, bare Beast %9.0f req/s, ratio %.2f\n",
                        target, size, conns, ours, theirs, theirs > 0 ? ours / theirs : 0.0);
            std::fflush(stdout);
            if (ours <= 0 || theirs <= 0) rc = 1;
        }
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--wrk") == 0) return runWrk(argc >= 3 ? std::atoi(argv[2]) : 5);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
