// IPC frames: encoding, finding and decoding a LatestSensorData response of 128 readings,
// beside the CRC-16/ARC pass over the same frame bytes (the one pass no decoder can avoid).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orvane_ipc/frame_accumulator.h"
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

// A stream that a peer can send to any frame reader: 140,000 bytes of headers (FF FF 5A A5 01)
// that each declare a 60,000-byte payload with no valid CRC behind it, then one valid
// LatestSensorData request, read in 10240-byte pieces as the gateway reads its socket. One
// iteration is the whole stream until the request comes out.
// Release build, this 8-core build machine under load: 6.9 s of CPU per stream when the reader
// searched its whole buffer and checked every candidate's CRC over its payload at every read;
// 5.3 ms with the resumed search, each candidate checked once from the running CRC register.
void BM_AccumulateHostileHeaders(benchmark::State& state) {
    std::vector<uint8_t> stream;
    const uint8_t header[7] = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0xEA, 0x60};  // L = 60000
    while (stream.size() < 140000) stream.insert(stream.end(), header, header + sizeof header);
    const std::vector<uint8_t> request = to_frame(request::LatestSensorData{});
    stream.insert(stream.end(), request.begin(), request.end());
    constexpr std::size_t kRead = 10240;
    for (auto _ : state) {
        FrameAccumulator acc;
        std::size_t frames = 0;
        for (std::size_t at = 0; at < stream.size(); at += kRead) {
            acc.append(stream.data() + at, std::min(kRead, stream.size() - at));
            while (acc.next()) ++frames;
        }
        if (frames != 1) state.SkipWithError("the request was not found");
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_AccumulateHostileHeaders)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
