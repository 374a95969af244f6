#include "loop/loop_manager.h"

#include <cmath>
#include <mutex>

#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "utils/log.h"

static_assert(std::variant_size_v<LoopVariant> == std::variant_size_v<LoopRecipeVariant>);
static_assert(std::variant_size_v<LoopVariant> == std::variant_size_v<LoopLiveVariant>);

namespace {

// Fresh alternative number k of a variant.
template <class Variant, size_t... I>
Variant makeAlternative(size_t k, std::index_sequence<I...>) {
    Variant v;
    ((k == I ? (v.template emplace<I>(), 0) : 0), ...);
    return v;
}

template <class Variant>
Variant fresh(size_t k) {
    return makeAlternative<Variant>(k, std::make_index_sequence<std::variant_size_v<Variant>>{});
}

LoopVariant freshLoop(size_t kind) {
    LoopVariant v = fresh<LoopVariant>(kind);
    if (auto* sp = std::get_if<LoopSetpoint>(&v)) sp->holdOnce = true;
    return v;
}

}  // namespace

void LoopSetpoint::update(RecipeData& recipe, LiveData& live) {
    if (recipe.mode == 2) {
        if (live.input < recipe.low) {
            live.output = 1;
        } else if (live.input > recipe.high) {
            live.output = 0;
        } else {  // in band, limits included, or not a number
            if (!holdOnce) live.output = 1;
            holdOnce = false;
        }
    } else {
        live.output = 0;
    }
    if (!recipe.enable || recipe.idxInput < 0 || recipe.idxOutput < 0) live.output = 0;
}

LoopManager::LoopManager(RecipeDataGuard& recipe, LiveDataGuard& live) : recipeStore_(recipe), liveStore_(live) {}

void LoopManager::init() {
    {
        std::lock_guard<StoreMutex> lk(recipeStore_.mutex);
        recipes_ = recipeStore_.recipe.controlloop;
    }
    {
        std::lock_guard<StoreMutex> lk(liveStore_.mutex());
        live_ = liveStore_.data().loops;
    }
    for (size_t i = 0; i < kLoopCount; ++i) rebuildSlot(i);
}

void LoopManager::rebuildSlot(size_t i) {
    const size_t kind = recipes_[i].index();
    loops_[i] = freshLoop(kind);
    if (live_[i].index() != kind) live_[i] = fresh<LoopLiveVariant>(kind);
}

void LoopManager::update() {
    for (int i = 0; i < kLoopCount; ++i) __update(i);
}

void LoopManager::__update(int i) {
    if (i < 0 || i >= kLoopCount) return;
    auto& loop = loops_[static_cast<size_t>(i)];
    auto& recipe = recipes_[static_cast<size_t>(i)];
    auto& live = live_[static_cast<size_t>(i)];
    if (recipe.index() != loop.index() || live.index() != loop.index()) {
        // Cannot happen after init/setRecipe; refuse the slot rather than evaluate across kinds.
        SLOG_ERROR(SCADA, "loop {}: kind {} does not match recipe {} / live {}", i, loop.index(), recipe.index(),
                   live.index());
        return;
    }
    if (auto* sp = std::get_if<LoopSetpoint>(&loop))
        sp->update(std::get<LoopSetpointRecipeData>(recipe), std::get<LoopSetpointLiveData>(live));
}

void LoopManager::setRecipe(int i, LoopRecipeVariant& recipe) {
    if (i < 0 || i >= kLoopCount) return;
    const auto k = static_cast<size_t>(i);
    const bool kindChanged = recipe.index() != loops_[k].index();
    recipes_[k] = recipe;
    if (kindChanged) {
        loops_[k] = freshLoop(recipe.index());
        live_[k] = fresh<LoopLiveVariant>(recipe.index());
    }
}
