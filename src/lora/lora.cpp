#include "lora/lora.h"

namespace lora {

Lora::Lora(RecipeDataGuard& recipe, LiveDataGuard& live) : recipe_(recipe), live_(live) {
    (void)recipe_;
    (void)live_;
}

Lora::~Lora() = default;

int Lora::loop_thread() {
    stopper_.wait();
    return 0;
}

void Lora::stop() { stopper_.stop(); }

}  // namespace lora
