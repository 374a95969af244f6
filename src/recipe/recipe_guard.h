#pragma once
// RecipeDataGuard: the single owner of the recipe (ScadaRecipeData) and of parameter.json.
// Every component reads and changes the recipe through it, under its mutex, and learns of
// changes through one shared 32-bit change word: writers mark what they changed with
// triggerReload(mask); each consumer thread polls checkAndConsume(mask) for the bits it owns.
//
// Locking: `mutex` guards `recipe`, the text buffer and the change word. Callers that work on the
// recipe directly take it themselves (std::lock_guard lk(guard.mutex); ... guard.recipe ...) and
// keep it only for memory work. Lock order: live data -> recipe -> EnvGuard. Saves and imports are
// serialised by a save mutex taken before the recipe mutex, so two saves, or a save and an
// import, never interleave; the file itself is replaced atomically.
//
// Hooks: the store calls into components that are built on top of it. The owner object fills
// them once at start-up (setHooks) before any component thread runs:
//   afterReload        EnvGuard::buildControllerOutputReference(), after triggerReload unlocks;
//   bindProbes         EnvGuard::updateProbeRefrence(items), under the recipe mutex;
//   findRegByGroupIndex VarEngine::findRegByGroupIndex(group, index), used by addControllerOutput.
// An empty hook is skipped (addControllerOutput then changes nothing, as for an unknown value).
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "recipe/recipe_data.h"
#include "utils/fss.h"
#include "utils/store_mutex.h"

// Change bits. Each bit has exactly one consuming thread (0x40, 0x80 and 0x200 are consumed
// together by the cloud-link server).
enum ScadaElementMask : uint32_t {
    SCADA_MASK_NONE = 0,
    SCADA_MASK_SYSTEM = 0x1,               // System: copies the system section
    SCADA_MASK_PROBE = 0x2,                // ProbeService: reloads the probe items
    SCADA_MASK_PROBE_RTU = 0x8,            // ProbeService: re-reads the probe-bus serial settings
    SCADA_MASK_MBTCP_CLIENT = 0x10,        // MBTCPClient: reloads the client items
    SCADA_MASK_CLOUD_SERVER = 0x40,        // SocketServer: reload notice to the cloud daemon
    SCADA_MASK_GATEWAY_SERVER = 0x80,      // SocketServer: reload notice to the cloud daemon
    SCADA_MASK_PORT_FORWARDING = 0x100,    // System: applies the port-forwarding rules
    SCADA_MASK_REMOTE_FORWARDING = 0x200,  // SocketServer: reload notice (port-forwarding rules)
    SCADA_MASK_FIREWALL = 0x400,           // System: applies the firewall rules
    SCADA_MASK_LORA = 0x800,               // lora::Lora: restarts the radio
    SCADA_MASK_LORA_DEVICE = 0x1000,       // lora::Lora: reloads the device items
    SCADA_MASK_PROBE_RELOAD = 0x2000,      // ProbeService: further reload step
    SCADA_MASK_SAVE = 0x8000,              // System: calls saveToJson
    SCADA_MASK_WIFI = 0x10000,             // System: applies the Wi-Fi settings
    SCADA_MASK_RESTART = 0x40000000,       // System: restarts the gateway services
    SCADA_MASK_REBOOT = 0x80000000,        // System: reboots the machine
    // Every bit but save, restart and reboot: each consumer loads its settings on its first pass.
    SCADA_MASK_INITIAL = 0x3fff7fff,
    // The three bits of the cloud-link server.
    SCADA_MASK_CLOUD_RELOAD = 0x40 | 0x80 | 0x200,
};

// Register groups that addControllerOutput looks values up in (values of the register table's
// RegValType).
inline constexpr int kRegGroupProbeVal = 2;
inline constexpr int kRegGroupAiVal = 20;
inline constexpr int kRegGroupLoraVal = 29;

// Binds a controller output to a gateway value (REST "add controller output").
struct AddControllerOutputPack {
    int controllerIndex = 0;  // client 0..7
    int inputIndex = 0;       // output slot 0..127 of that client
    int dataType = 0;         // 1 probe, 2 LoRa register, 3 analog input
    int dataIndex = 0;        // probe 0..127, LoRa device 0..15, analog input 0..7
    int loraRegIndex = 0;     // register 0..7 of the LoRa device
};

struct RecipeHooks {
    std::function<void()> afterReload;
    std::function<void(std::array<ProbeMeasureRecipeItem, kProbeItemCount>&)> bindProbes;
    std::function<int(int group, int index)> findRegByGroupIndex;
};

// File locations, derived from the platform's install root at the time of the call.
std::string recipeConfigFile();    // config/recipes/parameter.json
std::string recipeBackupFile();    // config/recipes/parameter.json.mk
std::string recipeTemplateFile();  // config/recipes/template.json

class RecipeDataGuard {
public:
    RecipeDataGuard();
    ~RecipeDataGuard();
    RecipeDataGuard(const RecipeDataGuard&) = delete;
    RecipeDataGuard& operator=(const RecipeDataGuard&) = delete;

    // The owner object's store. Defined by the owner object (it returns its member); components
    // built by the owner receive a reference instead.
    static RecipeDataGuard& getInstance();

    void setHooks(RecipeHooks hooks);

    // ---- change flags ----
    // Change word := SCADA_MASK_INITIAL.
    void init();
    // Under the mutex: system section overwrite(), change word |= mask, resetID(); then, unlocked,
    // the afterReload hook.
    void triggerReload(uint32_t mask);
    // Steps 1-3 of triggerReload for a caller that already holds the mutex.
    void __triggerReload_no_lock(uint32_t mask);
    // Clears the mask's bits; true when any of them was set.
    bool checkAndConsume(uint32_t mask);
    uint32_t changeWordForTest();

    // ---- files ----
    // Writes the whole recipe to parameter.json (atomic replacement). False, with nothing stored
    // and an error logged, when the document does not fit or the file cannot be written. When
    // the text equals what the file is known to hold (this store wrote or read exactly that text,
    // and the file is still the same file: device, inode, size, modification and change times),
    // nothing is written: true, without wearing the flash.
    bool saveToJson();
    // Start-up load: template.json := the recipe in force; a missing configuration is created; an
    // empty one is restored from parameter.json.mk (or rewritten from the recipe when there is no
    // backup); then the file is read over the recipe (keys it lacks keep their values: the
    // migration). A file too large for the text buffer is still read. An unreadable or unparseable
    // configuration is kept aside as "<file>.bad" before it is rewritten. Then the system section
    // is overwritten and the analog-input registers set. No lock of the recipe mutex is taken.
    void loadWithMigration(const std::string& path);
    // Reads a recipe file (an upload) over the recipe, keeping this gateway's system section, and
    // saves the result as parameter.json. False when parameter.json could not be written (the
    // imported recipe is in force all the same).
    bool importRecipe(const std::string& path);

    // ---- operations ----
    // Binds the probe items to their definitions (bindProbes hook) under the mutex.
    void buildReferenceForSensor();
    // True when address lies inside the recipe record.
    bool isRecipeReg(const char* address) const;
    // custName of each probe item, or its name when custName is empty.
    std::array<text32, kProbeItemCount> getProbesName();
    void set_MBTcpClient(const MBTcpClientItem& item, int client);
    void set_MBTcpClient(const MBTcpClientItemBase& item, int client);
    void set_MBTcpClient_input(const MBTcpClientInputItem& item, int client, int index);
    void set_MBTcpClient_output(const MBTcpClientOutputItem& item, int client, int index);
    // JSON text form: "enable" present and false first resets the item to the default item; then
    // the text is read over it.
    void set_MBTcpClient_input(const std::string& json, int client, int index);
    void set_MBTcpClient_output(const std::string& json, int client, int index);
    void addControllerOutput(const AddControllerOutputPack& pack);
    // After a probe accepted a new Modbus address: items with modbusAddr == curAddr and
    // pn == pnOfProbe get newAddr; change bit 0x2; renumbered; saved.
    void updateProbeConfig(int curAddr, int newAddr, uint32_t pnOfProbe);
    template <class ConfigPack>
    void updateProbeConfig(ConfigPack& pack) {
        updateProbeConfig(static_cast<int>(pack.curAddr), static_cast<int>(pack.newAddr),
                          static_cast<uint32_t>(pack.reserved));
    }
    // Probe calibration command for an HMI calibration command of probe item measureIdx; -1 when
    // none applies or measureIdx > 127. Reads under the mutex.
    int getHmiCalibCmd(unsigned short measureIdx, unsigned short hmiCmd);
    // Read-modify-write of the 16 LoRa device items: runs f(items) under the mutex and returns
    // its result. f only works on memory; it never calls saveToJson or triggerReload.
    template <class F>
    auto updateLoraDevices(F&& f) {
        std::lock_guard lk(mutex);
        return std::forward<F>(f)(recipe.loraDevice);
    }

    // ---- data (see Locking above) ----
    ScadaRecipeData recipe;
    StoreMutex mutex;

    // The last parameter.json text written or read (guarded by the save mutex).
    const fss::stringHuge& text() const { return *text_; }

private:
    // Caller holds saveMutex_ (and the recipe mutex when holdingMutex).
    void loadLocked(const std::string& path, bool holdingMutex);
    // Caller holds saveMutex_; takes the recipe mutex for the rendering when takeMutex.
    bool saveLocked(bool takeMutex);
    // recipe -> text_ (caller holds the mutex or is alone).
    bool renderDocument();
    // Keeps a configuration that cannot be used as "<path>.bad": moved, or a copy of text.
    void keepAside(const std::string& path, std::string_view text, bool move, const char* why);

    // The file's identity as stat() reports it.
    struct FileStamp {
        uint64_t dev = 0, ino = 0;
        int64_t size = -1;
        int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
        bool operator==(const FileStamp&) const = default;
    };
    static bool stampOf(const std::string& path, FileStamp& out);
    // Writes text_ to parameter.json unless the file is known to hold it already.
    bool storeConfig();
    // Records that parameter.json holds `text` when its stamp now equals `before` (when given) and
    // its size is the text's; otherwise records nothing known.
    void rememberStored(std::string_view text, const FileStamp* before);

    std::unique_ptr<fss::stringHuge> text_;
    // What parameter.json held when this store last wrote or read it (guarded by the save mutex).
    bool storedKnown_ = false;
    std::string storedText_;
    FileStamp storedStamp_;
    uint32_t changeWord_ = SCADA_MASK_INITIAL;
    std::mutex saveMutex_;
    RecipeHooks hooks_;
};
