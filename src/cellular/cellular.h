#pragma once
// LTE modem supervisor and cellular data-usage accounting. Cellular reads the modem identity
// once over the AT port, then once a minute the signal, the carrier, the data interface's
// address and the data usage, and publishes the LTE live record. DataUsageTracker counts the
// data interface's bytes per billing cycle and in total, kept in data/data_usage.json.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include <poll.h>

#include "live/live_data.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"

class RecipeDataGuard;
class EnvGuard;

struct DataUsageSnapshot {
    uint64_t cycleRxBytes = 0;
    uint64_t cycleTxBytes = 0;
    uint64_t totalRxBytes = 0;
    uint64_t totalTxBytes = 0;
    float cycleRxMB = 0;
    float cycleTxMB = 0;
    float totalRxMB = 0;
    float totalTxMB = 0;
    int32_t lastUpdated = 0;
};

class DataUsageTracker {
public:
    DataUsageTracker(const std::string& interface, int billingDay);

    void setBillingDay(int day);
    void setInterface(const std::string& name);
    // Loads the file (or starts a fresh cycle) and takes the baseline sample.
    void init();
    // One sample: counts the difference to the last one, rolls the billing cycle, saves.
    void update();
    DataUsageSnapshot getSnapshot() const;
    static void fillMB(DataUsageSnapshot& s);

    // The interface's received and transmitted byte counters from <procfs>/net/dev.
    bool readKernelCounters(uint64_t& rx, uint64_t& tx) const;
    bool saveToFile() const;
    bool loadFromFile();
    // The file's exact text for the current counters.
    std::string fileText() const;

    std::string interfaceName() const;
    int billingDay() const;
    std::string filePath() const;

private:
    void checkCycleReset();  // mutex held
    std::string fileTextLocked() const;
    bool readCountersLocked(uint64_t& rx, uint64_t& tx) const;

    mutable std::mutex mutex_;
    std::string interface_;
    int billingDay_ = 1;
    uint64_t lastRx_ = 0, lastTx_ = 0;
    uint64_t cycleRxBytes_ = 0, cycleTxBytes_ = 0;
    uint64_t totalRxBytes_ = 0, totalTxBytes_ = 0;
    int32_t cycleYear_ = 0, cycleMonth_ = 0;
    int32_t lastUpdated_ = 0;
    bool firstSample_ = true;
};

// The wait for the port's reply (poll(2) unless a test replaces it).
using AtPollFn = int (*)(pollfd*, nfds_t, int);

// Sends one AT command (its bytes as given, zero byte included) and reads one reply of at most
// 64 bytes into the shared reply buffer. Returns the bytes read or -1. `timeout` bounds the
// wait for the reply; `stop`, when given, ends the wait early. A failed wait or read is logged
// and tried again, three tries in all.
extern char AT_CMD_RESP_BUF[64];
int atCmdProcess(int fd, const char* command, int length,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5),
                 const std::atomic<bool>* stop = nullptr, AtPollFn pollFn = ::poll);

class Cellular {
public:
    struct Options {
        // Longest wait for one reply read; the modem's own setting is 5 s.
        std::chrono::milliseconds readTimeout{5000};
        // Pauses go through the platform clock in slices of this length.
        std::chrono::milliseconds slice{100};
        // Replaces poll(2) on the AT port (tests of a failing port).
        AtPollFn pollFn = ::poll;
    };

    Cellular(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env);
    Cellular(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, Options options);
    ~Cellular();
    Cellular(const Cellular&) = delete;
    Cellular& operator=(const Cellular&) = delete;

    // Opens and configures the AT port; 1 on success, 0 on failure.
    int init();
    // The thread body: identity once, then a pass a minute until stop().
    void startLoop();
    void stop();
    // Start of the thread: echo off, identity into the recipe, billing day, usage baseline.
    // False when stopped meanwhile.
    bool readIdentity();
    // One minute's work without the closing pause. False when stopped meanwhile.
    bool pollOnce();

    int atCmdTurnOffEcho();
    int atCmdReadCGMI();
    int atCmdReadCGMM();
    int atCmdReadCGMR();
    int atCmdReadIMSI();
    int atCmdReadICCID();
    int atCmdReadSignal();
    int atCmdReadCarrier();
    void getInterfaceInfo();
    void updateDataUsageLive();
    void updateLive();

    const ModemInfoRecipeData& identity() const { return identity_; }
    const LteLiveData& lteRecord() const { return lte_; }
    DataUsageTracker& usage() { return usage_; }
    int fd() const { return fd_; }

private:
    // Sends a command (with its zero byte) and returns the reply as read; empty on failure.
    std::string_view command(std::string_view cmd);
    bool pause(std::chrono::milliseconds d);
    void flushPort();
    std::string hwVer();

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    EnvGuard& env_;
    Options opt_;
    int fd_ = -1;
    ModemInfoRecipeData identity_{};
    LteLiveData lte_{};
    DataUsageTracker usage_;
    std::atomic<bool> stopping_{false};
    orvane::platform::Stopper stopper_;
};
