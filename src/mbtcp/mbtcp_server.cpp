#include "mbtcp/mbtcp_server.h"

MBTCPServer::MBTCPServer(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars, int port)
    : recipe_(recipe), live_(live), vars_(vars), port_(port) {
    (void)recipe_;
    (void)live_;
    (void)vars_;
}

int MBTCPServer::init() { return 0; }

void MBTCPServer::startLoop() { stopper_.wait(); }

void MBTCPServer::stop() { stopper_.stop(); }
