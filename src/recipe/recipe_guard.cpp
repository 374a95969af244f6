#include "recipe/recipe_guard.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>

#include <sys/stat.h>

#include <fmt/format.h>

#include "platform/command_runner.h"
#include "platform/paths.h"
#include "recipe/recipe_codec.h"
#include "utils/log.h"
#include "utils/utility.h"
#include "scada_paths.h"

namespace {

constexpr int kDocumentRoom = 1048574;
// Largest configuration file read at all (another program may rewrite it with more blanks).
constexpr long long kMaxConfigFileBytes = 16LL * 1024 * 1024;

bool existsNoThrow(const std::string& path) {
    try {
        return Utility::exists(path);
    } catch (const std::exception&) {
        return false;
    }
}

int fileLengthNoThrow(const std::string& path) {
    try {
        return Utility::getFileLength(path);
    } catch (const std::exception&) {
        return -2;
    }
}

// Whole file into out, at most limit bytes; false when it cannot be read completely.
bool readWholeFile(const std::string& path, std::string& out, long long limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || size > limit) return false;
    in.seekg(0, std::ios::beg);
    out.assign(static_cast<size_t>(size), '\0');
    if (size > 0 && !in.read(out.data(), size)) return false;
    return true;
}

// One row of the HMI calibration table.
struct CalibRow {
    int measureType;
    int hmiCmd;
    int probeCmd;
    uint32_t variant;
};

constexpr CalibRow kCalibTable[] = {
    {1, 1, 0, 0},   {1, 2, 1, 0},                                 //
    {2, 3, 0, 0},   {2, 4, 1, 0},   {2, 5, 2, 0},   {2, 13, 13, 0},  //
    {3, 10, 0, 0},  {3, 13, 13, 0},                               //
    {4, 2, 0, 0},   {4, 13, 13, 0},                               //
    {5, 1, 0, 0},   {5, 2, 1, 0},   {6, 1, 0, 0},   {6, 2, 1, 0},    //
    {20, 1, 0, 0},  {20, 2, 1, 0},  {17, 1, 0, 0},  {17, 2, 1, 0},   //
    {21, 1, 0, 0},  {21, 2, 1, 0},  {22, 1, 0, 0},  {22, 2, 1, 0},   //
    {23, 1, 0, 0},  {23, 2, 1, 0},                                //
    {8, 2, 0, 0},                                                 //
    {9, 1, 0, 0},   {9, 2, 1, 0},   {12, 1, 0, 0},  {12, 2, 1, 0},   //
    {13, 1, 0, 0},  {13, 2, 1, 0},  {14, 1, 0, 0},  {14, 2, 1, 0},   //
    {15, 1, 0, 0},  {15, 2, 1, 0},  {16, 1, 0, 0},  {16, 2, 1, 0},   //
    {25, 1, 0, 0},  {25, 2, 1, 0},  {26, 1, 0, 0},  {26, 2, 1, 0},   //
    {27, 1, 0, 0},  {27, 2, 1, 0},  {28, 1, 0, 0},  {28, 2, 1, 0},   //
    {29, 1, 0, 0},  {29, 2, 1, 0},  {30, 1, 0, 0},  {30, 2, 1, 0},
};
static_assert(sizeof kCalibTable / sizeof kCalibTable[0] == 49);

// Copies text into a fixed string, cut at the capacity without splitting a UTF-8 character.
template <uint32_t N>
void assignCut(fss::basic_str<char, N>& out, std::string_view text) {
    size_t n = text.size() < N ? text.size() : N;
    if (n < text.size()) {
        // Back off over continuation bytes so that the cut lands on a character start.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    out.assignBytes(text.data(), n);
}

}  // namespace

std::string recipeConfigFile() { return scada_paths::CONFIG_FILE(); }
std::string recipeBackupFile() { return scada_paths::CONFIG_FILE_BK(); }
std::string recipeTemplateFile() { return scada_paths::TEMPLATE_FILE(); }

RecipeDataGuard::RecipeDataGuard() : text_(std::make_unique<fss::stringHuge>()) {}
RecipeDataGuard::~RecipeDataGuard() = default;

void RecipeDataGuard::setHooks(RecipeHooks hooks) {
    std::lock_guard lk(mutex);
    hooks_ = std::move(hooks);
}

// ---- change flags ---------------------------------------------------------------------------------

void RecipeDataGuard::init() {
    std::lock_guard lk(mutex);
    changeWord_ = SCADA_MASK_INITIAL;
}

void RecipeDataGuard::__triggerReload_no_lock(uint32_t mask) {
    recipe.system.overwrite();
    changeWord_ |= mask;
    recipe.resetID();
}

void RecipeDataGuard::triggerReload(uint32_t mask) {
    std::function<void()> after;
    {
        std::lock_guard lk(mutex);
        __triggerReload_no_lock(mask);
        after = hooks_.afterReload;
    }
    if (after) after();
}

bool RecipeDataGuard::checkAndConsume(uint32_t mask) {
    std::lock_guard lk(mutex);
    const uint32_t old = changeWord_;
    changeWord_ = old & ~mask;
    return (old & mask) != 0;
}

uint32_t RecipeDataGuard::changeWordForTest() {
    std::lock_guard lk(mutex);
    return changeWord_;
}

// ---- files ----------------------------------------------------------------------------------------------

bool RecipeDataGuard::renderDocument() {
    gIndentLevelForWriteJsonP = 0;
    const int n = writeJsonP(recipe, text_->data(), kDocumentRoom, nullptr);
    if (n < 0) {
        text_->clear();
        SLOG_ERROR(SCADA, "recipe document does not fit {} characters, nothing stored", kDocumentRoom);
        return false;
    }
    text_->setLength(static_cast<uint32_t>(n));
    return true;
}

bool RecipeDataGuard::stampOf(const std::string& path, FileStamp& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out.dev = static_cast<uint64_t>(st.st_dev);
    out.ino = static_cast<uint64_t>(st.st_ino);
    out.size = static_cast<int64_t>(st.st_size);
    out.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    out.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    out.ctimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
    out.ctimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return true;
}

void RecipeDataGuard::rememberStored(std::string_view text, const FileStamp* before) {
    storedKnown_ = false;
    FileStamp now;
    if (!stampOf(recipeConfigFile(), now)) return;
    // A size that differs means another writer got in between: nothing is known then.
    if (now.size != static_cast<int64_t>(text.size())) return;
    if (before && !(*before == now)) return;
    storedText_.assign(text);
    storedStamp_ = now;
    storedKnown_ = true;
}

bool RecipeDataGuard::storeConfig() {
    const std::string path = recipeConfigFile();
    if (storedKnown_ && text_->view() == storedText_) {
        FileStamp now;
        if (stampOf(path, now) && now == storedStamp_) return true;  // the file holds this text
    }
    storedKnown_ = false;
    if (!Utility::writeText(path, *text_)) return false;
    rememberStored(text_->view(), nullptr);
    return true;
}

bool RecipeDataGuard::saveLocked(bool takeMutex) {
    bool rendered;
    {
        std::unique_lock lk(mutex, std::defer_lock);
        if (takeMutex) lk.lock();
        rendered = renderDocument();
    }
    if (!rendered) return false;
    return storeConfig();
}

bool RecipeDataGuard::saveToJson() {
    std::lock_guard s(saveMutex_);
    return saveLocked(true);
}

void RecipeDataGuard::keepAside(const std::string& path, std::string_view text, bool move, const char* why) {
    // An earlier copy is not replaced.
    const std::string bad = Utility::badCopyPath(path);
    if (move) {
        std::error_code ec;
        std::filesystem::rename(path, bad, ec);
        if (ec) {
            SLOG_ERROR(SCADA, "config file {} is {}, cannot keep it as {}: {}", path, why, bad, ec.message());
            return;
        }
    } else {
        Utility::writeText(bad, text);
    }
    SLOG_ERROR(SCADA, "config file {} is {}, kept as {}", path, why, bad);
}

void RecipeDataGuard::loadLocked(const std::string& path, bool holdingMutex) {
    const bool isConfig = path == recipeConfigFile();
    // The file may change below (created, restored, kept aside): known again only once read.
    if (isConfig) storedKnown_ = false;
    text_->clear();
    recipe.init();

    // template.json: the recipe in force (the defaults at start-up).
    const bool rendered = renderDocument();
    if (rendered) Utility::writeText(recipeTemplateFile(), *text_);

    if (!existsNoThrow(path)) {
        SLOG_ERROR(SCADA, "config file {} is not existing, create a new one", path);
        if (rendered) Utility::writeText(path, *text_);
    }

    std::error_code dirEc;
    const bool isDirectory = std::filesystem::is_directory(path, dirEc);
    if (!isDirectory && fileLengthNoThrow(path) < 1) {
        // Only the configuration itself is restored from its backup: an empty upload never
        // moves the backup away. A directory in the file's place is no empty file: "mv" would
        // move the backup into it; it is kept aside below as unreadable.
        if (isConfig && existsNoThrow(recipeBackupFile())) {
            auto& runner = orvane::platform::CommandRunner::get();
            runner.shell(fmt::format("mv {} {}", recipeBackupFile(), path));
            runner.syncFs();
            SLOG_ERROR(SCADA, "config file is empty, restore from backup file");
            // An empty backup (or a move that failed) leaves nothing the other programs can
            // parse: rewrite the configuration from the recipe in force.
            if (fileLengthNoThrow(path) < 1 && rendered) Utility::writeText(path, *text_);
        } else {
            SLOG_ERROR(SCADA, "config file is empty, no backup file");
            // Leave a document that the other programs can parse.
            if (isConfig && rendered) Utility::writeText(path, *text_);
        }
    }

    std::string big;  // only for a file too large for the text buffer
    std::string_view doc;
    FileStamp beforeRead;
    const bool stamped = isConfig && stampOf(path, beforeRead);
    bool readOk = Utility::readText(path, *text_);
    if (readOk) {
        doc = text_->view();
    } else if (fileLengthNoThrow(path) >= 1 && readWholeFile(path, big, kMaxConfigFileBytes)) {
        doc = big;
        readOk = true;
    }

    bool repair = false;
    if (readOk) {
        const RecipeDocumentReadResult res = readRecipeDocument(recipe, doc);
        const bool blank = ltrimJsonP(doc).empty();
        if (!blank && !res.hasObject) {
            if (isConfig) {
                keepAside(path, doc, true, "not a JSON document");
                repair = true;
            }
        } else if (res.hasObject && !res.closed) {
            if (isConfig) {
                keepAside(path, doc, false, "cut off");
                repair = true;
            }
        }
    } else {
        SLOG_WARN(SCADA, "Fail to read {}, enlarge buffer {}", path, 1048576);
        if (isConfig && existsNoThrow(path)) keepAside(path, {}, true, "unreadable");
        repair = true;
    }

    // The file holds exactly what was read, unless it changed while it was read.
    if (readOk && !repair && stamped) rememberStored(doc, &beforeRead);

    recipe.system.overwrite();
    recipe.init_ai_board();

    if (repair && (isConfig || !readOk)) saveLocked(!holdingMutex);
}

void RecipeDataGuard::loadWithMigration(const std::string& path) {
    std::lock_guard s(saveMutex_);
    loadLocked(path, false);
}

bool RecipeDataGuard::importRecipe(const std::string& path) {
    std::lock_guard s(saveMutex_);
    {
        std::lock_guard lk(mutex);
        const SystemRecipeData kept = recipe.system;
        loadLocked(path, true);
        recipe.system = kept;
    }
    return saveLocked(true);
}

// ---- operations ----------------------------------------------------------------------------------------

void RecipeDataGuard::buildReferenceForSensor() {
    std::lock_guard lk(mutex);
    const ProbeMeta* none = ProbeMeasureRecipeItem::noneObject();
    if (none)
        for (auto& item : recipe.sensors)
            if (!item.probeMeta) item.probeMeta = none;
    if (hooks_.bindProbes) hooks_.bindProbes(recipe.sensors);
}

bool RecipeDataGuard::isRecipeReg(const char* address) const {
    const char* begin = reinterpret_cast<const char*>(&recipe);
    const char* end = begin + sizeof(recipe);
    return !std::less<const char*>()(address, begin) && std::less<const char*>()(address, end);
}

std::array<text32, kProbeItemCount> RecipeDataGuard::getProbesName() {
    std::array<text32, kProbeItemCount> names;
    std::lock_guard lk(mutex);
    for (int i = 0; i < kProbeItemCount; ++i) {
        const auto& item = recipe.sensors[i];
        names[i] = item.custName.empty() ? item.name : item.custName;
    }
    return names;
}

void RecipeDataGuard::set_MBTcpClient(const MBTcpClientItem& item, int client) {
    if (client < 0 || client >= kMBTcpClientCount) return;
    std::lock_guard lk(mutex);
    recipe.mbTcpClient[client] = item;
}

void RecipeDataGuard::set_MBTcpClient(const MBTcpClientItemBase& item, int client) {
    if (client < 0 || client >= kMBTcpClientCount) return;
    std::lock_guard lk(mutex);
    static_cast<MBTcpClientItemBase&>(recipe.mbTcpClient[client]) = item;
}

void RecipeDataGuard::set_MBTcpClient_input(const MBTcpClientInputItem& item, int client, int index) {
    if (client < 0 || client >= kMBTcpClientCount || index < 0 || index >= kMBTcpClientIoCount) return;
    std::lock_guard lk(mutex);
    recipe.mbTcpClient[client].inputs[index] = item;
}

void RecipeDataGuard::set_MBTcpClient_output(const MBTcpClientOutputItem& item, int client, int index) {
    if (client < 0 || client >= kMBTcpClientCount || index < 0 || index >= kMBTcpClientIoCount) return;
    std::lock_guard lk(mutex);
    recipe.mbTcpClient[client].outputs[index] = item;
}

namespace {
template <class Item>
void applyItemText(Item& item, const std::string& json) {
    std::string_view enable = findJsonKeyP(json, "enable");
    if (!enable.empty()) {
        bool on = true;
        readJsonP(on, enable);
        if (!on) item = Item{};
    }
    readJsonP(item, json);
}
}  // namespace

void RecipeDataGuard::set_MBTcpClient_input(const std::string& json, int client, int index) {
    if (client < 0 || client >= kMBTcpClientCount || index < 0 || index >= kMBTcpClientIoCount) return;
    std::lock_guard lk(mutex);
    applyItemText(recipe.mbTcpClient[client].inputs[index], json);
}

void RecipeDataGuard::set_MBTcpClient_output(const std::string& json, int client, int index) {
    if (client < 0 || client >= kMBTcpClientCount || index < 0 || index >= kMBTcpClientIoCount) return;
    std::lock_guard lk(mutex);
    applyItemText(recipe.mbTcpClient[client].outputs[index], json);
}

void RecipeDataGuard::addControllerOutput(const AddControllerOutputPack& pack) {
    std::lock_guard lk(mutex);
    if (!hooks_.findRegByGroupIndex) return;
    text32 displayName;
    int reg = -1;
    switch (pack.dataType) {
        case 1: {
            if (pack.dataIndex < 0 || pack.dataIndex >= kProbeItemCount) return;
            const auto& p = recipe.sensors[pack.dataIndex];
            displayName = p.custName.empty() ? p.name : p.custName;
            reg = hooks_.findRegByGroupIndex(kRegGroupProbeVal, pack.dataIndex);
            break;
        }
        case 2: {
            if (pack.dataIndex < 0 || pack.dataIndex >= kLoraDeviceCount || pack.loraRegIndex < 0 ||
                pack.loraRegIndex >= kLoraRegisterCount)
                return;
            const auto& d = recipe.loraDevice[pack.dataIndex];
            assignCut(displayName, fmt::format("{}#{}_{}", d.pn, d.sn, d.registers[pack.loraRegIndex].name.c_str()));
            reg = hooks_.findRegByGroupIndex(kRegGroupLoraVal, pack.dataIndex * kLoraRegisterCount + pack.loraRegIndex);
            break;
        }
        case 3: {
            if (pack.dataIndex < 0 || pack.dataIndex >= kAnalogInputCount) return;
            const auto& a = recipe.ai[pack.dataIndex];
            assignCut(displayName, a.custName.empty() ? a.name.view() : a.custName.view());
            reg = hooks_.findRegByGroupIndex(kRegGroupAiVal, pack.dataIndex);
            break;
        }
        default:
            return;
    }
    if (reg < 0 || pack.controllerIndex < 0 || pack.controllerIndex >= kMBTcpClientCount || pack.inputIndex < 0 ||
        pack.inputIndex >= kMBTcpClientIoCount)
        return;
    auto& out = recipe.mbTcpClient[pack.controllerIndex].outputs[pack.inputIndex];
    out.id = static_cast<int16_t>(pack.inputIndex + 1);
    out.enable = true;
    assignCut(out.virtualName, fmt::format("V{}", pack.inputIndex + 1));
    out.outputName = displayName;
    out.outputAddr = reg;
}

void RecipeDataGuard::updateProbeConfig(int curAddr, int newAddr, uint32_t pnOfProbe) {
    {
        std::lock_guard lk(mutex);
        for (auto& item : recipe.sensors)
            if (item.modbusAddr == curAddr && item.pn == pnOfProbe) item.modbusAddr = static_cast<int16_t>(newAddr);
        recipe.system.overwrite();
        changeWord_ |= SCADA_MASK_PROBE;
        recipe.resetID();
    }
    saveToJson();
}

int RecipeDataGuard::getHmiCalibCmd(unsigned short measureIdx, unsigned short hmiCmd) {
    if (measureIdx > 127) return -1;
    int measureType;
    uint32_t pn;
    {
        std::lock_guard lk(mutex);
        measureType = recipe.sensors[measureIdx].measureType;
        pn = recipe.sensors[measureIdx].pn;
    }
    SLOG_WARN(MBTCP, "measureIdx: {}, measureType: {}, calibCmd: {}", measureIdx, measureType, hmiCmd);
    const CalibRow* first = nullptr;
    for (const auto& row : kCalibTable) {
        if (row.measureType != measureType || row.hmiCmd != hmiCmd) continue;
        if (row.variant == pn) return row.probeCmd;
        if (!first) first = &row;
    }
    return first ? first->probeCmd : -1;
}
