#include "cloud/socket_server.h"

SocketServer::SocketServer(RecipeDataGuard& recipe, LiveDataGuard& live, DatabaseProxy& db)
    : recipe_(recipe), live_(live), db_(db) {
    (void)recipe_;
    (void)live_;
    (void)db_;
}

void SocketServer::startLoop() { stopper_.wait(); }

void SocketServer::stop() { stopper_.stop(); }
