// Control loops: the setpoint rule, kinds built from the recipe, recipe changes.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "live/live_data.h"
#include "loop/loop_manager.h"
#include "recipe/recipe_guard.h"

namespace {

LoopSetpointRecipeData band(float low, float high) {
    LoopSetpointRecipeData r;
    r.mode = 2;
    r.enable = true;
    r.low = low;
    r.high = high;
    r.idxInput = 0;
    r.idxOutput = 0;
    return r;
}

int eval(LoopSetpoint& loop, LoopSetpointRecipeData& r, LoopSetpointLiveData& live, float input) {
    live.input = input;
    loop.update(r, live);
    return live.output;
}

TEST(SetpointRule, LimitsBandHoldAndForcedOff) {
    LoopSetpoint loop;
    LoopSetpointRecipeData r = band(5, 10);
    LoopSetpointLiveData live;
    EXPECT_EQ(eval(loop, r, live, 4), 1);
    EXPECT_EQ(eval(loop, r, live, 11), 0);
    EXPECT_EQ(eval(loop, r, live, 7), 1);
    EXPECT_EQ(eval(loop, r, live, 10), 1);  // limits are in band
    EXPECT_EQ(eval(loop, r, live, 11), 0);
    EXPECT_EQ(eval(loop, r, live, NAN), 1);  // not a number counts as in band

    // holdOnce keeps the output on the first in-band evaluation only.
    loop.holdOnce = true;
    EXPECT_EQ(eval(loop, r, live, 11), 0);
    EXPECT_TRUE(loop.holdOnce);  // out of band leaves it set
    EXPECT_EQ(eval(loop, r, live, 7), 0);
    EXPECT_FALSE(loop.holdOnce);
    EXPECT_EQ(eval(loop, r, live, 7), 1);

    for (auto spoil : {+[](LoopSetpointRecipeData& x) { x.enable = false; },
                       +[](LoopSetpointRecipeData& x) { x.idxInput = -1; },
                       +[](LoopSetpointRecipeData& x) { x.idxOutput = -1; },
                       +[](LoopSetpointRecipeData& x) { x.mode = 1; }}) {
        LoopSetpointRecipeData bad = band(5, 10);
        spoil(bad);
        LoopSetpointLiveData l;
        l.output = 1;
        EXPECT_EQ(eval(loop, bad, l, 4), 0);
    }
}

class Loops : public ::testing::Test {
protected:
    std::unique_ptr<RecipeDataGuard> recipe = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live = std::make_unique<LiveDataGuard>();
};

TEST_F(Loops, InitBuildsEveryLoopFromItsRecipe) {
    recipe->recipe.controlloop[2] = band(5, 10);
    recipe->recipe.controlloop[3] = band(0, 1);
    recipe->recipe.controlloop[4] = LoopPIDRecipeData{};
    // A live block that already matches its recipe is copied as it is.
    LoopSetpointLiveData running;
    running.output = 1;
    live->data().loops[3] = running;
    LoopManager m(*recipe, *live);
    m.init();
    EXPECT_EQ(m.loop(0).index(), 0u);
    EXPECT_EQ(m.loop(2).index(), 1u);
    EXPECT_EQ(m.live(2).index(), 1u);
    EXPECT_EQ(m.loop(4).index(), 2u);
    EXPECT_EQ(m.live(4).index(), 2u);
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(3)).output, 1);

    std::get<LoopSetpointLiveData>(m.live(2)).input = 4;
    std::get<LoopSetpointLiveData>(m.live(3)).input = 0.5f;
    ASSERT_NO_THROW(m.update());
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(2)).output, 1);
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(3)).output, 1);  // held once from start-up
    // The stores are not written.
    EXPECT_EQ(live->data().loops[2].index(), 0u);
    EXPECT_EQ(std::get<LoopSetpointRecipeData>(recipe->recipe.controlloop[2]).low, 5.0f);
}

TEST_F(Loops, SetRecipeChangesKindsAndKeepsStateOtherwise) {
    LoopManager m(*recipe, *live);
    m.init();
    LoopRecipeVariant sp = band(5, 10);
    m.setRecipe(1, sp);
    ASSERT_EQ(m.loop(1).index(), 1u);
    EXPECT_TRUE(std::get<LoopSetpoint>(m.loop(1)).holdOnce);
    auto& l = std::get<LoopSetpointLiveData>(m.live(1));
    l.input = 7;
    m.__update(1);
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(1)).output, 0);  // first in-band: kept
    m.__update(1);
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(1)).output, 1);

    // Same kind: new limits, live block and loop state kept.
    LoopRecipeVariant narrower = band(8, 9);
    m.setRecipe(1, narrower);
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(1)).output, 1);
    m.__update(1);  // 7 < 8
    EXPECT_EQ(std::get<LoopSetpointLiveData>(m.live(1)).output, 1);

    // Another kind: fresh loop object and live block.
    LoopRecipeVariant interval = LoopIntervalRecipeData{};
    m.setRecipe(1, interval);
    EXPECT_EQ(m.loop(1).index(), 3u);
    EXPECT_EQ(m.live(1).index(), 3u);
    ASSERT_NO_THROW(m.update());

    // Out-of-range slots are ignored.
    m.setRecipe(10, sp);
    m.setRecipe(-1, sp);
    m.__update(10);
    m.__update(-1);
    for (int i = 0; i < kLoopCount; ++i) EXPECT_NE(m.loop(i).index(), 1u) << i;
}

}  // namespace
