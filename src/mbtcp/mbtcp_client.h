#pragma once
// Modbus TCP / EtherNet/IP controller client: idle until its own work replaces this stand-in.
#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;
class VarEngine;

class MBTCPClient {
public:
    MBTCPClient(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars);
    int loop_thread();
    void stop();

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    VarEngine& vars_;
    orvane::platform::Stopper stopper_;
};
