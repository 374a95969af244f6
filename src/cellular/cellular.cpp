#include "cellular/cellular.h"

DataUsageTracker::DataUsageTracker(const std::string& interface, int period) : interface_(interface), period_(period) {
    (void)period_;
}

Cellular::Cellular(RecipeDataGuard& recipe, LiveDataGuard& live) : recipe_(recipe), live_(live), usage_("wwan0", 1) {
    (void)recipe_;
    (void)live_;
}

Cellular::~Cellular() = default;

int Cellular::init() { return 0; }

void Cellular::startLoop() { stopper_.wait(); }

void Cellular::stop() { stopper_.stop(); }
