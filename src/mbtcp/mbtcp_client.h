#pragma once
// MBTCPClient: polls up to eight field controllers and publishes their values as live data.
//
// A controller is a client item of the recipe ("MBTcpClient"). Protocol ("communication") 3 reads
// EtherNet/IP tags through the eip driver, any other value Modbus TCP through libmodbus. Inputs are
// read into a working copy of the controller live block; outputs copy register-table values to
// the controller. "Kelva Works" controllers whose model begins with "DK-200" also get the network
// report and their data-set registers stored as CSV files (mbtcp_kelva_dk.cpp).
//
// One thread runs loop_thread(): configuration on start and on change bit 0x10, then one pass
// (runOnce) a second until stop(). Pauses go through the platform clock.
//
// Live copy: after each pass and each configuration load the input blocks and the connected flags
// are copied whole; of the outputs only the values written in that pass (the supervisor writes the
// other output values). connected[c] is the Modbus connection flag, or for EtherNet/IP whether data
// came in during the pass; used[] are the input flags.
//
// Values start NaN and a failed read shows NaN. Names and flags are set at load even for a
// controller that is down. After a failed reconnection the libmodbus context is freed and the
// controller marked disconnected; every call then fails at once until the next pass reconnects.
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "live/live_data.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"

class RecipeDataGuard;
class LiveDataGuard;
class VarEngine;
typedef struct _modbus modbus_t;

class MBTCPClient {
public:
    static constexpr int kClients = kMBTcpClientCount;
    static constexpr int kIo = kMBTcpClientIoCount;
    static constexpr int kFloatArray = 257;
    static constexpr int kRawArray = 125;
    static constexpr int kMaxOutputRegisters = 123;
    static constexpr int kEipProtocol = 3;

    MBTCPClient(RecipeDataGuard& recipe, LiveDataGuard& live, VarEngine& vars);
    ~MBTCPClient();
    MBTCPClient(const MBTCPClient&) = delete;
    MBTCPClient& operator=(const MBTCPClient&) = delete;

    int loop_thread();
    void stop();
    // One pass: a pending configuration change, every enabled controller, the live copy.
    void runOnce();
    void update_config();

    // 0 connected; negative otherwise (context freed).
    int init_mb_client(int index, const char* ip, int port, int slave);
    // libmodbus's result; -1 for a bad index, no buffer or no context. One reconnect and retry
    // after a failure.
    int mb_read_registers(int index, int address, int count, uint16_t* dest);
    int mb_write_registers(int index, int address, int count, const uint16_t* src);

    struct RegisterRead {
        float value;
        int rc;
    };
    // One or two registers as a value (NaN and rc -1 for another count, without a read). raw, when
    // given, receives the registers read (room for two).
    RegisterRead read_register(int index, int address, int count, uint16_t* raw, bool isFloat, bool isSigned = false);
    // count registers as floats, two at a time, into floats() (index = offset / 2); the array is
    // reset to NaN first and at most 257 floats are stored. A stop request ends it early.
    void read_registers(int index, int address, int count);
    // Up to 125 registers into raw(); libmodbus's result.
    int read_registers_raw(int index, int address, int count);
    static uint32_t assemble_u32_by_byteorder(std::string_view order, const uint16_t* regs);

    void eip_rebuild_tags(int index, const MBTcpClientItem& item);
    void eip_destroy_tags(int index);
    void handleOneClient(int index, const MBTcpClientItem& item);
    void handleOneEipClient(int index, const MBTcpClientItem& item);
    void mb_clean(int index);

    // ---- "Kelva Works" DK-200 -----------------------------------------------------------------
    void handleKelvaDKLteNetwork(int index);
    void handleKelvaDKHvd(int index, uint16_t mask);
    void handleKelvaDKOPW318(int index, uint16_t value);
    void handleKelvaMV700TestData(int index, uint16_t value);

    // ---- state, for tests ---------------------------------------------------------------------
    // The wait for each Modbus answer on contexts made afterwards (libmodbus's own when not set).
    void setResponseTimeoutForTest(std::chrono::milliseconds timeout) { responseTimeout_ = timeout; }
    const ControllerLiveData& working() const { return *work_; }
    bool connected(int index) const { return index >= 0 && index < kClients && connected_[index]; }
    bool hasContext(int index) const { return index >= 0 && index < kClients && ctx_[index]; }
    int32_t tagHandle(int index, int input) const { return tags_[index][input]; }
    const std::array<float, kFloatArray>& floats() const { return floats_; }
    const std::array<uint16_t, kRawArray>& raw() const { return raw_; }

    // Registers a text occupies: bytes in order, the first in the low byte of the first register,
    // zero-filled and cut to count registers.
    static void textToRegisters(std::string_view text, uint16_t* regs, int count);
    // Keeps [A-Za-z0-9_-] of a serial number for a file name.
    static std::string safeFileToken(std::string_view text);
    // Writes text as a new file "<raw dir>/<sn>_<time>.csv" (time in timeFormat, local time); an
    // existing file is never replaced: "_1", "_2", ... are appended. Empty on failure (logged).
    std::string writeNewCsv(const char* timeFormat, const std::string& text);

private:
    static bool isDk200(const MBTcpClientItemBase& item);
    // Elements an EtherNet/IP input fills: its element count (at least 1), cut at input 128.
    static int eipElements(const MBTcpClientInputItem& in);
    void clearBlock(int index);
    void nameInputs(int index, const MBTcpClientItem& item, bool eip);
    void decodeTag(int index, const MBTcpClientInputItem& in, int32_t handle);
    void setTagNaN(int index, const MBTcpClientInputItem& in);
    void logTagError(int index, int input, const char* what, const MBTcpClientInputItem& in, int code);
    void handleOutputs(int index, const MBTcpClientItem& item);
    void publish();
    // Closes and reopens the context after a failure; false (context freed, disconnected) when
    // the reconnection fails.
    bool reconnect(int index);
    int withRetry(int index, const char* what, int address, int count, const std::function<int(modbus_t*)>& exchange);
    void pause(int ms);

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    VarEngine& vars_;
    orvane::platform::Stopper stopper_;

    std::unique_ptr<std::array<MBTcpClientItem, kClients>> items_;
    std::unique_ptr<ControllerLiveData> work_;
    std::array<modbus_t*, kClients> ctx_{};
    std::array<bool, kClients> connected_{};
    std::array<bool, kClients> dataReceived_{};
    std::array<std::array<int32_t, kIo>, kClients> tags_{};
    std::array<std::array<bool, kIo>, kClients> pending_{};
    std::array<std::array<int, kIo>, kClients> lastTagError_{};
    std::array<std::array<bool, kIo>, kClients> outputWritten_{};
    std::array<float, kFloatArray> floats_{};
    std::array<uint16_t, kRawArray> raw_{};
    std::chrono::milliseconds responseTimeout_{0};  // 0: libmodbus's own
};
