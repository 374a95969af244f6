#pragma once
// Shared set-up of the cloud tests: the parameter file, a substring count and the IPC server.
#include <memory>
#include <string>
#include <thread>

#include "cloud/socket_server.h"
#include "database/database.h"
#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

#ifndef ORVANE_LTE_BINARY
#define ORVANE_LTE_BINARY "orvane-lte"
#endif

namespace orvane::test {

inline size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

inline std::string lteParameters(int fetch, int upload, int gatewayPort, const std::string& swVer,
                                 const std::string& extra = "") {
    return R"({"system": {"pn": 1001, "sn": "GW2301234", "swVer": ")" + swVer +
           R"(", "portforwardingEnable": false},
  "cloudServer": {"fetchInterval": )" + std::to_string(fetch) + R"(, "uploadInterval": )" + std::to_string(upload) +
           R"(, "serverHost": "127.0.0.1", "serverPort": 1883,
                  "username": "u", "password": "p", "dataTopic": "kelva/{sn}/livedata",
                  "alarmTopic": "kelva/{sn}/alarm", "commandTopic": "kelva/{sn}/command"},
  "gatewayServer": {"serverHost": "127.0.0.1", "serverPort": )" + std::to_string(gatewayPort) +
           R"(, "username": "u", "password": "p",
                    "commandTopic": "gw/{sn}/cmd", "replyTopic": "gw/{sn}/reply",
                    "heartbeatTopic": "gw/{sn}/heartbeat", "stateTopic": "gw/{sn}/state"},
  "orvaneProRemote": {"gatewayServerPort": 0, "gatewayMonitorPort": 0, "sshMonitorPort": 0,
                      "serialportServerPort": 0, "serialportMonitorPort": 0},
  "portForwarding": [])" + extra + "}";
}

// Real stores and the IPC server on them, from start() (or construction at `path`) to stop().
struct ProbeServer {
    ProbeServer() { db.setDiskUsageSource([] { return 1.0f; }); }
    explicit ProbeServer(const std::string& path) : ProbeServer() {
        SocketServerOptions o;
        o.path = path;
        start(o);
    }
    ~ProbeServer() { stop(); }
    void start(const SocketServerOptions& o) {
        server = std::make_unique<SocketServer>(*recipe, *live, db, o);
        thread = std::thread([this] { server->startLoop(); });
    }
    void stop() {
        if (!server) return;
        server->stop();
        thread.join();
        server.reset();
    }
    TempDir dir{"orvane-lte-db"};
    std::unique_ptr<RecipeDataGuard> recipe = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live = std::make_unique<LiveDataGuard>(recipe.get());
    DatabaseProxy db{DatabaseOptions{dir.file("orvanepro.db"), dir.path()}};
    std::unique_ptr<SocketServer> server;
    std::thread thread;
};

}  // namespace orvane::test
