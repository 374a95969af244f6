// IPC frames: encoding, finding and decoding a LatestSensorData response of 128 readings,
// beside the CRC-16/ARC pass over the same frame bytes (the one pass no decoder can avoid).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "orvane_ipc/orvane_ipc.h"

using namespace orvane_ipc;

namespace {

constexpr int kPairs = 128;

DataCell make_cell() {
    DataCell c;
    c.timestamp = 1700000000;
    for (int i = 0; i < kPairs; ++i)
        c.values.emplace_back("Probe" + std::to_string(i / 4) + (i % 4 == 0 ? ".pH" : i % 4 == 1 ? ".Temp" : i % 4 == 2 ? ".DO" : ".Turbidity"),
                              7.0 + 0.01 * i);
    return c;
}

struct Fixture {
    response::LatestSensorData message{make_cell()};
    std::vector<uint8_t> buf = std::vector<uint8_t>(16384);
    std::size_t frame_size = message.package(buf.data(), buf.size());
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Crc16ArcOverFrame(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.buf.data());
        benchmark::DoNotOptimize(Utilities::crc_value(f.buf.data(), f.frame_size));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.frame_size));
}
BENCHMARK(BM_Crc16ArcOverFrame);

void BM_Encode(benchmark::State& state) {
    auto& f = fixture();
    std::vector<uint8_t> out(16384);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.message.package(out.data(), out.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.frame_size));
}
BENCHMARK(BM_Encode);

void BM_Find(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(Utilities::find_frame(f.buf.data(), f.frame_size));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.frame_size));
}
BENCHMARK(BM_Find);

// find + decode: what a receiver runs on the bytes it read.
void BM_Analyse(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        auto r = Service::response_analyze(f.buf.data(), f.frame_size);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.frame_size));
}
BENCHMARK(BM_Analyse);

// The whole road: encode + find + decode. Goal: at most 3 times BM_Crc16ArcOverFrame.
void BM_EncodeFindDecode(benchmark::State& state) {
    auto& f = fixture();
    std::vector<uint8_t> out(16384);
    for (auto _ : state) {
        const std::size_t n = f.message.package(out.data(), out.size());
        auto r = Service::response_analyze(out.data(), n);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.frame_size));
}
BENCHMARK(BM_EncodeFindDecode);

}  // namespace

BENCHMARK_MAIN();
