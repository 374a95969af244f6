#pragma once
// LTE modem supervisor: idle until its own work replaces this stand-in.
#include <string>

#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;

class DataUsageTracker {
public:
    DataUsageTracker(const std::string& interface, int period);
    const std::string& interfaceName() const { return interface_; }

private:
    std::string interface_;
    int period_;
};

class Cellular {
public:
    Cellular(RecipeDataGuard& recipe, LiveDataGuard& live);
    ~Cellular();
    int init();
    void startLoop();
    void stop();

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    DataUsageTracker usage_;
    orvane::platform::Stopper stopper_;
};
