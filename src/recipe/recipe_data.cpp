#include "recipe/recipe_data.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/paths.h"
#include "utils/utility.h"

namespace {
std::atomic<const ProbeMeta*> gNoneProbeMeta{nullptr};

struct ModelRow {
    const char* model;
    int32_t pn;
    bool hasAI;
};
constexpr ModelRow kModelToPn[] = {
    {"RB-821", 43031, true},  {"RB-820", 43030, false}, {"RB-822", 43043, false},
    {"RB-823", 28150, true},  {"RB-824", 23674, true},  {"RB-825", 21928, true},
};
}  // namespace

int64_t recipeSteadySeconds() { return orvane::platform::Clock::get().steadySeconds(); }

const ProbeMeta* ProbeMeasureRecipeItem::noneObject() noexcept { return gNoneProbeMeta.load(); }
void ProbeMeasureRecipeItem::setNoneObject(const ProbeMeta* meta) noexcept { gNoneProbeMeta.store(meta); }

void SystemRecipeData::overwrite() {
    swVer = kSoftwareVersion;
    for (const auto& row : kModelToPn) {
        if (std::strncmp(row.model, model.c_str(), 16) == 0) {
            pn = row.pn;
            hasAI = row.hasAI;
        }
    }
}

void ScadaRecipeData::init_ai_board() {
    for (int k = 0; k < kAnalogInputCount; ++k) ai[k].reg = static_cast<uint16_t>(48001 + 2 * k);
}

void ScadaRecipeData::resetID() {
    for (int i = 0; i < kProbeItemCount; ++i) sensors[i].id = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kFirewallRuleCount; ++i) firewall[i].id = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kPortForwardingCount; ++i) portForwarding[i].id = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kLoraDeviceCount; ++i) loraDevice[i].id = static_cast<int16_t>(i + 1);
    for (int c = 0; c < kMBTcpClientCount; ++c) {
        auto& client = mbTcpClient[c];
        client.id = static_cast<int16_t>(c + 1);
        for (int i = 0; i < kMBTcpClientIoCount; ++i) {
            client.inputs[i].id = static_cast<int16_t>(i + 1);
            client.outputs[i].id = static_cast<int16_t>(i + 1);
        }
    }
    for (int i = 0; i < kSpareEntryCount; ++i) spareEntries[i].id = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kControlLoopCount; ++i) setElementId(controlloop[i], i + 1);
    for (int i = 0; i < kDigitalCount; ++i) digital[i].id = i + 1;
    for (int i = 0; i < kAnalogInputCount; ++i) {
        ai[i].id = static_cast<int16_t>(i + 1);
        char name[16];
        std::snprintf(name, sizeof name, "AI%d", i + 1);
        ai[i].name = name;
    }
}

void ScadaRecipeData::resetDisplayId(bool all) {
    for (int i = 0; i < kProbeItemCount; ++i)
        if (all || sensors[i].displayId < 1) sensors[i].displayId = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kLoraDeviceCount; ++i)
        if (all || loraDevice[i].displayId < 1) loraDevice[i].displayId = static_cast<int16_t>(i + 1);
    for (int i = 0; i < kAnalogInputCount; ++i)
        if (all || ai[i].displayId < 1) ai[i].displayId = static_cast<int16_t>(i + 1);
}

void ScadaRecipeData::init() {
    resetID();
    init_ai_board();
    static constexpr const char* kPorts[] = {"/dev/ttymxc3", "/dev/ttyACM0", "/dev/ttyACM1"};
    for (const char* port : kPorts) {
        bool found = false;
        try {
            found = Utility::exists(orvane::platform::Paths::system(port));
        } catch (...) {
            found = false;
        }
        if (found) {
            modbusRtu.interface = port;
            break;
        }
    }
    const ProbeMeta* none = ProbeMeasureRecipeItem::noneObject();
    if (none)
        for (auto& item : sensors)
            if (!item.probeMeta) item.probeMeta = none;
}
