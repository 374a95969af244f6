// Holding-register reads (function code 3) of 10 registers from 2001 (probe values) and of 125
// from 3769, by one libmodbus client over loopback: against the gateway's Modbus TCP server
// (register table loaded for every read, HMI refresh after it) and against a bare libmodbus
// server that answers from its mapping alone, in the same run. Requests per second are the
// items_per_second counter; the goal is the gateway at 0.9 or more of the bare server's rate.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <sched.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "env/env_guard.h"
#include "exportvar.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/mbtcp_server.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

#include <modbus/modbus.h>

namespace {

using namespace std::chrono_literals;

// The gateway's server over real stores with the whole register map.
struct Gateway {
    Gateway() {
        orvane::platform::Roots roots;
        roots.install = root.path() + "/";
        orvane::platform::Paths::setForTest(roots);
        recipe = std::make_unique<RecipeDataGuard>();
        EnvGuard::Options opts;
        opts.bcryptCost = 4;
        env = std::make_unique<EnvGuard>(*recipe, opts);
        live = std::make_unique<LiveDataGuard>(recipe.get());
        vars = std::make_unique<VarEngine>();
        server = std::make_unique<MBTCPServer>(*recipe, *live, *vars, *env, 0);
        attachStores(*vars, *recipe, *live);
        fillAllVars(ExportVarStores{*vars, recipe->recipe, live->data(), server->hmi()});
        for (int i = 0; i < 128; ++i) live->data().probe.items[static_cast<size_t>(i)].val = 7.0f + 0.01f * i;
        server->init();
        thread = std::thread([this] { server->startLoop(); });
        orvane::test::waitUntil([&] { return server->port() > 0; }, 20s);
    }
    ~Gateway() {
        server->stop();
        thread.join();
        server.reset();
        orvane::platform::Paths::resetForTest();
    }
    int port() const { return server->port(); }

    orvane::test::TempDir root{"orvane-bench-mbtcp"};
    std::unique_ptr<RecipeDataGuard> recipe;
    std::unique_ptr<EnvGuard> env;
    std::unique_ptr<LiveDataGuard> live;
    std::unique_ptr<VarEngine> vars;
    std::unique_ptr<MBTCPServer> server;
    std::thread thread;
};

// One client at a time, answered from the mapping: receive, reply.
struct Bare {
    Bare() {
        ctx = modbus_new_tcp("127.0.0.1", 0);
        mapping = modbus_mapping_new(0, 0, MBTCPServer::kRegisterCount, MBTCPServer::kRegisterCount);
        listenFd = modbus_tcp_listen(ctx, 1);
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] {
            uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
            if (modbus_tcp_accept(ctx, &listenFd) < 0) return;
            for (;;) {
                const int rc = modbus_receive(ctx, query);
                if (rc < 0) break;
                if (rc > 0) modbus_reply(ctx, query, rc, mapping);
            }
        });
    }
    ~Bare() {
        thread.join();
        modbus_close(ctx);
        ::close(listenFd);
        modbus_mapping_free(mapping);
        modbus_free(ctx);
    }
    modbus_t* ctx = nullptr;
    modbus_mapping_t* mapping = nullptr;
    int listenFd = -1;
    int port = 0;
    std::thread thread;
};

void readLoop(benchmark::State& state, int port, int start, int count) {
    modbus_t* client = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(client) != 0) {
        state.SkipWithError("cannot connect");
        modbus_free(client);
        return;
    }
    uint16_t regs[MODBUS_MAX_READ_REGISTERS];
    int64_t failed = 0;
    for (auto _ : state) {
        if (modbus_read_registers(client, start, count, regs) != count) ++failed;
        benchmark::DoNotOptimize(regs[0]);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    modbus_close(client);
    modbus_free(client);
}

void BM_GatewayServer(benchmark::State& state) {
    Gateway gateway;
    readLoop(state, gateway.port(), static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

void BM_BareLibmodbus(benchmark::State& state) {
    Bare bare;
    readLoop(state, bare.port, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}

// Keeps the calling thread, and the threads it starts, on the core it runs on, for its lifetime.
// A loopback round trip between threads on different cores costs a wake-up of an idle core,
// which on a virtual machine varies from run to run by a factor of five and more, and lands on
// one server or the other by chance. On one core both servers pay the same switches.
class OneCore {
public:
    OneCore() {
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OneCore() {
        if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    OneCore(const OneCore&) = delete;
    OneCore& operator=(const OneCore&) = delete;

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

// Both servers in one loop, one request to each in turn, each timed on its own, all on one core:
// the ratio holds even while other work on the machine changes the pace.
void BM_GatewayVsBare(benchmark::State& state) {
    OneCore core;
    Gateway gateway;
    Bare bare;
    const int start = static_cast<int>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    modbus_t* gw = modbus_new_tcp("127.0.0.1", gateway.port());
    modbus_t* bm = modbus_new_tcp("127.0.0.1", bare.port);
    if (modbus_connect(gw) != 0 || modbus_connect(bm) != 0) {
        state.SkipWithError("cannot connect");
    } else {
        uint16_t regs[MODBUS_MAX_READ_REGISTERS];
        std::chrono::steady_clock::duration gwTime{}, bareTime{};
        int64_t failed = 0;
        for (auto _ : state) {
            const auto t0 = std::chrono::steady_clock::now();
            if (modbus_read_registers(gw, start, count, regs) != count) ++failed;
            const auto t1 = std::chrono::steady_clock::now();
            if (modbus_read_registers(bm, start, count, regs) != count) ++failed;
            const auto t2 = std::chrono::steady_clock::now();
            gwTime += t1 - t0;
            bareTime += t2 - t1;
        }
        const double n = static_cast<double>(state.iterations());
        const double gwRate = n / std::chrono::duration<double>(gwTime).count();
        const double bareRate = n / std::chrono::duration<double>(bareTime).count();
        state.counters["gateway_req_per_s"] = gwRate;
        state.counters["bare_req_per_s"] = bareRate;
        state.counters["ratio"] = gwRate / bareRate;
        state.counters["failed"] = static_cast<double>(failed);
    }
    modbus_close(gw);
    modbus_free(gw);
    modbus_close(bm);
    modbus_free(bm);
}

// The part of a read that the bare server does not do: loading the registers from the table
// (one whole value at 2001, ten registers from 2001 or from the gap at 1995, 125 from 3769).
void BM_RegisterTableLoad(benchmark::State& state) {
    Gateway gateway;
    uint16_t regs[MODBUS_MAX_READ_REGISTERS];
    for (auto _ : state) {
        gateway.vars->getRegWindow(static_cast<int>(state.range(0)), regs, static_cast<int>(state.range(1)), EndianessType::NONE);
        benchmark::DoNotOptimize(regs[0]);
    }
}

}  // namespace

BENCHMARK(BM_RegisterTableLoad)->Args({2001, 2})->Args({2001, 10})->Args({1995, 10})->Args({3769, 125});
BENCHMARK(BM_GatewayVsBare)->Args({2001, 10})->Args({3769, 125})->UseRealTime();
BENCHMARK(BM_GatewayServer)->Args({2001, 10})->Args({3769, 125})->UseRealTime();
BENCHMARK(BM_BareLibmodbus)->Args({2001, 10})->Args({3769, 125})->UseRealTime();

BENCHMARK_MAIN();
