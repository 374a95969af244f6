#pragma once
// TCP-to-serial pass-through: idle until its own work replaces this stand-in.
#include "platform/stopper.h"

class RecipeDataGuard;

namespace virtual_serial {

class VirtualSerial {
public:
    explicit VirtualSerial(RecipeDataGuard& recipe, int port = 1077);
    int loop_thread();
    void stop();

private:
    RecipeDataGuard& recipe_;
    int port_;
    orvane::platform::Stopper stopper_;
};

}  // namespace virtual_serial
