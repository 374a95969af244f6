#pragma once
// Modbus TCP server of the register table, with the system-command register (1071) and the
// operator-panel (HMI) command block (2991 on, command at 2992).
//
// One thread (startLoop) serves every client with poll(): the listening socket, the client
// sockets and a wake descriptor that stop() writes. Requests are framed here by their MBAP
// length, per client, so a client that sends half a request never holds up the others; the rest
// of a request must follow within 2 s or the connection is closed. Each whole request is
// answered by processMBTCPRequst:
//  - reads (function codes 3 and 4) load every requested register from the register table into
//    the one register array, which libmodbus uses as both its holding and its input table (a
//    value cut by either end of the range gives the words inside it, a register where no value
//    lies reads 0), then refresh the HMI results (handleQueryForHMI) and answer;
//  - writes (6 and 16) are stored through the register table, then run the system command
//    (start 1071) or the HMI command (start 2992), and are answered.
// A request outside the 20000 registers, with a register count libmodbus would refuse, or a
// multiple write whose byte count is not twice its register count never reaches the register
// table: it gets libmodbus's exception. A write the register table would not take whole (a
// register that starts no value: ILLEGAL DATA ADDRESS; a value only partly written: ILLEGAL DATA
// VALUE) stores nothing and gets that exception. Function codes 22 and 23 would change the array
// behind the register table's back and get ILLEGAL FUNCTION; codes of 0x80 and above get ILLEGAL
// FUNCTION with their own byte as the function.
//
// A peer that repeats a request cannot flood the log: each kind of warning or error line a
// request causes is logged the first time, then at most once per 10 s for the whole server with
// the count of the lines it stands for, however often the peer connects again.
//
// Threads: everything but stop() and port() runs on the server thread, which alone touches the
// HMI block (bound into the register table with no lock). Stores are locked one at a time.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "mbtcp/hmi_block.h"
#include "platform/log_throttle.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"

// libmodbus's types (its header defines macros such as OFF and ON, so it stays out of headers).
typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

class RecipeDataGuard;
class LiveDataGuard;
class VarEngine;
class EnvGuard;

class MBTCPServer {
public:
    static constexpr int kRegisterCount = 20000;
    static constexpr int kSystemCommandReg = 1071;
    static constexpr int kHmiCommandReg = 2992;
    static constexpr int kListenBacklog = 8;
    static constexpr int kQueryLength = 260;  // the longest Modbus TCP request
    static constexpr int kRestOfRequestMs = 2000;  // the wait for the rest of a request

    // The command whose outcome the HMI refresh reports: only that kind's result word is read,
    // so the result of an older command of another kind never shows as the new one's.
    enum class HmiWatch : uint8_t { NONE, CALIBRATION, RESTORE, DIAGNOSIS, CONFIG, REPLACE };

    // What getQueryInfo reads from a request (header length from the context).
    struct QueryInfo {
        int funcCode = -1;
        int address = 0;
        int count = 0;
        int byteCount = -1;             // function code 16 only
        const uint8_t* data = nullptr;  // written registers, high byte first (6 and 16)
    };

    // portOverride: -1 serves the recipe's MBTcpServer.serverPort (read by init), 0 an
    // ephemeral port, any other value that port.
    MBTCPServer(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars, EnvGuard& env, int portOverride = -1);
    ~MBTCPServer();
    MBTCPServer(const MBTCPServer&) = delete;
    MBTCPServer& operator=(const MBTCPServer&) = delete;

    // Context and mapping; false (and startLoop stays idle until stop) when the port is outside
    // 1..65535 or the mapping cannot be made.
    bool init();
    // The thread body: listens (retried every second), then serves until stop().
    void startLoop();
    // Ends startLoop promptly; callable from any thread.
    void stop();
    // The bound port once listening, 0 before.
    int port() const { return boundPort_.load(); }

    // One whole request (MBAP header first, length bytes) answered on the context's socket: 0
    // after a reply, -1 when the connection is to close.
    int processMBTCPRequst(modbus_t* ctx, const uint8_t* request, int length, modbus_mapping_t* mapping);
    QueryInfo getQueryInfo(const uint8_t* request) const;
    // Refreshes the HMI block's results; runs after every read.
    void handleQueryForHMI();
    // Runs the HMI command written at 2992.
    void handleCmdForHMI();

    // The operator-panel command block (registered in the register table by the owner).
    HmiCommandBlock& hmi() { return hmi_; }
    HmiWatch watching() const { return watch_; }
    bool commitLatched() const { return commitLatch_ != 0; }
    bool rebootLatched() const { return rebootLatch_ != 0; }

private:
    // The warning and error lines a peer can cause, one throttle per kind, for the whole server:
    // a peer that connects again for each request is held back like one that keeps its connection.
    struct RequestLog {
        orvane::platform::LogThrottle unhandled, refusedWrite, tableWrite, hmiCommand, hmiRestore, hmiAddress, hmiBatch,
            receive, badLength, timeout, send, failed, accept;
    };

    void releaseContext();
    bool listenOnce();
    void serve();
    struct Client;
    // Reads what the client sent and answers every whole request; false when it is to close.
    bool serveClient(Client& client);
    // The exception a write of count registers from address calls for (a register that starts
    // no value, or a value that runs past the write), or 0 when the register table takes it whole.
    int writeRefusal(int address, int count);
    void runSystemCommand();
    void runCalibration(int slot);
    void runCommit();
    void copyScanResults();
    // Status 1 (accepted, result follows) and the kind to watch, or refused().
    void accepted(bool ok, HmiWatch watch);
    // Status 0, result 0, nothing watched.
    void refused();
    void finished(bool ok);

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    VarEngine& vars_;
    EnvGuard& env_;
    const int portOverride_;

    uint8_t commitLatch_ = 0;
    uint8_t wifiLatch_ = 0;
    uint8_t rebootLatch_ = 0;
    modbus_t* ctx_ = nullptr;
    std::array<uint8_t, kQueryLength> query_{};
    // The one register array: libmodbus's holding and input tables both point here.
    std::unique_ptr<std::array<uint16_t, kRegisterCount>> table_;
    modbus_mapping_t* mapping_ = nullptr;
    uint16_t* ownHolding_ = nullptr;  // libmodbus's own arrays, put back before the mapping is freed
    uint16_t* ownInput_ = nullptr;
    MBTcpServerRecipeData settings_;
    HmiCommandBlock hmi_{};
    HmiWatch watch_ = HmiWatch::NONE;
    RequestLog log_;

    bool ready_ = false;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<int> boundPort_{0};
    orvane::platform::Stopper stopper_;
};
