#pragma once
// Device management component. For now it holds the software revision and an idle loop; the
// firewall, Wi-Fi, health readings and service restarts are filled in by their own work.
#include "platform/stopper.h"
#include "recipe/recipe_data.h"
#include "utils/fss.h"

class RecipeDataGuard;
class LiveDataGuard;

class System {
public:
    System(RecipeDataGuard& recipe, LiveDataGuard& live);
    int init();
    void startLoop();
    void stop();
    // The copy of the system section this component works from (defaults until it loads).
    const SystemRecipeData& systemSection() const { return system_; }
    const auto& swVer() const { return system_.swVer; }

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    SystemRecipeData system_{};
    orvane::platform::Stopper stopper_;
};
