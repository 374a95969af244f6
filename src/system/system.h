#pragma once
// Device management component. For now it holds the software revision and an idle loop; the
// firewall, Wi-Fi, health readings and service restarts are filled in by their own work.
#include "platform/stopper.h"
#include "utils/fss.h"

class RecipeDataGuard;
class LiveDataGuard;

class System {
public:
    System(RecipeDataGuard& recipe, LiveDataGuard& live);
    int init();
    void startLoop();
    void stop();
    const fss::str32& swVer() const { return swVer_; }

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    fss::str32 swVer_;
    orvane::platform::Stopper stopper_;
};
