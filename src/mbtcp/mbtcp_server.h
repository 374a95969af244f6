#pragma once
// Modbus TCP server with the operator-panel command block: idle until its own work replaces
// this stand-in.
#include "mbtcp/hmi_block.h"
#include "platform/stopper.h"

class RecipeDataGuard;
class LiveDataGuard;
class VarEngine;

class MBTCPServer {
public:
    MBTCPServer(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars, int port = 502);
    int init();
    void startLoop();
    void stop();
    int port() const { return port_; }
    // The operator-panel command block (registered in the register table).
    HmiCommandBlock& hmi() { return hmi_; }

private:
    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    VarEngine& vars_;
    int port_;
    HmiCommandBlock hmi_{};
    orvane::platform::Stopper stopper_;
};
