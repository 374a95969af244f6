#include "sensors/probe_service.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <variant>

#include <fmt/format.h>
#include <modbus/modbus.h>

#include "env/env_guard.h"
#include "env/probe_live_sync.h"
#include "live/live_data.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"
#include "sensors/rtu_cmd_utility.h"
#include "utils/log.h"
#include "utils/time_utility.h"
#include "utils/utility.h"

namespace {
using namespace std::chrono_literals;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x < 0x80) x = static_cast<unsigned char>(std::tolower(x));
        if (y < 0x80) y = static_cast<unsigned char>(std::tolower(y));
        if (x != y) return false;
    }
    return true;
}

char parityLetter(int index) {
    switch (index) {
        case 0: return 'N';
        case 1: return 'O';
        default: return 'E';
    }
}

bool sameProbeItem(const ProbeMeasureRecipeItem& a, const ProbeMeasureRecipeItem& b) {
    return a.pn == b.pn && a.name == b.name && a.modbusAddr == b.modbusAddr;
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Frees a level-meter bus context on every path.
struct ModbusContextDeleter {
    void operator()(modbus_t* ctx) const {
        if (!ctx) return;
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
}  // namespace

int cleanliness_index_to_status(int index) {
    if (index > 80) return 2;
    if (index > 60) return 1;
    if (index >= 0) return 0;
    return -1;
}

uint16_t temperatureUnitCode(std::string_view unit) {
    for (std::string_view f : {"deg f", "\u2109", "f", "\u00b0f", "fahrenheit"})
        if (equalsNoCase(unit, f)) return 1;
    for (std::string_view c : {"deg c", "\u2103", "c", "\u00b0c", "celsius"})
        if (equalsNoCase(unit, c)) return 2;
    return 0;
}

struct ProbeService::ScanBusOverMaster final : ProbeScanBus {
    explicit ScanBusOverMaster(RtuMaster& m) : master(m) {}
    int64_t readPN(int address) override { return RtuCmdUtility::readPN(master, address); }
    long readSN(const ProbeMeta& meta, int address) override { return RtuCmdUtility::readSN(meta, master, address); }
    RtuMaster& master;
};

// ---- construction and the loop ----------------------------------------------------------------

ProbeService::ProbeService(RecipeDataGuard& recipe, LiveDataGuard& live, EnvGuard& env, std::string device, int baud)
    : recipe_(recipe),
      live_(live),
      env_(env),
      items_(std::make_unique<std::array<ProbeMeasureRecipeItem, kProbeItemCount>>()),
      probe_(std::make_unique<ProbeLiveData>()),
      analog_(std::make_unique<AnalogLiveData>()),
      ticket_(std::make_unique<ProbeCmdTicket>()),
      scanBusMaster_(std::make_unique<ScanBusOverMaster>(master_)),
      meterPack_(std::make_unique<InterfaceMeterPack>()),
      meterLink_(std::make_unique<LibModbusExt>()) {
    rtu_.interface = device;
    rtu_.baudrate = baud;
    clean_.fill(-1);
}

ProbeService::~ProbeService() = default;

void ProbeService::init() {
    for (int i = 0; i < kProbeItemCount; ++i) {
        probe_->items[static_cast<size_t>(i)].id = static_cast<uint32_t>(i + 1);
        probe_->items[static_cast<size_t>(i)].val = kNaN;
    }
    for (int i = 0; i < kAnalogInputCount; ++i) analog_->items[static_cast<size_t>(i)].id = static_cast<int16_t>(i + 1);
}

void ProbeService::startLoop() {
    auto& clock = orvane::platform::Clock::get();
    while (!stopper_.stopped()) {
        try {
            runOnce();
        } catch (const std::exception& e) {
            SLOG_ERROR(SENSOR, "ProbeService pass failed: {}", e.what());
        } catch (...) {
            SLOG_ERROR(SENSOR, "ProbeService pass failed");
        }
        // One second, in slices so that stop() is seen promptly.
        for (int i = 0; i < 10 && !stopper_.stopped(); ++i) clock.sleepFor(100ms);
        SLOG_INFO(SENSOR, "ProbeService runs Loop");
    }
    // The line goes back to the settings it had before the gateway opened it.
    master_.closeSerial();
}

void ProbeService::stop() { stopper_.stop(); }

void ProbeService::runOnce() {
    syncInit();
    handleSerialCmd();
    if (lineLent()) return;  // readings, scans and commands wait for the take-back
    handleScanCmd();
    if (tryOutterCmd()) publishProbe();
    if (tryInnerCmd()) {
        publishProbe();
        if (hasAI_) publishAnalog();
    }
    handleInterfaceMeter();
}

bool ProbeService::lineLent() const { return env_.serialCmd.load() == 1 || env_.serialCmdAck.load() == 1; }

void ProbeService::publishProbe() {
    syncCmdStatusFromEnv(*probe_, env_);
    probe_->timestamp = static_cast<uint32_t>(orvane::platform::Clock::get().wallSeconds());
    std::lock_guard<StoreMutex> lk(live_.mutex());
    live_.data().probe = *probe_;
}

void ProbeService::publishAnalog() {
    std::lock_guard<StoreMutex> lk(live_.mutex());
    live_.data().analog = *analog_;
}

// ---- syncInit -----------------------------------------------------------------------------------

void ProbeService::copyProbeItemsFromRecipe() {
    {
        std::lock_guard<StoreMutex> lk(recipe_.mutex);
        *items_ = recipe_.recipe.sensors;
    }
    env_.updateProbeRefrence(*items_);
}

void ProbeService::copyAnalogFromRecipe() {
    {
        std::lock_guard<StoreMutex> lk(recipe_.mutex);
        ai_ = recipe_.recipe.ai;
        hasAI_ = recipe_.recipe.system.hasAI;
    }
    for (size_t i = 0; i < ai_.size(); ++i) {
        const AIRecipeItem& in = ai_[i];
        if (in.custName.empty()) analog_->names[i].assignBytes(in.name.view().data(), in.name.view().size());
        else analog_->names[i] = in.custName;
    }
}

void ProbeService::copyLineSettingsFromRecipe() {
    const std::string seedDevice = rtu_.interface.str();
    const int32_t seedBaud = rtu_.baudrate;
    {
        std::lock_guard<StoreMutex> lk(recipe_.mutex);
        rtu_ = recipe_.recipe.modbusRtu;
    }
    if (rtu_.interface.empty()) rtu_.interface = seedDevice;
    if (rtu_.baudrate <= 0) rtu_.baudrate = seedBaud;
}

void ProbeService::resetCleanlinessCache() { clean_.fill(-1); }

bool ProbeService::openLine() {
    const bool ok = master_.init(rtu_.interface.str(), rtu_.baudrate, parityLetter(rtu_.parity), rtu_.timeout);
    if (ok) {
        busState_ = BUS_SETTINGS_TAKEN;
        unopenedLine_.clear();
    } else if (unopenedLine_ != rtu_.interface.view()) {
        // Retried every pass: one line per device until it opens.
        SLOG_WARN(SENSOR, "probe bus {} could not be opened", rtu_.interface.view());
        unopenedLine_ = rtu_.interface.str();
    }
    resetCleanlinessCache();
    return ok;
}

void ProbeService::syncInit() {
    const bool probesChanged = recipe_.checkAndConsume(SCADA_MASK_PROBE);
    if (probesChanged) {
        copyProbeItemsFromRecipe();
        for (size_t i = 0; i < items_->size(); ++i) {
            const ProbeMeasureRecipeItem& item = (*items_)[i];
            MeasureDataItem& slot = probe_->items[i];
            slot.setTypes(static_cast<uint8_t>(item.measureType), static_cast<uint8_t>(item.probeType));
            slot.id = static_cast<uint32_t>(item.id);
            SLOG_INFO(SENSOR, "syncInit recipe changed item id={}, pn={}, name={}, unit={}, modbusAddr={}", item.id, item.pn,
                      item.name.view(), item.unit.view(), item.modbusAddr);
        }
        resetCleanlinessCache();
        busState_ = BUS_SETTINGS_TAKEN;
    }

    if (recipe_.checkAndConsume(SCADA_MASK_PROBE_RTU)) {
        copyLineSettingsFromRecipe();
        // While the line is lent the settings are only noted; the take-back opens with the
        // settings in force at that time.
        if (!lineLent()) openLine();
        else resetCleanlinessCache();
    }

    if (busState_ == BUS_ANSWERED && !lineLent()) readIdentificationAndStore();

    if (recipe_.checkAndConsume(SCADA_MASK_PROBE_RELOAD) || probesChanged) copyAnalogFromRecipe();

    // The mailbox copy of this pass. Not taken while the line is lent: the command stays pending.
    ticketTaken_ = false;
    if (!lineLent()) {
        *ticket_ = env_.peekProbeCmd();
        ticketTaken_ = true;
        // An address batch may come with probes just added to the recipe (their change bit can
        // follow the command): run it on the items as they are now.
        if (std::holds_alternative<ChangeAddrBatch>(ticket_->cmd)) copyProbeItemsFromRecipe();
    }
}

void ProbeService::readIdentificationAndStore() {
    RtuCmdUtility::readInfo(*items_, master_, *probe_);
    busState_ = BUS_IDENTIFIED;
    for (size_t i = 0; i < items_->size(); ++i) {
        ProbeMeasureRecipeItem& item = (*items_)[i];
        const uint32_t sn = probe_->items[i].SN;
        if (item.enable && item.modbusAddr > 0 && sn != 0) item.sn = sn;
    }
    if (storeIdentityInRecipe()) recipe_.saveToJson();
}

bool ProbeService::storeIdentityInRecipe() {
    bool changed = false;
    std::lock_guard<StoreMutex> lk(recipe_.mutex);
    for (size_t i = 0; i < items_->size(); ++i) {
        const ProbeMeasureRecipeItem& mine = (*items_)[i];
        ProbeMeasureRecipeItem& stored = recipe_.recipe.sensors[i];
        if (mine.pn == 0 || !mine.enable || mine.modbusAddr <= 0 || !sameProbeItem(mine, stored)) continue;
        if (mine.sn != 0 && stored.sn != mine.sn) {
            stored.sn = mine.sn;
            changed = true;
        }
        if (!std::isnan(mine.mA_4) && stored.mA_4 != mine.mA_4) {
            stored.mA_4 = mine.mA_4;
            changed = true;
        }
        if (!std::isnan(mine.mA_20) && stored.mA_20 != mine.mA_20) {
            stored.mA_20 = mine.mA_20;
            changed = true;
        }
    }
    return changed;
}

// ---- line hand-over -----------------------------------------------------------------------------

void ProbeService::handleSerialCmd() {
    const int32_t req = env_.serialCmd.load();
    const int32_t ack = env_.serialCmdAck.load();
    if (req == 1 && ack != 1) {
        master_.closeSerial();
        env_.serialCmdAck.store(1);
        SLOG_INFO(SENSOR, "probe bus released to the pass-through");
        return;
    }
    if (req == 2 && ack != 2) {
        if (ack == 1) copyLineSettingsFromRecipe();  // the settings in force at the take-back
        if (!master_.isOpen() || ack == 1) {
            if (!openLine()) return;  // tried again next pass
        }
        if (ack == 1) {
            // The client's last request may still be answered: an answer up to 3 s after its
            // bytes went out is discarded before the first request. A later one can still be read
            // once, as an RTU answer carries nothing to tell whose it is.
            const std::chrono::steady_clock::time_point lastWrite{
                std::chrono::steady_clock::duration(env_.serialLastClientWrite.load())};
            master_.delayFirstRequestUntil(lastWrite + kPassThroughLateAnswer);
        }
        RtuCmdUtility::readInfo(*items_, master_, *probe_);
        env_.serialCmdAck.store(2);
        SLOG_INFO(SENSOR, "probe bus opened on {}", rtu_.interface.view());
        return;
    }
    // The service holds the line but it is closed (a reopen after new settings or after the level
    // meter failed): try again with the settings in force.
    if (req == 2 && ack == 2 && !master_.isOpen()) openLine();
}

// ---- readings -------------------------------------------------------------------------------------

bool ProbeService::isConnected(int index) const {
    if (index < 0 || index >= kProbeItemCount) return false;
    const MeasureDataItem& slot = probe_->items[static_cast<size_t>(index)];
    return !std::isnan(slot.val) && slot.status == 2;
}

int ProbeService::getIndexForLiveData(int address) const {
    for (int i = 0; i < kProbeItemCount; ++i) {
        const ProbeMeasureRecipeItem& item = (*items_)[static_cast<size_t>(i)];
        if (item.name == "PTSA" && item.modbusAddr == address && (item.pn == 50661 || item.pn == 50692)) return i;
    }
    return -1;
}

void ProbeService::tryPingCmd() {
    const uint32_t idx = env_.pingProbeId.load();
    if (!validIndex(idx) || env_.pingStatus.load() != -1) return;
    ProbeMeasureRecipeItem& item = (*items_)[idx];
    bool answered = false;
    for (int i = 0; i < 3 && !answered; ++i) answered = RtuCmdUtility::ping(item, master_);
    env_.pingStatus.store(answered ? 1 : 0);
}

bool ProbeService::tryInnerCmd() {
    tryPingCmd();
    bool did = false;
    const int64_t now = orvane::platform::Clock::get().steadySeconds();
    if (!polledOnce_ || now - lastPoll_ >= kPollSeconds) {
        const int read = RtuCmdUtility::readData(*items_, master_, *probe_);
        if (read > 0 && busState_ < BUS_ANSWERED) busState_ = BUS_ANSWERED;
        readCleanlinessAndBroadcast();
        buildSensorGroup();
        lastPoll_ = now;
        polledOnce_ = true;
        if (hasAI_) RtuCmdUtility::readDataAI(ai_, master_, *analog_);
        did = true;
    }

    const uint32_t diag = env_.diagnoseProbeId.load();
    if (validIndex(diag) && isConnected(static_cast<int>(diag)) && env_.diagnoseStatus.load() == -1) {
        SLOG_ERROR(SENSOR, "Diagnosis - probe ID: {}", diag);
        const ProbeMeasureRecipeItem& item = (*items_)[diag];
        for (auto& k : probe_->diagnKeys) k.clear();
        const int n = RtuCmdUtility::readDiagnosis(item, master_, probe_->diagn);
        RtuCmdUtility::readDiagnoseKey(item, probe_->diagnKeys);
        env_.diagnoseResult.store(static_cast<uint32_t>(n));
        env_.diagnoseStatus.store(1);
        did = true;
    }
    return did;
}

void ProbeService::readCleanlinessAndBroadcast() {
    auto& items = *items_;
    for (size_t i = 0; i < items.size(); ++i) {
        const ProbeMeasureRecipeItem& item = items[i];
        if (item.modbusAddr < 0 || item.modbusAddr > 255 || !equalsNoCase(item.name.view(), "cleanliness")) continue;
        const float v = probe_->items[i].val;
        int8_t index = -1;
        if (!std::isnan(v) && v >= 0.0f) index = static_cast<int8_t>(v >= 100.0f ? 100 : static_cast<int>(v));
        clean_[static_cast<size_t>(item.modbusAddr)] = index;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const ProbeMeasureRecipeItem& item = items[i];
        const MeasureDataItem& slot = probe_->items[i];
        if (std::isnan(slot.val) || slot.status != 2 || item.pn == 0) continue;
        if (item.modbusAddr < RtuMaster::kFirstSlave || item.modbusAddr > RtuMaster::kLastSlave) continue;
        int8_t& cached = clean_[static_cast<size_t>(item.modbusAddr)];
        if (cached >= 0) continue;
        const int index = RtuCmdUtility::getCleanlinessIndex(item, master_);
        cached = static_cast<int8_t>(std::clamp(index, -1, 100));
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const ProbeMeasureRecipeItem& item = items[i];
        if (item.modbusAddr < 0 || item.modbusAddr > 255) continue;
        MeasureDataItem& slot = probe_->items[i];
        const int cached = clean_[static_cast<size_t>(item.modbusAddr)];
        if (equalsNoCase(item.name.view(), "cleanliness")) {
            slot.cleanliness = CleanStatus::UNKNOWN;
            // An index that is not known leaves the reading absent rather than -1.
            if (cached >= 0) slot.val = static_cast<float>(cached);
        } else {
            slot.cleanliness = static_cast<CleanStatus>(cleanliness_index_to_status(cached));
        }
    }
}

void ProbeService::buildSensorGroup() {
    auto& items = *items_;
    std::array<bool, kProbeItemCount> done{};
    for (size_t i = 0; i < items.size(); ++i) {
        const ProbeMeasureRecipeItem& lead = items[i];
        if (done[i] || lead.pn == 0) continue;
        // One physical probe: part number, serial number and address.
        std::vector<size_t> group;
        for (size_t j = i; j < items.size(); ++j) {
            const ProbeMeasureRecipeItem& o = items[j];
            if (!done[j] && o.pn == lead.pn && o.sn == lead.sn && o.modbusAddr == lead.modbusAddr) {
                group.push_back(j);
                done[j] = true;
            }
        }
        const size_t* temp = nullptr;
        for (const size_t& k : group)
            if (equalsNoCase(items[k].name.view(), "temperature")) {
                temp = &k;
                break;
            }
        if (!temp) continue;
        const float t = probe_->items[*temp].val;
        const uint16_t unit = temperatureUnitCode(items[*temp].unit.view());
        for (size_t k : group) {
            if (equalsNoCase(items[k].name.view(), "temperature")) continue;
            probe_->items[k].temperature = t;
            probe_->items[k].tempUnit = unit;
        }
    }
}

// ---- scan -----------------------------------------------------------------------------------------

ProbeScanBus& ProbeService::scanBus() { return scanBusOverride_ ? *scanBusOverride_ : *scanBusMaster_; }

int ProbeService::findSuggestedAddr(int address) {
    auto taken = [&](int a) { return usedAddrs_.count(a) != 0 || suggestedAddrs_.count(a) != 0; };
    int suggestion = -1;
    if (address >= RtuMaster::kFirstSlave && address <= 150 && !taken(address)) {
        suggestion = address;
    } else {
        for (int a = 151; a <= 246; ++a) {
            if (!taken(a) && answeredAddrs_.count(a) == 0) {
                suggestion = a;
                break;
            }
        }
    }
    if (suggestion != -1) suggestedAddrs_.insert(suggestion);
    return suggestion;
}

void ProbeService::handleScanCmd() {
    gRetryMaxNum.store(1);
    if (env_.scanCmd.load() != 1) {
        gRetryMaxNum.store(3);
        return;
    }
    const int previousTimeout = master_.set_time_out(200);
    env_.scanProgress.store(0);
    env_.scanState.store(1);

    env_.buildPrioritySalveIDs();
    std::vector<int> ids;
    for (int a : env_.getPrioritySlaveIds())
        if (a >= RtuMaster::kFirstSlave && a <= RtuMaster::kLastSlave) ids.push_back(a);  // never broadcast

    usedAddrs_.clear();
    suggestedAddrs_.clear();
    answeredAddrs_.clear();
    for (const ProbeMeasureRecipeItem& item : *items_)
        if (item.pn != 0 && item.modbusAddr > 0) usedAddrs_.insert(item.modbusAddr);

    std::vector<ProbeScanResultItem> results;
    const size_t n = ids.size();
    for (size_t i = 0; i < n; ++i) {
        const int a = ids[i];
        if (std::any_of(results.begin(), results.end(), [a](const ProbeScanResultItem& r) { return r.modbusAddr == a; })) continue;
        const int64_t pn = scanBus().readPN(a);
        if (pn > 0) {
            answeredAddrs_.insert(a);
            // A probe now answers at an address suggested earlier: that probe gets another one.
            for (ProbeScanResultItem& r : results) {
                if (r.suggestedAddr != a || r.modbusAddr == a) continue;
                suggestedAddrs_.erase(a);
                r.suggestedAddr = static_cast<int16_t>(findSuggestedAddr(r.modbusAddr));
            }
            std::shared_ptr<const ProbeMeta> meta = env_.getProbeMetaByPN(pn);
            const long sn = scanBus().readSN(*meta, a);
            ProbeScanResultItem found;
            found.modelName = meta->ModelName;
            found.modelDescription.assignBytes(meta->ModelDescription.view().data(), meta->ModelDescription.view().size());
            found.sn = static_cast<uint32_t>(sn);
            found.modbusAddr = static_cast<uint16_t>(a);
            found.suggestedAddr = static_cast<int16_t>(findSuggestedAddr(a));
            found.enable = 1;
            found.pn = static_cast<uint32_t>(pn);
            const bool inRecipe = std::any_of(items_->begin(), items_->end(), [&](const ProbeMeasureRecipeItem& it) {
                return it.sn == found.sn && it.pn == found.pn && it.modbusAddr == a;
            });
            SLOG_INFO(SENSOR, "scan found pn={} sn={} at {}, suggested {}", found.pn, found.sn, a, found.suggestedAddr);
            if (pn != kIgnoredScanPartNumber && !inRecipe) results.push_back(found);
            env_.setScanResults(results);
        }
        env_.scanProgress.store(static_cast<int32_t>(i * 100 / n));
        env_.scanCount.store(static_cast<int32_t>(results.size()));
        if (env_.scanCmd.load() == 2 || stopper_.stopped()) break;
    }
    env_.scanProgress.store(100);
    env_.scanState.store(2);
    env_.scanCmd.store(2);
    master_.set_time_out(previousTimeout);
    gRetryMaxNum.store(3);
}

// ---- mailbox commands -------------------------------------------------------------------------

void ProbeService::setCmdText(std::string_view text) { probe_->cmdRetMsg.assignBytes(text.data(), text.size()); }

bool ProbeService::tryOutterCmd() {
    if (!ticketTaken_) return false;
    ticketTaken_ = false;
    ProbeCmd& cmd = ticket_->cmd;
    SLOG_INFO(SENSOR, "tryOutterCmd cmdPack.probeCmd.index={}", cmd.index());
    const bool result = std::visit(Overloaded{[](NoneCmdPack&) { return false; }, [](ManualAddProbePack&) { return false; },
                                              [this](auto& pack) { return handleRequestCmd(pack); }},
                                   cmd);
    if (cmd.index() != 0 && !env_.clearProbeCmd(ticket_->seq))
        SLOG_INFO(SENSOR, "a newer probe command arrived during the pass; it runs next pass");
    return result;
}

bool ProbeService::handleRequestCmd(CalbCmdPack& pack) {
    SLOG_INFO(SENSOR, "CalibCmdPack");
    if (!validIndex(pack.probeId)) return false;
    ProbeMeasureRecipeItem& item = (*items_)[pack.probeId];
    const ProbeCmdRetPack ret = RtuCmdUtility::calibrate(item, master_, pack);
    const bool ok = ret.status != 0;
    env_.setCalibMessage(ret.msg.view());
    setCmdText(ret.msg.view());

    CalibLogItem entry;
    const std::string key = fmt::format("{}_{}_{}", item.pn, probe_->items[pack.probeId].SN, item.name.view());
    entry.key.assignBytes(key.data(), key.size());
    entry.caliName.assignBytes(item.name.view().data(), item.name.view().size());
    entry.success = ok;
    entry.solution = pack.solution;
    entry.timestamp = static_cast<uint32_t>(TimeUtility::getTimestampInSec());
    env_.addCalibLog(entry);
    // The status word last: a producer that sees it also finds the text and the log entry.
    env_.calibStatus.store(ok ? 1 : 0);
    return true;
}

bool ProbeService::handleRequestCmd(RestoreCmdPack& pack) {
    if (!validIndex(pack.probeId)) return false;
    ProbeCmdRetPack ret;
    RtuCmdUtility::restore((*items_)[pack.probeId], master_, ret);
    setCmdText(ret.msg.view());
    env_.restoreStatus.store(ret.status != 0 ? 1 : 0);
    return true;
}

void ProbeService::updateAddrInRecipe(int oldAddr, int newAddr) {
    for (ProbeMeasureRecipeItem& item : *items_)
        if (item.modbusAddr == oldAddr) item.modbusAddr = static_cast<int16_t>(newAddr);
}

bool ProbeService::handleRequestCmd(ConfigCmdPack& pack) {
    SLOG_INFO(SENSOR, "ConfigCmdPack");
    if (!validIndex(pack.probeId)) return true;
    ProbeMeasureRecipeItem& item = (*items_)[pack.probeId];
    MeasureDataItem& slot = probe_->items[pack.probeId];
    switch (pack.cmdType) {
        case CONFIG_CMD_SPAN_4_20MA: {
            const ProbeCmdRetPack ret = RtuCmdUtility::set_range_mA(item, master_, pack, slot);
            setCmdText(ret.msg.view());
            if (ret.status == 1) {
                // The probe holds the new span: keep it with the item.
                if (!std::isnan(pack.mA_4)) item.mA_4 = pack.mA_4;
                if (!std::isnan(pack.mA_20)) item.mA_20 = pack.mA_20;
                if (storeIdentityInRecipe()) recipe_.saveToJson();
            }
            env_.configStatus.store(ret.status);
            break;
        }
        case CONFIG_CMD_WRITE_VALUE: {
            const ProbeCmdRetPack ret = RtuCmdUtility::writeValue(item, master_, pack.value);
            setCmdText(ret.msg.view());
            env_.configStatus.store(ret.status);
            break;
        }
        case CONFIG_CMD_CHANGE_ADDR: {
            const int oldAddr = item.modbusAddr;
            if (pack.newAddr != oldAddr) {
                if (!RtuCmdUtility::changeAddr(item, master_, pack)) {
                    pack.resultAddr = item.modbusAddr;
                    pack.resultPN = item.pn;
                    setCmdText("change address failed");
                    env_.configStatus.store(0);
                    break;
                }
                updateAddrInRecipe(oldAddr, pack.newAddr);
            }
            pack.resultAddr = item.modbusAddr;
            pack.resultPN = item.pn;
            setCmdText("change address successfully");
            // Only the moved address goes to the recipe (items at the old address of this probe).
            pack.curAddr = oldAddr;
            pack.reserved = item.pn;
            if (pack.newAddr != oldAddr) recipe_.updateProbeConfig(pack);
            env_.configStatus.store(1);
            break;
        }
        default:
            break;  // applied to the recipe by the producer
    }
    return true;
}

bool ProbeService::applyAddressMovesToRecipe(const std::vector<std::array<int, 3>>& moves) {
    bool changed = false;
    std::lock_guard<StoreMutex> lk(recipe_.mutex);
    for (ProbeMeasureRecipeItem& stored : recipe_.recipe.sensors) {
        if (stored.pn == 0) continue;
        int addr = stored.modbusAddr;
        for (const auto& m : moves)
            if (addr == m[0] && static_cast<int64_t>(stored.pn) == m[2]) addr = m[1];
        if (addr != stored.modbusAddr) {
            stored.modbusAddr = static_cast<int16_t>(addr);
            changed = true;
        }
    }
    return changed;
}

bool ProbeService::handleRequestCmd(ChangeAddrBatch& batch) {
    std::vector<ProbeChangeAddrResult::ProbeChangeAddrItem> results;
    std::vector<std::array<int, 3>> moves;  // old, new, part number
    for (size_t k = 0; k < batch.size(); ++k) {
        const ChangeAddrItemPack& entry = batch[k];
        // No new address, or the present one: nothing to do (an unused entry reports so too).
        int state = 1;
        if (entry.newAddr != entry.addr && entry.newAddr >= 1) {
            auto it = std::find_if(items_->begin(), items_->end(),
                                   [&](const ProbeMeasureRecipeItem& i) { return i.pn != 0 && i.modbusAddr == entry.addr; });
            if (it == items_->end()) continue;
            SLOG_INFO(SENSOR, "===============>handleRequestCmd - old: {}, new: {}", entry.addr, entry.newAddr);
            ConfigCmdPack move;
            move.probeId = static_cast<uint32_t>(it - items_->begin());
            move.cmdType = CONFIG_CMD_CHANGE_ADDR;
            move.newAddr = entry.newAddr;
            if (RtuCmdUtility::changeAddr(*it, master_, move)) {
                moves.push_back({entry.addr, entry.newAddr, static_cast<int>(it->pn)});
                updateAddrInRecipe(entry.addr, entry.newAddr);
                state = 1;
            } else {
                state = 2;
            }
        }
        results.push_back({entry.addr, state});
        env_.setChangeAddrResult(static_cast<int32_t>(5 * k), results);
    }
    applyAddressMovesToRecipe(moves);
    recipe_.triggerReload(SCADA_MASK_PROBE);
    recipe_.saveToJson();
    env_.setChangeAddrResult(100, results);
    return true;
}

bool ProbeService::handleRequestCmd(ReplaceProbeCmdPack& pack) {
    SLOG_INFO(SENSOR, "ReplaceProbeCmdPack");
    std::vector<size_t> matching;
    for (size_t i = 0; i < items_->size(); ++i) {
        const ProbeMeasureRecipeItem& it = (*items_)[i];
        if (it.pn != 0 && it.pn == pack.oldPN && it.sn == pack.oldSN) matching.push_back(i);
    }
    auto fail = [&](const char* text) {
        SLOG_WARN(SENSOR, "replace probe pn={} sn={}: {}", pack.oldPN, pack.oldSN, text);
        setCmdText(text);
        env_.replaceStatus.store(0);
        return true;
    };
    if (matching.empty()) return fail("replaced probe not found");
    if (pack.newPN != 0 && pack.newPN != pack.oldPN) return fail("replacement of another model refused");
    const int oldAddr = (*items_)[matching.front()].modbusAddr;
    const int newAddr = pack.newModbusAddr;
    if (newAddr < RtuMaster::kFirstSlave || newAddr > RtuMaster::kLastSlave || oldAddr < RtuMaster::kFirstSlave ||
        oldAddr > RtuMaster::kLastSlave)
        return fail("replace probe: address outside 1..247");

    // 1. The spans of every reading of the old probe, written to the replacement where it answers now.
    bool spansOk = true;
    for (size_t i : matching) {
        ProbeMeasureRecipeItem at = (*items_)[i];
        at.modbusAddr = static_cast<int16_t>(newAddr);
        ConfigCmdPack span;
        span.probeId = static_cast<uint32_t>(i);
        span.cmdType = CONFIG_CMD_SPAN_4_20MA;
        span.mA_4 = at.mA_4;
        span.mA_20 = at.mA_20;
        auto scratch = std::make_unique<MeasureDataItem>();
        const ProbeCmdRetPack r = RtuCmdUtility::set_range_mA(at, master_, span, *scratch);
        if (r.status != 1) {
            spansOk = false;
            SLOG_WARN(SENSOR, "replace probe: span of {} not written: {}", at.name.view(), r.msg.view());
        }
    }

    // 2. One move to the old address, verified by the probe answering there.
    ProbeMeasureRecipeItem mover = (*items_)[matching.front()];
    mover.modbusAddr = static_cast<int16_t>(newAddr);
    bool moved;
    if (newAddr == oldAddr) {
        const ProbeMeta* meta = RtuCmdUtility::metaOf(mover);
        const uint32_t pn = RtuCmdUtility::readPN(master_, oldAddr);
        moved = meta && pn != 0 && static_cast<int64_t>(pn) == meta->PN;
    } else {
        ConfigCmdPack move;
        move.probeId = static_cast<uint32_t>(matching.front());
        move.cmdType = CONFIG_CMD_CHANGE_ADDR;
        move.newAddr = oldAddr;
        moved = RtuCmdUtility::changeAddr(mover, master_, move);
    }
    if (!moved) return fail("replace probe failed: the replacement does not answer");

    // 3. The items take the replacement's serial number; the live slots its span and number.
    for (size_t i : matching) {
        ProbeMeasureRecipeItem& item = (*items_)[i];
        MeasureDataItem& slot = probe_->items[i];
        item.sn = pack.newSN;
        slot.SN = pack.newSN;
        slot.mA_4 = item.mA_4;
        slot.mA_20 = item.mA_20;
    }
    bool changed = false;
    {
        std::lock_guard<StoreMutex> lk(recipe_.mutex);
        for (ProbeMeasureRecipeItem& stored : recipe_.recipe.sensors) {
            if (stored.pn == pack.oldPN && stored.sn == pack.oldSN && stored.modbusAddr == oldAddr) {
                stored.sn = pack.newSN;
                changed = true;
            }
        }
    }
    if (changed) recipe_.saveToJson();
    setCmdText(spansOk ? "replace probe successfully" : "replace probe successfully, span not written");
    env_.replaceStatus.store(1);
    return true;
}

// ---- level meter ----------------------------------------------------------------------------------

void ProbeService::setInterfaceMeterPaths(std::string settingsFile, std::string dataName) {
    meterSettingsFile_ = std::move(settingsFile);
    meterDataName_ = std::move(dataName);
}

void ProbeService::setInterfaceMeterPollMs(int ms) { meterLink_->setPollWaitMs(ms); }

bool ProbeService::handleInterfaceInit() {
    if (meterArmed_) return true;
    if (meterSettingsFile_.empty()) meterSettingsFile_ = orvane::platform::Paths::install("runtime/interfacemeter.json");
    if (!Utility::exists(meterSettingsFile_)) return false;
    try {
        loadInterfaceMeterSettings(meterSettingsFile_, meterSettings_);
    } catch (const std::exception& e) {
        SLOG_ERROR(SENSOR, "InterfaceMeter - settings not used: {}", e.what());
        return false;
    }
    meterArmed_ = true;
    SLOG_INFO(SENSOR, "InterfaceMeter - armed, {} voltages every {} s", meterSettings_.voltages.size(), meterSettings_.cycleSeconds);
    return true;
}

void ProbeService::handleInterfaceMeter() {
    if (!meterArmed_) return;
    const int64_t now = TimeUtility::getTimestampInSec();
    if (now - lastExecutedTimeStamp_ <= meterSettings_.cycleSeconds) return;
    try {
        runMeterCycle();
    } catch (const std::exception& e) {
        SLOG_ERROR(SENSOR, "InterfaceMeter - cycle ended: {}", e.what());
    }
    meterPack_->close_file();
    meterLink_->setContext(nullptr);
    lastExecutedTimeStamp_ = now;
    openLine();  // the probes get the line back
}

bool ProbeService::runMeterCycle() {
    // The meter's record is read straight from the line: the RTU master lets go of it meanwhile.
    master_.closeSerial();
    std::unique_ptr<modbus_t, ModbusContextDeleter> ctx(
        modbus_new_rtu(rtu_.interface.c_str(), rtu_.baudrate, parityLetter(rtu_.parity), 8, 1));
    if (!ctx) throw std::runtime_error(std::string("cannot open ") + rtu_.interface.c_str());
    if (modbus_connect(ctx.get()) < 0) throw std::runtime_error(std::string("cannot open ") + rtu_.interface.c_str() + ": " + modbus_strerror(errno));
    meterLink_->setContext(ctx.get());
    if (meterDataName_.empty()) meterDataName_ = orvane::platform::Paths::install("data/interfacemeter");
    if (!meterPack_->open_file(meterDataName_)) SLOG_ERROR(SENSOR, "InterfaceMeter - cannot create {}", meterPack_->fileName());

    int position = 0;
    for (int voltage : meterSettings_.voltages) {
        ++position;
        int count = -1;
        try {
            count = meterLink_->sendcmd_receive_data(kLevelMeterSlave, voltage);
        } catch (const std::exception& e) {
            SLOG_ERROR(SENSOR, "InterfaceMeter - send of {} failed: {}", voltage, e.what());
        }
        SLOG_INFO(SENSOR, "InterfaceMeter - sendcmd_receive_data {}", count);
        if (count <= 0) continue;
        if (!meterPack_->takeWave(meterLink_->buffer(), static_cast<size_t>(count))) {
            SLOG_ERROR(SENSOR, "InterfaceMeter - short record of {} bytes for voltage {} not saved", count, voltage);
            continue;
        }
        meterPack_->save_wave_data(position);
    }
    meterLink_->setContext(nullptr);
    return true;
}
