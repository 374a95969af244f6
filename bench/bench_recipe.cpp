// parameter.json: our writer + reader against nlohmann's dump + parse of the same document.
// The figure of merit is the ratio (ours / nlohmann), printed by the last benchmark as a counter.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "recipe/recipe_codec.h"

namespace {

struct Fixture {
    std::unique_ptr<ScadaRecipeData> recipe = std::make_unique<ScadaRecipeData>();
    std::unique_ptr<ScadaRecipeData> target = std::make_unique<ScadaRecipeData>();
    std::unique_ptr<fss::stringHuge> buffer = std::make_unique<fss::stringHuge>();
    nlohmann::json doc;

    Fixture() {
        recipe->init();
        int n = write();
        doc = nlohmann::json::parse(std::string_view(buffer->data(), static_cast<size_t>(n)));
    }
    int write() {
        gIndentLevelForWriteJsonP = 0;
        int n = writeJsonP(*recipe, buffer->data(), 1048574, nullptr);
        buffer->setLength(static_cast<uint32_t>(n));
        return n;
    }
    void ours() {
        int n = write();
        readJsonP(*target, std::string_view(buffer->data(), static_cast<size_t>(n)));
    }
    void theirs() {
        std::string text = doc.dump(2);
        nlohmann::json back = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(back);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_RecipeOwnSaveLoad(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        f.ours();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecipeOwnSaveLoad)->Unit(benchmark::kMillisecond);

void BM_RecipeOwnSaveOnly(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.write());
}
BENCHMARK(BM_RecipeOwnSaveOnly)->Unit(benchmark::kMillisecond);

void BM_RecipeNlohmannDumpParse(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) f.theirs();
}
BENCHMARK(BM_RecipeNlohmannDumpParse)->Unit(benchmark::kMillisecond);

// Both in the same run, alternating, with the ratio as a counter.
void BM_RecipeRatioOwnOverNlohmann(benchmark::State& state) {
    auto& f = fixture();
    using clock = std::chrono::steady_clock;
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        f.ours();
        auto t1 = clock::now();
        f.theirs();
        auto t2 = clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        theirs += std::chrono::duration<double>(t2 - t1).count();
    }
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
    state.counters["bytes"] = static_cast<double>(fixture().buffer->length());
}
BENCHMARK(BM_RecipeRatioOwnOverNlohmann)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
