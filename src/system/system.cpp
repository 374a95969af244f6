#include "system/system.h"

System::System(RecipeDataGuard& recipe, LiveDataGuard& live) : recipe_(recipe), live_(live) {
    (void)recipe_;
    (void)live_;
}

int System::init() { return 0; }

void System::startLoop() { stopper_.wait(); }

void System::stop() { stopper_.stop(); }
