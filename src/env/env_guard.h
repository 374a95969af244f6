#pragma once
// EnvGuard: the operational state of orvane-scada.
//
//  - the one-slot probe command mailbox between its producers (web API, operator panel of the
//    Modbus TCP server) and its consumer (the probe service), with the status words that report a
//    command's progress, the RS-485 hand-over words and the bus-scan state;
//  - the edits of the recipe probe list made by adding, removing and renaming probes;
//  - the controller-output reference table;
//  - the probe library (one immutable snapshot of 128 definitions, replaced whole on reload);
//  - accounts with bcrypt passwords, the login-token pool and the calibration log, the last two
//    persisted in runtime/opdata.json.
//
// Locks: mutex_ guards the mailbox slot, lists, scan results, the library snapshot pointer, the
// operational data (accounts and log) and the system error word. tokenMutex_ guards the token pool
// and the throttle and is never held with another lock. saveMutex_ orders the stores of
// opdata.json and is taken before mutex_; the file itself is written after mutex_ is released.
// EnvGuard takes the recipe mutex only through RecipeDataGuard and never while holding mutex_.
// Status, pending, scan and hand-over words are atomics used without a lock.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "env/cmd_packs.h"
#include "env/op_data.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "sensors/measure_types.h"
#include "utils/fss.h"
#include "utils/log.h"

struct ProbeMeta;
struct ProbeMeasureRecipeItem;
class RecipeDataGuard;
class LiveDataGuard;

// The probe library as readers see it: 128 slots in loading order, each a definition that stays
// valid for as long as it is held (an empty slot holds the empty definition, part number 0).
// A reload builds a new snapshot; a definition that did not change keeps its object, so the
// recipe items bound to it stay bound. Definitions that were replaced are kept until EnvGuard
// is destroyed, because recipe items elsewhere may still point at them.
struct ProbeLibrarySnapshot {
    std::array<std::shared_ptr<const ProbeMeta>, 128> slots;
};
using ProbeRecipeItems = std::array<ProbeMeasureRecipeItem, 128>;

// A short text that any thread may read and write.
class LockedText {
public:
    explicit LockedText(std::string_view initial = {}) : text_(initial) {}
    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    void set(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.assign(text);
    }
    operator std::string() const { return get(); }  // NOLINT: reads like the plain text

private:
    mutable std::mutex mutex_;
    std::string text_;
};

class EnvGuard {
public:
    struct Options {
        std::string opdataPath;      // empty: <install root>runtime/opdata.json
        std::string customProbeDir;  // empty: <install root>config/probes/ (ends with '/')
        int bcryptCost = 10;         // cost of every bcrypt hash made here
    };

    // Builds the default accounts, reads (or creates) opdata.json, builds the measure-type table
    // and loads the probe library. Paths come from orvane::platform::Paths at construction.
    EnvGuard();
    explicit EnvGuard(Options options);
    EnvGuard(RecipeDataGuard& recipe, Options options);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    // The owner object's instance (defined with the owner object).
    static EnvGuard& getInstance();

    // The recipe store whose probe list the probe edits change. Set once, before other threads
    // use this object; without it every recipe edit is refused with an error log.
    void setRecipe(RecipeDataGuard& recipe);

    // ---- Process exit flag (SIGTERM handler, port watchdog -> supervisor) ---------------------
    std::atomic<bool> exitFlag{false};

    // ---- Probe command mailbox ----------------------------------------------------------------
    // check true: refused (false, nothing changes) while the slot holds a command.
    // check false: stores whatever the slot holds. Every store gets a new sequence number.
    bool set_probeCmd(ProbeCmd cmd, bool check);
    // A copy of the slot; the slot and the pending flag stay as they are.
    ProbeCmd get_probeCmd() const;
    // Consumer side: a copy of the slot with its sequence number (recorded as taken).
    ProbeCmdTicket peekProbeCmd();
    // Consumer side: empties the slot and clears the pending flag only when the slot still holds
    // the store numbered seq; false (slot untouched) when a producer stored another command since.
    bool clearProbeCmd(uint64_t seq);

    // Producers. Each returns false when the mailbox refused the command; the status words and
    // ids are then left as they were. On acceptance the id and a -1 status are published before
    // the command becomes visible to the consumer.
    bool set_calibCmd(CalbCmdPack pack);
    bool set_restoreCmd(RestoreCmdPack pack);
    bool set_probeAddr(ConfigCmdPack pack);    // stored with cmdType 4 whatever the caller gave
    bool set_probeConfig(ConfigCmdPack pack);  // stored as given (5: 4-20 mA span)
    bool replaceProbe(ReplaceProbeCmdPack pack);
    // Replaces whatever the slot holds; a replaced command that the consumer had not taken yet
    // is reported failed in its status word. addToRecipe: the probes are added to the recipe.
    void set_probeAddBatch(ChangeAddrBatch items, bool addToRecipe);
    // Renames probe item probeId (0..127) in the recipe and saves it; -1 (nothing changed) for
    // another index or without a recipe. The mailbox and configStatus are not touched.
    int set_probeCustname(ConfigCmdPack pack);
    // Probe index 0..127; false for another index (nothing changes).
    bool set_probePing(int probe);
    bool set_probeDiagnose(int probe);

    // Result text of the last calibration (written by the probe service).
    void setCalibMessage(std::string_view text);
    fss::str128 getCalibMessage() const;

    // ---- Status words (atomic, used without the lock) -----------------------------------------
    std::atomic<uint32_t> calibProbeId{0xffffffffu};
    std::atomic<uint32_t> diagnoseProbeId{0xffffffffu};
    std::atomic<uint32_t> pingProbeId{0xffffffffu};
    std::atomic<uint32_t> restoreProbeId{0xffffffffu};
    std::atomic<int32_t> configProbeIndex{-1};
    std::atomic<int16_t> calibStatus{-1};
    std::atomic<int16_t> configStatus{-1};
    std::atomic<int16_t> diagnoseStatus{-1};
    std::atomic<uint32_t> diagnoseResult{0};
    std::atomic<int16_t> pingStatus{-1};
    std::atomic<int16_t> restoreStatus{-1};
    std::atomic<int16_t> replaceStatus{-1};
    std::atomic<uint8_t> probeCmdPending{0};

    // RS-485 hand-over with the TCP-to-serial pass-through: 1 release, 2 take back.
    std::atomic<int32_t> serialCmd{2};
    std::atomic<int32_t> serialCmdAck{0};
    // When the pass-through last wrote a client's bytes to the line (steady clock, since its
    // epoch; 0 before any): the probe service waits for a late answer to them at the take-back.
    std::atomic<std::chrono::steady_clock::rep> serialLastClientWrite{0};

    // ---- Bus scan -----------------------------------------------------------------------------
    std::atomic<uint32_t> scanCmd{0};       // 1 start requested, 2 stop / ended
    std::atomic<int32_t> scanProgress{0};   // 0..100
    std::atomic<int32_t> scanCount{0};      // probes found so far
    std::atomic<uint32_t> scanState{0};     // 0 idle, 1 scanning, 2 finished
    std::atomic<SCAN_MODE> scanMode{SCAN_MODE::DEFAULT};
    std::atomic<uint32_t> scanArg{0};

    void startScan(SCAN_MODE mode, unsigned arg);
    void stopScan();
    ScanProbeStatus getScanProbeStatus() const;
    // Probe service: replaces the result list as a whole.
    void setScanResults(std::vector<ProbeScanResultItem> results);
    void setLastScannedSlaveIDs(std::vector<int>& ids);
    // Rebuilds the ordered, duplicate-free list of slave ids a scan tries.
    void buildPrioritySalveIDs();
    std::vector<int> getPrioritySlaveIds() const;

    // Outcome of the last address-change batch (progress 0..100 and the per-address states).
    void setChangeAddrResult(int32_t progress, std::vector<ProbeChangeAddrResult::ProbeChangeAddrItem> items);
    ProbeChangeAddrResult getChangeAddrResult() const;

    // ---- Probe-list edits of the recipe --------------------------------------------------------
    // Clears probe item index (0..127) and its temperature/cleanliness companions (same part
    // number, serial number and Modbus address), closes the display-id gap, saves. 0, or -1 for
    // another index or without a recipe (nothing changed).
    int removeProbe(int index);
    void addNewProbe(ChangeAddrBatch& items);
    // -1 refused (part number 0, address outside 1..247, no recipe), 0 otherwise.
    int addNewProbeManual(ManualAddProbePack& pack);
    int set_probeAddManual(ManualAddProbePack pack);
    // 1 + the largest displayId among entries with enable and display set; 1 when none.
    static int findNextDisplayId(ProbeRecipeItems& items);
    // Calibration index inside the definition for an operator-panel calibration command; -1 none.
    int get_calibr_cmd_index(long long pn, MEASURE_TYPE type, unsigned short cmd);

    // ---- Controller outputs -------------------------------------------------------------------
    // Rebuilds the table from the recipe (off-lock) and swaps it in. The float references point
    // into the live probe block, bound by setProbeValueSource.
    void buildControllerOutputReference();
    // The current table (empty entries or float references into the live probe block); the
    // pointer keeps it alive for as long as the caller holds it.
    std::shared_ptr<const ControllerOutputRefs> getControllerOutputRefs() const;
    // The live store whose probe values the controller outputs reference. Set once by the owner
    // before the first rebuild; without it every probe output stays empty.
    void attachLive(LiveDataGuard& live);

    int getSystemErrorCode() const;
    void setSystemErrorCode(SystemErrorCode bits);

    // ---- Probe library -------------------------------------------------------------------------
    // The definition with this part number (the first), or an empty definition. Never null; the
    // definition stays valid for as long as the pointer is held, also across library reloads.
    std::shared_ptr<const ProbeMeta> getProbeMetaByPN(long long pn) const;
    // The whole library snapshot.
    std::shared_ptr<const ProbeLibrarySnapshot> getProbeLibrary() const;
    // Binds each enabled recipe probe item to its definition in the current snapshot. Snapshots
    // are never freed while this object lives, so bound pointers stay valid after a reload.
    void updateProbeRefrence(ProbeRecipeItems& items);
    // Reads <probe dir>/<pn>.json into out; false when it cannot be read.
    bool getCustomProbeMeta(long pn, fss::stringHuge& out);
    // Stores a user definition (part number assigned when <= 0), reloads the library and returns
    // the part number (lower 32 bits).
    // `stored`, when given, tells whether the definition file was written.
    uint32_t addCustomProbe(ProbeMeta& def, bool* stored = nullptr);
    // Reloads the library from the definition files and rebuilds the web JSON text.
    void build_meta_str();
    std::string getProbeLibraryJson() const;

    // The 42 measure-type rows (name with "-" for "_", value 1..42).
    static std::array<MeasureTypeRow, kMeasureTypeCount> get_measure_type_array();
    const std::array<MeasureTypeRow, kMeasureTypeCount> measureTypes = get_measure_type_array();

    // ---- Accounts and tokens ------------------------------------------------------------------
    // Login (0), logout (1), password change (2), network reset (3). Other codes, the hardware
    // reset (4) included, change nothing and return the initial result.
    AuthResult auth(AuthCommand cmd);
    // Reset button: restores the default password of the administrator account (index 0) only.
    bool hardwarePasswordReset();
    // True when the token belongs to a live session; refreshes it and publishes its role.
    bool checkAvaliableWebCmd(const fss::str64& token);
    // A new token for role (replacing that role's previous one); nullopt when the pool is full.
    std::optional<TokenInfo> addNewToken(AccountRole role);
    void removeToken(const fss::str64& token);
    void clearExpiredTokens(uint64_t now);
    bool isTokenExpired(const TokenInfo& info, uint64_t now) const;
    void clearAllTokens();
    void onInvalidTokenCheck(uint64_t now);
    std::array<TokenInfo, kTokenPoolSize> getTokens() const;

    // Role of the token last checked successfully, 0 after a failed check.
    std::atomic<int32_t> loggedInRole{ROLE_NONE};

    // ---- Calibration log and opdata.json -------------------------------------------------------
    // Appends one item (the oldest goes first when more than 100 are held) and stores opdata.json.
    void addCalibLog(const CalibLogItem& item);
    // The items whose key begins with key, newest first, as a JSON array.
    void getCalibLogJsonString(const std::string& key, fss::stringHuge& out);
    OpData getOpData() const;
    const std::string& opdataPath() const { return opts_.opdataPath; }

    // ---- Modem interface name (written by the modem supervisor, read by the firewall) --------
    LockedText cellularInterface{"wwan0"};

private:
    void init();
    void initAccounts();
    void storeCmdLocked(ProbeCmd&& cmd);
    template <typename Publish>
    bool offerCmd(ProbeCmd cmd, bool check, Publish&& publish);
    bool offerConfig(ConfigCmdPack pack, const char* what);
    void markReplacedFailedLocked();
    // Recipe helpers; each does nothing (with an error log) without a recipe store.
    void saveRecipe();
    void triggerRecipeReload(uint32_t mask);
    // Caller holds buildMutex_.
    void reloadLibraryLocked();
    // Merges an upload for a built-in model into that model's definition (see addCustomProbe).
    void updateBuiltinMetaReading(ProbeMeta& def, const ProbeLibrarySnapshot& library);
    void loadOpData();
    // Takes saveMutex_, applies change to the operational data and snapshots its text under
    // mutex_, then writes the file with mutex_ released. False when the file was not stored
    // (the change stays in memory).
    bool saveOpData(const std::function<void(OpData&)>& change);
    // True when the account's password was changed in memory; stored tells whether opdata.json
    // was written as well.
    bool setPassword(size_t index, const char* password, const char* failureText, bool& stored);
    void countInvalidLocked(uint64_t now);
    bool storeFile(const std::string& path, const std::string& text);
    bool recipeReady(const char* what) const;

    Options opts_;
    RecipeDataGuard* recipe_ = nullptr;
    LogThrottles logs_;  // refusals a remote peer can repeat, one throttle per kind of line

    mutable std::mutex mutex_;
    mutable std::mutex tokenMutex_;
    std::mutex saveMutex_;

    // mutex_
    ProbeCmd probeCmd_;
    uint64_t probeCmdSeq_ = 0;
    uint64_t takenSeq_ = 0;
    fss::str128 calibMessage_;
    uint32_t systemErrorCode_ = 0;
    std::vector<int> prioritySlaveIds_;
    std::vector<int> lastScannedSlaveIds_;
    std::vector<ProbeScanResultItem> scanResults_;
    ProbeChangeAddrResult changeAddrResult_;
    OpData opData_;
    std::string probeLibraryJson_;
    std::shared_ptr<const ProbeLibrarySnapshot> library_;
    std::vector<std::shared_ptr<const ProbeMeta>> retiredDefinitions_;
    std::shared_ptr<const ProbeMeta> emptyMeta_;
    std::shared_ptr<const ControllerOutputRefs> controllerOutputRefs_;
    std::array<float*, 128> probeValueSource_{};  // val of each live probe slot

    // tokenMutex_
    std::array<TokenInfo, kTokenPoolSize> tokens_{};
    uint64_t invalidWindowStart_ = 0;
    int32_t invalidCount_ = 0;
    uint64_t blockedUntil_ = 0;

    // Scratch buffers (saveMutex_ for opdata, buildMutex_ for the library reload).
    std::mutex buildMutex_;
    std::unique_ptr<fss::stringHuge> loadBuffer_;
    std::unique_ptr<fss::stringHuge> saveBuffer_;
    bool opdataLocked_ = false;  // an unreadable opdata.json could not be moved aside: never overwrite it
    std::array<std::string, 128> libraryTexts_;  // buildMutex_: definition texts of library_'s slots
};
