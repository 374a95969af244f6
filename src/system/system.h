#pragma once
// Device manager of orvane-scada. One thread applies the settings other components announce
// through change bits (save, port forwarding, firewall, service restart, reboot, Wi-Fi), keeps
// the Wi-Fi station address current, publishes the health block into the live data, checks
// once a minute whether the Internet answers, and drives the status LEDs.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <sys/statvfs.h>

#include "live/live_data.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"
#include "utils/fss.h"
#include "utils/hardware_utils.h"  // isDottedIPv4

class RecipeDataGuard;
class EnvGuard;

enum SYS_ERROR_CODE : int32_t {
    SYS_ERROR_NONE = 0,
};

// Runs "/usr/sbin/iptables" with the arguments, without a shell; 0 is success.
int runIptables(const std::vector<std::string>& args);

// One echo request to a public resolver; true when it was answered.
bool isNetworkAvailable();

// hwVer as a decimal number; a text that is not a number counts as above 2.5 (warned about,
// once per distinct text).
double parseHwVer(const std::string& hwVer);
// The cellular data interface for a board revision: "ppp0" up to 2.5, else the modem's.
std::string cellularInterfaceFor(const std::string& hwVer, const std::string& modemInterface);


class System {
public:
    struct Options {
        // Pauses and samples go through the platform clock in slices of this length, so stop()
        // is seen quickly.
        std::chrono::milliseconds slice{100};
        // Replaces statvfs (tests of large file systems).
        int (*statvfsFn)(const char*, struct statvfs*) = ::statvfs;
        // The directory whose file system holds the history database.
        std::string (*dbDiskPath)() = nullptr;
    };

    System(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env);
    System(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, Options options);

    // Exports the LED lines and makes them outputs.
    int init();
    // The thread body: passes until stop().
    void startLoop();
    void stop();
    // One pass of the loop without its closing one-second pause. False once stopped.
    bool runOnce();

    void reloadSoftware();
    void rebootSystem();
    void setRunLed(SYS_ERROR_CODE code);

    // Health figures.
    void updateLive();
    float getCpuUsage(uint64_t& idle, uint64_t& total);
    float getCpuUsageAverage();
    uint32_t getSysUptime();
    float getCpuTemperature();
    std::pair<float, int32_t> readMemoryData();
    std::pair<float, int32_t> readDiskData(const std::string& path);

    // Network operations of the loop.
    void updateFirewall();
    void updatePortForwarding();
    void updateWifi();
    void updateWifiIP();

    // The copy of the system section this component works from (defaults until it loads).
    const SystemRecipeData& systemSection() const { return system_; }
    const auto& swVer() const { return system_.swVer; }
    const SystemLiveData& health() const { return health_; }
    // True once a health block has been copied into the live data.
    bool healthPublished() const { return published_.load(); }

private:
    // Waits d on the platform clock in slices; false when stop() came meanwhile.
    bool pause(std::chrono::milliseconds d);
    void publishHealth();
    void clearLteConnection();
    void stopWifiServices();
    std::string cellularInterface();

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    EnvGuard& env_;
    Options opt_;
    SystemRecipeData system_{};
    SystemLiveData health_{};
    SYS_ERROR_CODE error_ = SYS_ERROR_NONE;
    uint32_t ledPhase_ = 0;
    int healthCounter_ = 10;
    int networkCounter_ = 60;
    std::atomic<bool> published_{false};
    std::atomic<bool> stopping_{false};
    orvane::platform::Stopper stopper_;
};
