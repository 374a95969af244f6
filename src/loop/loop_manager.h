#pragma once
// Control loops: up to 10 loops configured in the recipe ("controlloop"), one live block each in
// the live record. LoopManager keeps its own copy of the 10 recipes and live blocks and one loop
// object per slot, and evaluates each loop by its kind. Only the setpoint kind has a rule; the
// other kinds evaluate to nothing. The manager works on its copies only: nothing is written back
// to the stores.
#include <array>
#include <variant>

#include "live/loop_live.h"
#include "recipe/control_loop_recipe.h"

class RecipeDataGuard;
class LiveDataGuard;

class LoopNone {
public:
    using RecipeData = LoopNoneRecipeData;
    using LiveData = LoopNoneLiveData;
};

class LoopSetpoint {
public:
    using RecipeData = LoopSetpointRecipeData;
    using LiveData = LoopSetpointLiveData;

    // Two-limit switch (mode 2): below low on, above high off, in band (limits included, or an
    // input that is not a number) on unless holdOnce keeps the output once. Any other mode, a
    // disabled loop or a negative input or output index gives off.
    void update(RecipeData& recipe, LiveData& live);

    bool holdOnce = false;  // the next in-band evaluation keeps the output
};

class LoopPID {
public:
    using RecipeData = LoopPIDRecipeData;
    using LiveData = LoopPIDLiveData;
};

class LoopInterval {
public:
    using RecipeData = LoopIntervalRecipeData;
    using LiveData = LoopIntervalLiveData;
};

using LoopVariant = std::variant<LoopNone, LoopSetpoint, LoopPID, LoopInterval>;

class LoopManager {
public:
    LoopManager(RecipeDataGuard& recipe, LiveDataGuard& live);

    // Copies the 10 loop recipes (under the recipe mutex), then the 10 live blocks (under the live
    // mutex), and builds every loop object from its recipe's kind. A live block of another kind
    // than its recipe is replaced by a fresh one of the recipe's kind; a new setpoint loop starts
    // with holdOnce set. So every slot's loop, recipe and live block agree after init.
    void init();
    // Evaluates loops 0..9 in order.
    void update();
    // Evaluates loop i by the kind of its loop object; i outside 0..9 is ignored.
    void __update(int i);
    // Replaces loop i's recipe copy (i outside 0..9 ignored). When the kind changes, the loop
    // object and the live copy become fresh ones of the new kind (a setpoint loop with holdOnce).
    void setRecipe(int i, LoopRecipeVariant& recipe);

    const LoopVariant& loop(int i) const { return loops_.at(static_cast<size_t>(i)); }
    const LoopRecipeVariant& recipe(int i) const { return recipes_.at(static_cast<size_t>(i)); }
    LoopLiveVariant& live(int i) { return live_.at(static_cast<size_t>(i)); }

private:
    void rebuildSlot(size_t i);

    std::array<LoopVariant, kLoopCount> loops_{};
    std::array<LoopRecipeVariant, kLoopCount> recipes_{};
    std::array<LoopLiveVariant, kLoopCount> live_{};
    RecipeDataGuard& recipeStore_;
    LiveDataGuard& liveStore_;
};
