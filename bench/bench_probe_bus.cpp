// One reading pass over 16 probes on the simulated probe bus (a pseudo-terminal, so no baud-rate
// delay), beside the physical floor of the same traffic on a real 9600-baud 8E1 line: 11 bits a
// character plus the 3.5-character silence before every frame. The master's deliberate pauses
// (10 ms slave select) go through the simulated clock, so the measured time is the software's own:
// framing, the libmodbus exchange, decoding and the pass logic.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "live/live_data.h"
#include "platform/clock.h"
#include "recipe/recipe_data.h"
#include "sensors/probe_meta.h"
#include "sensors/rtu_cmd_utility.h"
#include "sensors/rtu_master.h"
#include "support/probe_bus_sim.h"
#include "support/probe_sim_meta.h"

namespace {

constexpr int kProbes = 16;
constexpr double kBitsPerChar = 11.0;  // start, 8 data, parity, stop
constexpr double kBaud = 9600.0;

const char* kDefinition = R"({"PN": 50210, "DataFmt": "CDAB", "ModelName": "BENCH",
  "Readings": [{"Name": "pH", "Unit": "pH", "DisplayUnit": "pH", "RegAddress": 40001, "RegType": "float"}]})";

void BM_ReadingPass16Probes(benchmark::State& state) {
    orvane::platform::SimulatedClock clock;
    orvane::platform::Clock::setForTest(&clock);
    gRetryMaxNum = 3;

    auto meta = std::make_unique<ProbeMeta>();
    readJson(std::string_view(kDefinition), *meta);
    orvane::test::ProbeBusSim bus;
    auto items = std::make_unique<std::array<ProbeMeasureRecipeItem, 128>>();
    for (int i = 0; i < kProbes; ++i) {
        orvane::test::SimProbeValues v;
        v.readings["pH"] = 7.0f + 0.01f * static_cast<float>(i);
        orvane::test::addSimProbe(bus, i + 1, *meta, v);
        auto& it = (*items)[static_cast<size_t>(i)];
        it.probeMeta = meta.get();
        it.pn = 50210;
        it.modbusAddr = static_cast<int16_t>(i + 1);
        it.name = "pH";
        it.unit = "pH";
        it.displayUnit = "pH";
        it.enable = true;
        it.readingIndex = 0;
    }
    auto live = std::make_unique<ProbeLiveData>();
    RtuMaster master;
    if (!master.init(bus.devicePath(), 9600, 'E', 500)) {
        state.SkipWithError("cannot open the simulated line");
        orvane::platform::Clock::setForTest(nullptr);
        return;
    }

    // One untimed pass to count the traffic.
    bus.resetByteCount();
    bus.clearFrames();
    int read = RtuCmdUtility::readData(*items, master, *live);
    const double bytes = static_cast<double>(bus.bytesOnLine());
    const double frames = static_cast<double>(bus.frames().size());
    if (read != kProbes) state.SkipWithError("not every probe answered");
    const double floorMs = (bytes + 3.5 * frames) * kBitsPerChar / kBaud * 1000.0;

    double totalMs = 0;
    int64_t passes = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(RtuCmdUtility::readData(*items, master, *live));
        totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        ++passes;
    }
    const double swMs = passes ? totalMs / static_cast<double>(passes) : 0.0;
    state.counters["bytes_per_pass"] = bytes;
    state.counters["frames_per_pass"] = frames;
    state.counters["floor_ms_9600_8E1"] = floorMs;
    state.counters["software_ms_per_pass"] = swMs;
    state.counters["software_pct_of_floor"] = floorMs > 0 ? 100.0 * swMs / floorMs : 0.0;
    master.closeSerial();
    orvane::platform::Clock::setForTest(nullptr);
}
BENCHMARK(BM_ReadingPass16Probes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
