// The production constructor of ProbeService, kept in its own file: it reaches the owner
// object's operational state, which only the program (and whole-program tests) link.
#include "env/env_guard.h"
#include "sensors/probe_service.h"

ProbeService::ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, std::string device, int baud)
    : ProbeService(recipe, live, EnvGuard::getInstance(), std::move(device), baud) {}
