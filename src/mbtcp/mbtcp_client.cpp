#include "mbtcp/mbtcp_client.h"

MBTCPClient::MBTCPClient(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars)
    : recipe_(recipe), live_(live), vars_(vars) {
    (void)recipe_;
    (void)live_;
    (void)vars_;
}

int MBTCPClient::loop_thread() {
    stopper_.wait();
    return 0;
}

void MBTCPClient::stop() { stopper_.stop(); }
