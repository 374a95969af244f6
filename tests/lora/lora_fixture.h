#pragma once
// LoRa test ground: temporary roots (set first) with GPIO lines, simulated clock, radio and field devices.
#include <gmock/gmock.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "live/live_data.h"
#include "lora/lora.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "scada_paths.h"
#include "support/lora_field_sim.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/sx126x_sim.h"
#include "support/temp_dir.h"

namespace lora_test {

using lora::Lora;
using orvane::platform::Clock;
using orvane::platform::CommandRunner;
using orvane::platform::Paths;
using orvane::test::LoraFieldDevice;
using orvane::test::readFile;
using orvane::test::waitUntil;
using Bytes = std::vector<uint8_t>;
using Items = std::array<LoraDeviceRecipeItem, kLoraDeviceCount>;
using Json = nlohmann::json;
using namespace std::chrono_literals;

struct Down { uint8_t type, master, device; uint16_t seq; Bytes payload; };  // a downlink frame as sent

class LoraTest : public ::testing::Test {
protected:
    void SetUp() override {
        CommandRunner::setForTest(&runner);
        Clock::setForTest(&clock);
        orvane::test::writeFile(Paths::sysfs("class/gpio/export"), "");
        for (int g : {64, 66, 74}) orvane::test::writeFile(Paths::sysfs("class/gpio/gpio" + std::to_string(g) + "/value"), "");
        sim = std::make_unique<orvane::test::Sx126xSim>();
        recipe = std::make_unique<RecipeDataGuard>();
        live = std::make_unique<LiveDataGuard>(recipe.get());
    }
    void TearDown() override {
        if (net) net->stop();
        net.reset(), live.reset(), recipe.reset(), sim.reset(), devs.clear();
        Clock::setForTest(nullptr), CommandRunner::setForTest(nullptr);
    }
    void restart() { TearDown(), SetUp(); }
    void setLora(const std::function<void(LoraRecipe&)>& f) {
        std::lock_guard lk(recipe->mutex);
        f(recipe->recipe.lora);
    }
    void autoUpload() { setLora([](LoraRecipe& l) { l.mode = 1; }); }
    void enrol(int slot, uint32_t pn, uint32_t sn) {
        recipe->updateLoraDevices([&](Items& i) {
            i[slot].loraId = static_cast<int16_t>(slot + 6), i[slot].pn = pn, i[slot].sn = sn;
            i[slot].display = i[slot].enable = true;
        });
    }
    Items items() { return recipe->updateLoraDevices([](const Items& i) { return i; }); }
    unsigned now() { return static_cast<unsigned>(clock.wallSeconds()); }
    LoraFieldDevice& device(uint32_t pn, uint32_t sn, uint8_t id = 0, uint8_t master = 1) {
        LoraFieldDevice& d = devs.emplace_back(pn, sn);
        if (id != 0) d.setIds(master, id);  // already enrolled
        sim->attach(d);
        return d;
    }
    void begin() {
        net = std::make_unique<Lora>(*recipe, *live);
        net->startUp(false);
        ASSERT_EQ(net->prepare_receive(), 0);
    }
    void step() { net->receiveOnce(), net->runPass(0ms); }  // radio pass then main pass
    void drain() {
        for (int i = 0; i < 40 && (sim->irqFlags() != 0 || i < 2); ++i) step();
    }
    std::vector<Down> sent() {
        std::vector<Down> d;
        for (const auto& f : sim->sent()) d.push_back({f[2], f[5], f[6], static_cast<uint16_t>(f[3] | (f[4] << 8)), Bytes(f.begin() + 8, f.end() - 2)});
        return d;
    }
    std::vector<Bytes> payloads(size_t from) {
        std::vector<Bytes> p;
        for (const Down& d : sent()) p.push_back(d.payload);
        return {p.begin() + static_cast<long>(from), p.end()};
    }
    Json configFile() { return Json::parse(readFile(scada_paths::CONFIG_FILE())); }

    orvane::test::TempDir tmp{"orvane-lora"};
    orvane::test::ScopedRoots roots{tmp.path()};
    orvane::platform::RecordingCommandRunner runner;
    orvane::platform::SimulatedClock clock;
    std::unique_ptr<orvane::test::Sx126xSim> sim;
    std::deque<LoraFieldDevice> devs;
    std::unique_ptr<RecipeDataGuard> recipe;
    std::unique_ptr<LiveDataGuard> live;
    std::unique_ptr<Lora> net;
};

}  // namespace lora_test
