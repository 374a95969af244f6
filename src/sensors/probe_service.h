#pragma once
// ProbeService: the owner of the RS-485 probe bus inside orvane-scada.
//
// One thread runs startLoop(), a loop over runOnce() with a one-second pause (platform clock).
// Each pass:
//   syncInit()          takes recipe changes (bits 0x2 probe items, 0x8 line settings,
//                       0x2000 analog inputs), reads the probes' identification once a probe has
//                       answered, and takes a copy of the command mailbox;
//   handleSerialCmd()   lends the line to the TCP-to-serial pass-through or takes it back;
//   handleScanCmd()     runs a requested bus scan;
//   tryOutterCmd()      runs the mailbox command;
//   tryInnerCmd()       ping, poll (every 2 s) and diagnosis;
//   handleInterfaceMeter()  the interface level meter cycle (only when armed).
// While the line is lent (release requested, or not yet reopened after the take-back) the pass
// stops after the hand-over: no reading, scan or command runs, and they stay pending. The line
// taken back is opened afresh, so its first request waits until the line has been silent for the
// response time-out (RtuMaster), and until kPassThroughLateAnswer after the client's last bytes
// went out: an answer to the pass-through's last request that is still on its way is discarded,
// never read as the answer to the service's own request.
//
// Recipe write-back: the service never stores its whole copy of the probe items. It applies the
// fields it changed (serial number, Modbus address, 4-20 mA span) to the recipe items that still
// hold the same probe (part number, reading name and address), so that edits made meanwhile
// through the web or the operator panel survive.
//
// The mailbox is emptied with EnvGuard's compare-and-clear: a command stored while a pass runs is
// kept for the next pass.
//
// Threads: everything here runs on the probe-service thread except stop(). Stores are locked one
// at a time, only to copy data in or out.
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "env/cmd_packs.h"
#include "platform/stopper.h"
#include "recipe/recipe_data.h"
#include "sensors/level_meter.h"
#include "sensors/rtu_master.h"

class RecipeDataGuard;
class LiveDataGuard;
class EnvGuard;
struct ProbeMeta;
struct ProbeLiveData;
struct AnalogLiveData;

// The bus reads a scan makes. Production uses the command set over the RTU master; tests may
// install a scripted bus to run scans in simulated time.
class ProbeScanBus {
public:
    virtual ~ProbeScanBus() = default;
    // Part number answered at address; 0 or less when nothing answers.
    virtual int64_t readPN(int address) = 0;
    virtual long readSN(const ProbeMeta& meta, int address) = 0;
};

// Cleanliness status of a cleanliness index: above 80 -> 2, 61..80 -> 1, 0..60 -> 0, negative -> -1.
int cleanliness_index_to_status(int index);
// Temperature unit code of a unit text: 1 Fahrenheit, 2 Celsius, 0 anything else.
uint16_t temperatureUnitCode(std::string_view unit);

class ProbeService {
public:
    enum BusState : int { BUS_SETTINGS_TAKEN = 1, BUS_ANSWERED = 2, BUS_IDENTIFIED = 3 };
    static constexpr int kLevelMeterSlave = 66;
    static constexpr int kIgnoredScanPartNumber = 43042;
    static constexpr int kPollSeconds = 2;
    // How late a probe may answer a pass-through client's last request: after the take-back the
    // first request waits until this long after the client's last bytes went out on the line
    // (and for the line's silence), so such an answer is discarded and never read as a reading.
    static constexpr std::chrono::seconds kPassThroughLateAnswer{3};

    // The production constructor: the operational state is EnvGuard::getInstance().
    // device and baud seed the line settings until the recipe's "modbusRtu" section is taken
    // (change bit 0x8, set at start-up), which then decides the device, baud rate, parity and
    // time-out.
    ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, std::string device = "/dev/ttymxc3", int baud = 9600);
    ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, std::string device = "/dev/ttymxc3",
                 int baud = 9600);
    ~ProbeService();
    ProbeService(const ProbeService&) = delete;
    ProbeService& operator=(const ProbeService&) = delete;

    // Slot ids 1..128 and 1..8, every probe value NaN.
    void init();
    // The thread body: runOnce() and a one-second pause until stop().
    void startLoop();
    // Makes startLoop return after the current step (a running scan ends after its address).
    void stop();
    // One pass of the loop without its pause.
    void runOnce();

    // ---- the steps of a pass (public for tests) ------------------------------------------------
    void syncInit();
    void handleSerialCmd();
    void handleScanCmd();
    bool tryOutterCmd();
    bool tryInnerCmd();
    void tryPingCmd();
    void readCleanlinessAndBroadcast();
    void buildSensorGroup();
    // Arms the level meter from its settings file; false (and unarmed) when the file is missing
    // or not usable (logged).
    bool handleInterfaceInit();
    void handleInterfaceMeter();

    // ---- mailbox handlers ------------------------------------------------------------------------
    bool handleRequestCmd(CalbCmdPack& pack);
    bool handleRequestCmd(RestoreCmdPack& pack);
    bool handleRequestCmd(ConfigCmdPack& pack);
    bool handleRequestCmd(ChangeAddrBatch& batch);
    bool handleRequestCmd(ReplaceProbeCmdPack& pack);

    // Every item of the service's copy at oldAddr moves to newAddr.
    void updateAddrInRecipe(int oldAddr, int newAddr);
    // Suggested address for a probe found at address during a scan; -1 when none is free.
    int findSuggestedAddr(int address);

    bool isConnected(int index) const;
    // First item named "PTSA" at address whose part number is 50661 or 50692; -1 none.
    int getIndexForLiveData(int address) const;

    // True while the pass-through holds the line (release requested or not yet taken back).
    bool lineLent() const;
    // Copies the probe block (with the command status words) into the live store.
    void publishProbe();
    void publishAnalog();

    // ---- state for tests and the owner ---------------------------------------------------------
    int busState() const { return busState_; }
    const std::array<ProbeMeasureRecipeItem, kProbeItemCount>& items() const { return *items_; }
    const ProbeLiveData& probeBlock() const { return *probe_; }
    const AnalogLiveData& analogBlock() const { return *analog_; }
    const ModbusRtuRecipeData& lineSettings() const { return rtu_; }
    RtuMaster& master() { return master_; }
    int8_t cleanlinessCache(int address) const { return address >= 0 && address < 256 ? clean_[static_cast<size_t>(address)] : -1; }
    bool meterArmed() const { return meterArmed_; }
    const InterfaceMeterSettings& meterSettings() const { return meterSettings_; }
    int64_t lastMeterCycle() const { return lastExecutedTimeStamp_; }
    void setLastMeterCycle(int64_t t) { lastExecutedTimeStamp_ = t; }
    InterfaceMeterPack& meterPack() { return *meterPack_; }
    LibModbusExt& meterLink() { return *meterLink_; }

    // Test hooks. nullptr restores the bus of the RTU master.
    void setScanBusForTest(ProbeScanBus* bus) { scanBusOverride_ = bus; }
    // Settings file and data-file name prefix of the level meter (defaults under the install root).
    void setInterfaceMeterPaths(std::string settingsFile, std::string dataName);
    // Poll wait of the level meter's reception (1000 ms in production).
    void setInterfaceMeterPollMs(int ms);

private:
    struct ScanBusOverMaster;

    void copyProbeItemsFromRecipe();
    void copyAnalogFromRecipe();
    void copyLineSettingsFromRecipe();
    bool openLine();
    void resetCleanlinessCache();
    void readIdentificationAndStore();
    // Adds changed serial numbers and spans of the items to the recipe items that still hold the
    // same probe; true when the recipe changed.
    bool storeIdentityInRecipe();
    bool applyAddressMovesToRecipe(const std::vector<std::array<int, 3>>& moves);
    bool runMeterCycle();
    ProbeScanBus& scanBus();
    void setCmdText(std::string_view text);
    bool validIndex(uint32_t index) const { return index < static_cast<uint32_t>(kProbeItemCount); }

    RecipeDataGuard& recipe_;
    LiveDataGuard& live_;
    EnvGuard& env_;
    orvane::platform::Stopper stopper_;

    RtuMaster master_;
    ModbusRtuRecipeData rtu_;
    std::unique_ptr<std::array<ProbeMeasureRecipeItem, kProbeItemCount>> items_;
    std::array<AIRecipeItem, kAnalogInputCount> ai_{};
    bool hasAI_ = false;
    std::unique_ptr<ProbeLiveData> probe_;
    std::unique_ptr<AnalogLiveData> analog_;
    int busState_ = BUS_SETTINGS_TAKEN;
    // The line that last failed to open: reported once, not on every retry.
    std::string unopenedLine_;
    int64_t lastPoll_ = 0;
    bool polledOnce_ = false;
    std::array<int8_t, 256> clean_{};

    // Mailbox copy of this pass.
    std::unique_ptr<ProbeCmdTicket> ticket_;
    bool ticketTaken_ = false;

    // Scan.
    std::set<int> usedAddrs_;
    std::set<int> suggestedAddrs_;
    std::set<int> answeredAddrs_;
    ProbeScanBus* scanBusOverride_ = nullptr;
    std::unique_ptr<ScanBusOverMaster> scanBusMaster_;

    // Level meter.
    bool meterArmed_ = false;
    InterfaceMeterSettings meterSettings_;
    int64_t lastExecutedTimeStamp_ = 0;
    std::string meterSettingsFile_;
    std::string meterDataName_;
    std::unique_ptr<InterfaceMeterPack> meterPack_;
    std::unique_ptr<LibModbusExt> meterLink_;
};
