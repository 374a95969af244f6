// EnvGuard: construction, the probe command mailbox, status words, scan state and the system
// error word. Accounts and tokens are in env_auth.cpp, opdata.json in env_opdata.cpp, the probe
// library in env_library.cpp and the recipe probe-list edits in env_probe_list.cpp.
#include "env/env_guard.h"

#include <utility>

#include "platform/paths.h"
#include "sensors/probe_meta.h"
#include "utils/log.h"
#include "scada_paths.h"

using orvane::platform::Paths;

EnvGuard::EnvGuard() : EnvGuard(Options{}) {}

EnvGuard::EnvGuard(Options options) : opts_(std::move(options)) { init(); }

EnvGuard::EnvGuard(RecipeDataGuard& recipe, Options options) : opts_(std::move(options)), recipe_(&recipe) {
    init();
}

EnvGuard::~EnvGuard() = default;

void EnvGuard::init() {
    if (opts_.opdataPath.empty()) opts_.opdataPath = scada_paths::OPDATA_FILE();
    if (opts_.customProbeDir.empty()) opts_.customProbeDir = Paths::install("config/probes/");
    if (opts_.customProbeDir.back() != '/') opts_.customProbeDir.push_back('/');

    // The shared empty definition is a static object of the sensors code: never deleted here.
    emptyMeta_ = std::shared_ptr<const ProbeMeta>(&probeMetaNone(), [](const ProbeMeta*) {});
    auto empty = std::make_shared<ProbeLibrarySnapshot>();
    empty->slots.fill(emptyMeta_);
    library_ = std::move(empty);
    controllerOutputRefs_ = std::make_shared<ControllerOutputRefs>();
    loadBuffer_ = std::make_unique<fss::stringHuge>();
    saveBuffer_ = std::make_unique<fss::stringHuge>();

    initAccounts();
    loadOpData();
    build_meta_str();
}

void EnvGuard::setRecipe(RecipeDataGuard& recipe) { recipe_ = &recipe; }

bool EnvGuard::recipeReady(const char* what) const {
    if (recipe_) return true;
    SLOG_ERROR(SCADA, "{}: no recipe store attached", what);
    return false;
}

// ---- Mailbox ----------------------------------------------------------------------------------

void EnvGuard::storeCmdLocked(ProbeCmd&& cmd) {
    probeCmd_ = std::move(cmd);
    ++probeCmdSeq_;
    probeCmdPending.store(std::holds_alternative<NoneCmdPack>(probeCmd_) ? 0 : 1);
}

template <typename Publish>
bool EnvGuard::offerCmd(ProbeCmd cmd, bool check, Publish&& publish) {
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (check && !std::holds_alternative<NoneCmdPack>(probeCmd_)) {
            refused = true;
        } else {
            publish();
            storeCmdLocked(std::move(cmd));
        }
    }
    if (refused) {
        SLOG_THROTTLED(logs_, SCADA, WARN, "**************** probeCmd is not empty ****************");
        return false;
    }
    SLOG_INFO(SCADA, "*********** Get set_probeCmd ***************");
    return true;
}

bool EnvGuard::set_probeCmd(ProbeCmd cmd, bool check) {
    return offerCmd(std::move(cmd), check, [] {});
}

ProbeCmd EnvGuard::get_probeCmd() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return probeCmd_;
}

ProbeCmdTicket EnvGuard::peekProbeCmd() {
    std::lock_guard<std::mutex> lock(mutex_);
    takenSeq_ = probeCmdSeq_;
    return ProbeCmdTicket{probeCmd_, probeCmdSeq_};
}

bool EnvGuard::clearProbeCmd(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (seq != probeCmdSeq_) return false;
    probeCmd_ = NoneCmdPack{};
    probeCmdPending.store(0);
    return true;
}

static bool validProbeIndex(long long index) { return index >= 0 && index < 128; }

bool EnvGuard::set_calibCmd(CalbCmdPack pack) {
    if (!validProbeIndex(pack.probeId)) {
        SLOG_THROTTLED(logs_, SCADA, WARN, "set_calibCmd: probe index {} out of range", pack.probeId);
        return false;
    }
    return offerCmd(pack, true, [&] {
        calibProbeId.store(pack.probeId);
        calibStatus.store(CMD_RET_PENDING);
        calibMessage_.clear();
    });
}

bool EnvGuard::set_restoreCmd(RestoreCmdPack pack) {
    if (!validProbeIndex(pack.probeId)) {
        SLOG_THROTTLED(logs_, SCADA, WARN, "set_restoreCmd: probe index {} out of range", pack.probeId);
        return false;
    }
    return offerCmd(pack, true, [&] {
        restoreProbeId.store(pack.probeId);
        restoreStatus.store(CMD_RET_PENDING);
    });
}

bool EnvGuard::offerConfig(ConfigCmdPack pack, const char* what) {
    if (!validProbeIndex(pack.probeId)) {
        SLOG_THROTTLED(logs_, SCADA, WARN, "{}: probe index {} out of range", what, pack.probeId);
        return false;
    }
    const bool accepted = offerCmd(pack, true, [&] {
        configProbeIndex.store(static_cast<int32_t>(pack.probeId));
        configStatus.store(CMD_RET_PENDING);
    });
    if (accepted) triggerRecipeReload(0x2);
    return accepted;
}

bool EnvGuard::set_probeAddr(ConfigCmdPack pack) {
    pack.cmdType = CONFIG_CMD_CHANGE_ADDR;
    return offerConfig(pack, "set_probeAddr");
}

bool EnvGuard::set_probeConfig(ConfigCmdPack pack) { return offerConfig(pack, "set_probeConfig"); }

bool EnvGuard::replaceProbe(ReplaceProbeCmdPack pack) {
    return offerCmd(pack, true, [&] { replaceStatus.store(CMD_RET_PENDING); });
}

void EnvGuard::markReplacedFailedLocked() {
    if (probeCmdSeq_ == takenSeq_) return;  // the consumer runs it and reports its outcome
    switch (probeCmd_.index()) {
        case 1: calibStatus.store(CMD_RET_FAILED); break;
        case 2: restoreStatus.store(CMD_RET_FAILED); break;
        case 3: configStatus.store(CMD_RET_FAILED); break;
        case 5: replaceStatus.store(CMD_RET_FAILED); break;
        default: break;
    }
}

void EnvGuard::set_probeAddBatch(ChangeAddrBatch items, bool addToRecipe) {
    if (addToRecipe) addNewProbe(items);
    SLOG_INFO(SENSOR, "=================> BATCH_ADDR <=================");
    std::vector<ProbeScanResultItem> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        markReplacedFailedLocked();
        changeAddrResult_.status = 0;
        changeAddrResult_.items.clear();
        scanProgress.store(0);
        scanState.store(0);
        released.swap(scanResults_);
        storeCmdLocked(ProbeCmd{items});
    }
    SLOG_INFO(SCADA, "*********** Get set_probeCmd ***************");
    saveRecipe();
    triggerRecipeReload(0x2);
}

bool EnvGuard::set_probePing(int probe) {
    if (!validProbeIndex(probe)) return false;
    pingProbeId.store(static_cast<uint32_t>(probe));
    pingStatus.store(CMD_RET_PENDING);
    return true;
}

bool EnvGuard::set_probeDiagnose(int probe) {
    if (!validProbeIndex(probe)) return false;
    diagnoseProbeId.store(static_cast<uint32_t>(probe));
    diagnoseResult.store(0);
    diagnoseStatus.store(CMD_RET_PENDING);
    return true;
}

void EnvGuard::setCalibMessage(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    calibMessage_.assignBytes(text.data(), text.size());
}

fss::str128 EnvGuard::getCalibMessage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calibMessage_;
}

// ---- Scan -------------------------------------------------------------------------------------

void EnvGuard::startScan(SCAN_MODE mode, unsigned arg) {
    scanMode.store(mode);
    scanArg.store(arg);
    scanCmd.store(1);
    scanProgress.store(0);
    scanCount.store(0);
    std::vector<ProbeScanResultItem> released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released.swap(scanResults_);
    }
    released.clear();
    released.shrink_to_fit();
    scanState.store(1);
}

void EnvGuard::stopScan() { scanCmd.store(2); }

ScanProbeStatus EnvGuard::getScanProbeStatus() const {
    ScanProbeStatus status;
    status.scanState = scanState.load();
    status.scanProgress = scanProgress.load();
    std::lock_guard<std::mutex> lock(mutex_);
    status.results = scanResults_;
    return status;
}

void EnvGuard::setScanResults(std::vector<ProbeScanResultItem> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    scanResults_.swap(results);
}

void EnvGuard::setLastScannedSlaveIDs(std::vector<int>& ids) {
    std::vector<int> copy(ids);
    std::lock_guard<std::mutex> lock(mutex_);
    lastScannedSlaveIds_.swap(copy);
}

void EnvGuard::buildPrioritySalveIDs() {
    std::vector<int> lastScanned;
    std::shared_ptr<const ProbeLibrarySnapshot> library;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastScanned = lastScannedSlaveIds_;
        library = library_;
    }
    std::vector<int> ids;
    ids.reserve(300);
    std::array<bool, 65536> seen{};  // ids are 32-bit; anything outside 0..65535 is tracked below
    std::vector<int> seenOther;
    auto contains = [&](int id) {
        if (id >= 0 && id < 65536) return seen[static_cast<size_t>(id)];
        for (int v : seenOther) {
            if (v == id) return true;
        }
        return false;
    };
    auto append = [&](int id, bool unique) {
        if (unique && contains(id)) return;
        if (id >= 0 && id < 65536) {
            seen[static_cast<size_t>(id)] = true;
        } else {
            seenOther.push_back(id);
        }
        ids.push_back(id);
    };

    const SCAN_MODE mode = scanMode.load();
    if (mode == SCAN_MODE::BY_PN) {
        const uint32_t arg = scanArg.load();
        for (const auto& def : library->slots) {
            if (def->PN == static_cast<int64_t>(arg)) {
                append(def->ModbusAddr, false);
                append(def->ModbusAddr, false);
                break;
            }
        }
    } else if (mode == SCAN_MODE::BY_LIST) {
        for (int id : lastScanned) append(id, true);
    } else {
        static constexpr int kFixed[] = {10, 11, 12, 13, 14, 15, 16, 23, 60, 66, 70, 79, 80, 83, 93};
        for (int id : kFixed) append(id, true);
    }
    for (int id = 150; id <= 160; ++id) append(id, true);
    for (const auto& def : library->slots) append(def->ModbusAddr, true);
    for (int id = 1; id <= 247; ++id) append(id, true);

    std::lock_guard<std::mutex> lock(mutex_);
    prioritySlaveIds_.swap(ids);
}

std::vector<int> EnvGuard::getPrioritySlaveIds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return prioritySlaveIds_;
}

void EnvGuard::setChangeAddrResult(int32_t progress, std::vector<ProbeChangeAddrResult::ProbeChangeAddrItem> items) {
    std::lock_guard<std::mutex> lock(mutex_);
    changeAddrResult_.status = progress;
    changeAddrResult_.items.swap(items);
}

ProbeChangeAddrResult EnvGuard::getChangeAddrResult() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changeAddrResult_;
}

// ---- System error word ------------------------------------------------------------------------

int EnvGuard::getSystemErrorCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(systemErrorCode_);
}

void EnvGuard::setSystemErrorCode(SystemErrorCode bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    systemErrorCode_ |= static_cast<uint32_t>(bits);
}
