#pragma once
// IPC server for the cloud daemon: idle until its own work replaces this stand-in.
#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;
class DatabaseProxy;

class SocketServer {
public:
    SocketServer(RecipeDataGuard& recipe, LiveDataGuard& live, DatabaseProxy& db);
    void startLoop();
    void stop();

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    DatabaseProxy& db_;
    orvane::platform::Stopper stopper_;
};
