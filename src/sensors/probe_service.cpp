#include "sensors/probe_service.h"

ProbeService::ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, std::string device, int baud)
    : recipe_(recipe), live_(live), device_(std::move(device)), baud_(baud) {
    (void)recipe_;
    (void)live_;
    (void)baud_;
}

void ProbeService::init() {}

void ProbeService::startLoop() { stopper_.wait(); }

void ProbeService::stop() { stopper_.stop(); }
