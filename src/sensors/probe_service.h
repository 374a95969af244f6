#pragma once
// Probe service on the RS-485 line: idle until the polling loop replaces this stand-in.
#include <string>

#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;

class ProbeService {
public:
    ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, std::string device = "/dev/ttymxc3",
                 int baud = 9600);
    void init();
    void startLoop();
    void stop();

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    std::string device_;
    int baud_;
    orvane::platform::Stopper stopper_;
};
