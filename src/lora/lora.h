#pragma once
// LoRa network component: idle until its own work replaces this stand-in.
#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;

namespace lora {

class Lora {
public:
    Lora(RecipeDataGuard& recipe, LiveDataGuard& live);
    ~Lora();
    int loop_thread();
    void stop();

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    orvane::platform::Stopper stopper_;
};

}  // namespace lora
