#pragma once
// The owner object of orvane-scada: every long-lived component is a member, built in this
// order and destroyed in reverse. init() is the start-up sequence followed by the supervisor
// loop on the calling thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cellular/cellular.h"
#include "cloud/socket_server.h"
#include "database/database.h"
#include "env/env_guard.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "lora/lora.h"
#include "loop/loop_manager.h"
#include "mbtcp/mbtcp_client.h"
#include "mbtcp/mbtcp_server.h"
#include "recipe/recipe_guard.h"
#include "reset_button.h"
#include "sensors/probe_service.h"
#include "supervisor.h"
#include "system/system.h"
#include "vserial/virtual_serial.h"
#include "webserver/webserver.h"


extern "C" void signal_callback(int sig);

class Scada {
public:
    // Production ports; tests build their own Scada with ephemeral ones.
    struct Ports {
        uint16_t web = 80;
        int modbusServer = -1;  // -1: the recipe's MBTcpServer.serverPort; 0: ephemeral
        int virtualSerial = 1077;
    };

    // The one owner, built on first use (thread-safe), destroyed at process exit.
    static Scada* getInstance();

    Scada();
    explicit Scada(Ports ports);
    ~Scada();
    Scada(const Scada&) = delete;
    Scada& operator=(const Scada&) = delete;

    // Start-up, then the supervisor loop; returns when the exit flag is seen. A guard port that
    // stays closed ends the process with status 0 from inside.
    int init();

    // Start-up steps up to the supervisor loop: load, register, init, threads, database.
    void startup();
    // The variable registration of every group, then the register sort.
    void registerVariables();
    // Asks every component thread to stop and joins them, waiting at most `bound` in all.
    // Returns true when all of them ended in time.
    bool stopComponents(std::chrono::milliseconds bound);
    // Stops the threads (bounded), flushes the log and leaves with _exit(status): no static
    // destructor runs under a live thread.
    [[noreturn]] void exitProcess(int status);

    // Test hook: called with "init <Component>" and "thread <Component::method>" in order.
    void setTrace(std::function<void(const std::string&)> trace) { trace_ = std::move(trace); }

    RecipeDataGuard& recipe() { return recipe_; }
    LiveDataGuard& live() { return live_; }
    VarEngine& vars() { return vars_; }
    EnvGuard& env() { return env_; }
    DatabaseProxy& database() { return db_; }
    WebServer& webServer() { return web_; }
    MBTCPServer& modbusServer() { return mbServer_; }
    virtual_serial::VirtualSerial& virtualSerial() { return vserial_; }
    size_t runningThreads() const;

private:
    void trace(const std::string& what) {
        if (trace_) trace_(what);
    }
    template <typename F>
    void startThread(const char* name, F&& body);
    void installSignalHandling();
    SupervisorActions supervisorActions();

    // Members in construction order.
    RecipeDataGuard recipe_;
    LiveDataGuard live_;
    VarEngine vars_;
    EnvGuard env_;
    DatabaseProxy db_;
    System system_;
    ProbeService probe_;
    lora::Lora lora_;
    SocketServer socket_;
    MBTCPClient mbClient_;
    MBTCPServer mbServer_;
    RestAPI rest_;
    WebServer web_;
    Cellular cellular_;
    virtual_serial::VirtualSerial vserial_;
    ResetButtonReader button_;
    LoopManager loops_;

    Supervisor supervisor_;
    std::function<void(const std::string&)> trace_;

    struct ComponentThread {
        std::string name;
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<ComponentThread> threads_;
    std::thread signalWatcher_;
};
