// EnvGuard operations that edit the recipe probe list or read the recipe: adding, removing and
// renaming probes, and the controller-output reference table.
//
// Each probe-list edit runs on the recipe store's own list under the recipe mutex (the edit is
// memory work only), so an edit made meanwhile by another thread is never overwritten by a stale
// copy. The library lookups inside take EnvGuard's mutex briefly, which the lock order (recipe,
// then EnvGuard) allows. Saving and reload notices follow with no lock held.
#include <memory>

#include "env/env_guard.h"
#include "env/probe_list_edit.h"
#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"
#include "utils/log.h"

void EnvGuard::saveRecipe() {
    if (recipeReady("saveToJson")) recipe_->saveToJson();
}

void EnvGuard::triggerRecipeReload(uint32_t mask) {
    if (recipeReady("triggerReload")) recipe_->triggerReload(mask);
}

int EnvGuard::findNextDisplayId(ProbeRecipeItems& items) { return probe_list::nextDisplayId(items); }

void EnvGuard::addNewProbe(ChangeAddrBatch& items) {
    if (!recipeReady("addNewProbe")) return;
    const probe_list::MetaLookup lookup = [this](long long pn) { return getProbeMetaByPN(pn); };
    std::lock_guard<StoreMutex> lock(recipe_->mutex);
    probe_list::addBatch(recipe_->recipe.sensors, items, lookup);
}

int EnvGuard::addNewProbeManual(ManualAddProbePack& pack) {
    if (!recipeReady("addNewProbeManual")) return -1;
    const probe_list::MetaLookup lookup = [this](long long pn) { return getProbeMetaByPN(pn); };
    std::lock_guard<StoreMutex> lock(recipe_->mutex);
    return probe_list::addManual(recipe_->recipe.sensors, pack, lookup);
}

int EnvGuard::set_probeAddManual(ManualAddProbePack pack) {
    const int result = addNewProbeManual(pack);
    if (result != 0) return result;
    saveRecipe();
    triggerRecipeReload(0x2);
    return 0;
}

int EnvGuard::removeProbe(int index) {
    if (index < 0 || index >= 128) {
        SLOG_WARN(SCADA, "removeProbe: index {} out of range", index);
        return -1;
    }
    if (!recipeReady("removeProbe")) return -1;
    {
        std::lock_guard<StoreMutex> lock(recipe_->mutex);
        probe_list::remove(recipe_->recipe.sensors, index);
    }
    recipe_->buildReferenceForSensor();
    recipe_->triggerReload(0x2);
    recipe_->saveToJson();
    return 0;
}

int EnvGuard::set_probeCustname(ConfigCmdPack pack) {
    if (pack.probeId >= 128) {
        SLOG_THROTTLED(logs_, SCADA, WARN, "set_probeCustname: index {} out of range", pack.probeId);
        return -1;
    }
    if (!recipeReady("set_probeCustname")) return -1;
    configProbeIndex.store(static_cast<int32_t>(pack.probeId));
    {
        std::lock_guard<StoreMutex> lock(recipe_->mutex);
        recipe_->recipe.sensors[pack.probeId].custName = pack.custName;
    }
    recipe_->saveToJson();
    recipe_->triggerReload(0x2);
    return 0;
}

void EnvGuard::attachLive(LiveDataGuard& live) {
    std::array<float*, 128> source{};
    for (size_t i = 0; i < source.size(); ++i) source[i] = &live.data().probe.items[i].val;
    std::lock_guard<std::mutex> lock(mutex_);
    probeValueSource_ = source;
}

void EnvGuard::buildControllerOutputReference() {
    struct Names {
        std::array<std::array<text32, kMBTcpClientIoCount>, kMBTcpClientCount> outputs;
        std::array<text32, kProbeItemCount> probes;
    };
    auto names = std::make_unique<Names>();
    if (recipe_) {
        std::lock_guard<StoreMutex> lock(recipe_->mutex);
        for (size_t c = 0; c < names->outputs.size(); ++c) {
            for (size_t o = 0; o < names->outputs[c].size(); ++o) {
                names->outputs[c][o] = recipe_->recipe.mbTcpClient[c].outputs[o].outputName;
            }
        }
        for (size_t i = 0; i < names->probes.size(); ++i) names->probes[i] = recipe_->recipe.sensors[i].custName;
    }
    std::array<float*, 128> source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = probeValueSource_;
    }
    auto table = std::make_shared<ControllerOutputRefs>();
    if (recipe_) {
        for (size_t c = 0; c < table->size(); ++c) {
            for (size_t o = 0; o < (*table)[c].size(); ++o) {
                const std::string_view wanted = names->outputs[c][o].view().substr(0, 32);
                for (size_t i = 0; i < names->probes.size(); ++i) {
                    if (names->probes[i].view().substr(0, 32) == wanted) {
                        if (source[i]) (*table)[c][o] = source[i];
                        break;
                    }
                }
            }
        }
    }
    std::shared_ptr<const ControllerOutputRefs> done = std::move(table);
    std::lock_guard<std::mutex> lock(mutex_);
    controllerOutputRefs_.swap(done);
}

std::shared_ptr<const ControllerOutputRefs> EnvGuard::getControllerOutputRefs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controllerOutputRefs_;
}
