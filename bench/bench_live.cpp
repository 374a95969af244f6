// Register table and live store speed.
//
// RegisterRead/Table: getRegVal of whole values at random registers of the full 5116-variable map
// (recipe, live and HMI fields, texts included), beside RegisterRead/PlainCopy: a memcpy of the
// same registers from a plain array, same addresses in the same order. Compare the per-register
// rates (items_per_second counts registers). RegisterRead/TableWindow: the same reads through
// getRegWindow, as the Modbus TCP server makes them.
// DataCell/Full: LiveDataGuard::getDataCell over a record where every probe, LoRa register,
// controller input and analog input holds a value.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "exportvar.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/hmi_block.h"
#include "recipe/recipe_guard.h"

namespace {

struct Stores {
    std::unique_ptr<RecipeDataGuard> recipe = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live = std::make_unique<LiveDataGuard>(recipe.get());
    std::unique_ptr<HmiCommandBlock> hmi = std::make_unique<HmiCommandBlock>();
    std::unique_ptr<VarEngine> vars = std::make_unique<VarEngine>();
    std::vector<int> regs;     // random starting registers of whole values
    std::vector<int> counts;   // their register counts
    std::vector<uint16_t> shadow;  // plain copy of the whole map

    Stores() {
        attachStores(*vars, *recipe, *live);
        fillAllVars(ExportVarStores{*vars, recipe->recipe, live->data(), *hmi});
        for (int k = 0; k < kProbeSlots; ++k) {
            live->data().probe.items[k].val = 1.0f + static_cast<float>(k);
            live->data().probe.items[k].setTypes(2, 1);
            recipe->recipe.sensors[k].name = "Probe name";
        }
        shadow.assign(40000, 0);
        std::mt19937 rng(12345);
        std::uniform_int_distribution<int> pick(0, vars->tabLen() - 1);
        for (int i = 0; i < 4096; ++i) {
            const RegEntry& e = vars->entry(pick(rng));
            regs.push_back(e.reg);
            counts.push_back(e.num);
        }
        for (int i = 0; i < vars->tabLen(); ++i) {
            const RegEntry& e = vars->entry(i);
            vars->getRegVal(e.reg, shadow.data() + e.reg, e.num, EndianessType::NONE);
        }
    }
};

Stores& stores() {
    static Stores s;
    return s;
}

template <bool Window>
void RegisterReadTable(benchmark::State& state) {
    Stores& s = stores();
    uint16_t buf[64];
    size_t i = 0;
    int64_t registers = 0;
    for (auto _ : state) {
        const int n = s.counts[i];
        if constexpr (Window) s.vars->getRegWindow(s.regs[i], buf, n, EndianessType::NONE);
        else s.vars->getRegVal(s.regs[i], buf, n, EndianessType::NONE);
        benchmark::DoNotOptimize(buf);
        registers += n;
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(registers);
}
BENCHMARK(RegisterReadTable<false>)->Name("RegisterRead/Table");
BENCHMARK(RegisterReadTable<true>)->Name("RegisterRead/TableWindow");

void RegisterReadPlainCopy(benchmark::State& state) {
    Stores& s = stores();
    uint16_t buf[64];
    size_t i = 0;
    int64_t registers = 0;
    for (auto _ : state) {
        const int n = s.counts[i];
        std::memcpy(buf, s.shadow.data() + s.regs[i], static_cast<size_t>(n) * sizeof(uint16_t));
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
        registers += n;
        i = (i + 1) & 4095;
    }
    state.SetItemsProcessed(registers);
}
BENCHMARK(RegisterReadPlainCopy)->Name("RegisterRead/PlainCopy");

// Numeric values only (no texts), client byte order ABCD.
void RegisterReadNumeric(benchmark::State& state) {
    Stores& s = stores();
    std::vector<int> regs, counts;
    for (size_t k = 0; k < s.regs.size(); ++k)
        if (s.counts[k] <= 2) {
            regs.push_back(s.regs[k]);
            counts.push_back(s.counts[k]);
        }
    uint16_t buf[64];
    size_t i = 0;
    int64_t registers = 0;
    for (auto _ : state) {
        s.vars->getRegVal(regs[i], buf, counts[i], EndianessType::ABCD);
        benchmark::DoNotOptimize(buf);
        registers += counts[i];
        if (++i == regs.size()) i = 0;
    }
    state.SetItemsProcessed(registers);
}
BENCHMARK(RegisterReadNumeric)->Name("RegisterRead/TableNumericABCD");

void DataCellFull(benchmark::State& state) {
    Stores& s = stores();
    {
        std::lock_guard<StoreMutex> lk(s.live->mutex());
        ScadaLiveData& d = s.live->data();
        for (auto& dev : d.lora.items) {
            dev.id = 1;
            dev.uid = "LORA-UID";
            for (auto& r : dev.regs) {
                r.name = "Reg";
                r.value = 2.0f;
            }
        }
        for (int c = 0; c < kControllers; ++c) {
            d.controller.connected[c] = true;
            for (int j = 0; j < kControllerValues; ++j) {
                d.controller.inputs[c].used[j] = true;
                d.controller.inputs[c].names[j] = "Controller value";
                d.controller.inputs[c].values[j] = 3.0f;
            }
        }
        for (int k = 0; k < kAnalogInputs; ++k) {
            d.analog.names[k] = "AI";
            d.analog.items[k].val = 4.0f;
        }
    }
    size_t pairs = 0;
    for (auto _ : state) {
        orvane_ipc::DataCell cell = s.live->getDataCell();
        pairs = cell.values.size();
        benchmark::DoNotOptimize(cell);
    }
    state.counters["pairs"] = static_cast<double>(pairs);
}
BENCHMARK(DataCellFull)->Name("DataCell/Full");

}  // namespace

BENCHMARK_MAIN();
