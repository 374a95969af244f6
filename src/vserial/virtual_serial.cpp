#include "vserial/virtual_serial.h"

namespace virtual_serial {

VirtualSerial::VirtualSerial(RecipeDataGuard& recipe, int port) : recipe_(recipe), port_(port) {
    (void)recipe_;
    (void)port_;
}

int VirtualSerial::loop_thread() {
    stopper_.wait();
    return 0;
}

void VirtualSerial::stop() { stopper_.stop(); }

}  // namespace virtual_serial
