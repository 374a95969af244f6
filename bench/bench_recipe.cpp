// parameter.json: our writer + reader against nlohmann's dump + parse of the same document, in
// memory and through the file.
//
// In memory: Recipe/OwnSaveLoad (write + read into the buffer), Recipe/NlohmannDumpParse.
// Through the file, in a temporary install root:
//   Recipe/OwnSaveToFile       RecipeDataGuard::saveToJson (render + the atomic file write)
//   Recipe/NlohmannSaveToFile  dump(2) + the same atomic file write (Utility::writeText)
//   Recipe/OwnLoadFromFile     read of parameter.json into the text buffer + the document reader
//   Recipe/NlohmannLoadFromFile the same read + nlohmann::json::parse
//   Recipe/StoreLoadWithMigration the store's whole start-up load (it also writes template.json)
// The Ratio/* benchmarks run both sides alternately in one run and report ours / nlohmann as the
// counter "ratio" (below 1: ours is faster).
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "recipe/recipe_codec.h"
#include "recipe/recipe_guard.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "utils/utility.h"

namespace {

struct Fixture {
    orvane::test::TempDir dir{"orvane-bench-recipe"};
    orvane::test::ScopedRoots roots{dir.path()};
    std::unique_ptr<ScadaRecipeData> recipe = std::make_unique<ScadaRecipeData>();
    std::unique_ptr<ScadaRecipeData> target = std::make_unique<ScadaRecipeData>();
    std::unique_ptr<fss::stringHuge> buffer = std::make_unique<fss::stringHuge>();
    std::unique_ptr<RecipeDataGuard> store = std::make_unique<RecipeDataGuard>();
    nlohmann::json doc;
    std::string theirPath = dir.path() + "/nlohmann.json";

    Fixture() {
        recipe->init();
        int n = write();
        doc = nlohmann::json::parse(std::string_view(buffer->data(), static_cast<size_t>(n)));
        store->loadWithMigration(recipeConfigFile());
        store->saveToJson();
        Utility::writeText(theirPath, doc.dump(2));
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
    void ourSave() { benchmark::DoNotOptimize(store->saveToJson()); }
    void theirSave() { Utility::writeText(theirPath, doc.dump(2)); }
    void ourLoad() {
        Utility::readText(recipeConfigFile(), *buffer);
        readRecipeDocument(*target, buffer->view());
    }
    void theirLoad() {
        Utility::readText(theirPath, *buffer);
        nlohmann::json back = nlohmann::json::parse(buffer->view());
        benchmark::DoNotOptimize(back);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

template <void (Fixture::*Step)()>
void Single(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        (f.*Step)();
        benchmark::ClobberMemory();
    }
}

BENCHMARK(Single<&Fixture::ours>)->Name("Recipe/OwnSaveLoad")->Unit(benchmark::kMillisecond);
BENCHMARK(Single<&Fixture::theirs>)->Name("Recipe/NlohmannDumpParse")->Unit(benchmark::kMillisecond);
BENCHMARK(Single<&Fixture::ourSave>)->Name("Recipe/OwnSaveToFile")->Unit(benchmark::kMillisecond);
BENCHMARK(Single<&Fixture::theirSave>)->Name("Recipe/NlohmannSaveToFile")->Unit(benchmark::kMillisecond);
BENCHMARK(Single<&Fixture::ourLoad>)->Name("Recipe/OwnLoadFromFile")->Unit(benchmark::kMillisecond);
BENCHMARK(Single<&Fixture::theirLoad>)->Name("Recipe/NlohmannLoadFromFile")->Unit(benchmark::kMillisecond);

void StoreLoad(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) f.store->loadWithMigration(recipeConfigFile());
}
BENCHMARK(StoreLoad)->Name("Recipe/StoreLoadWithMigration")->Unit(benchmark::kMillisecond);

void BM_RecipeOwnSaveOnly(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) benchmark::DoNotOptimize(f.write());
}
BENCHMARK(BM_RecipeOwnSaveOnly)->Name("Recipe/OwnWriteOnly")->Unit(benchmark::kMillisecond);

// Both sides in the same run, alternating, with the ratio ours / nlohmann as a counter.
template <void (Fixture::*Ours)(), void (Fixture::*Theirs)()>
void Ratio(benchmark::State& state) {
    auto& f = fixture();
    using clock = std::chrono::steady_clock;
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        (f.*Ours)();
        auto t1 = clock::now();
        (f.*Theirs)();
        auto t2 = clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        theirs += std::chrono::duration<double>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
    state.counters["ours_ms"] = n > 0 ? 1000 * ours / n : 0;
    state.counters["nlohmann_ms"] = n > 0 ? 1000 * theirs / n : 0;
    state.counters["bytes"] = static_cast<double>(fixture().buffer->length());
}
BENCHMARK(Ratio<&Fixture::ours, &Fixture::theirs>)->Name("Ratio/InMemory")->Unit(benchmark::kMillisecond);
BENCHMARK(Ratio<&Fixture::ourSave, &Fixture::theirSave>)->Name("Ratio/SaveToFile")->Unit(benchmark::kMillisecond);
BENCHMARK(Ratio<&Fixture::ourLoad, &Fixture::theirLoad>)->Name("Ratio/LoadFromFile")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
