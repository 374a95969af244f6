#pragma once
// A probe service over real stores in a temporary install root, with the simulated probe bus
// on a pseudo-terminal and the simulated clock (bus pauses and retries take no time; libmodbus
// time-outs are real, so silent addresses are kept few).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "env/env_guard.h"
#include "live/live_data.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "recipe/recipe_guard.h"
#include "sensors/probe_meta.h"
#include "sensors/probe_service.h"
#include "support/probe_bus_sim.h"
#include "support/probe_sim_meta.h"
#include "support/temp_dir.h"

namespace probe_test {

inline constexpr uint32_t kPhPN = 50210;    // PHX-200: pH + Temperature, serial "uint"
inline constexpr uint32_t kCondPN = 50320;  // CDX-300: Conductivity, TDS, Temperature
inline constexpr uint32_t kTurbPN = 50430;  // TBX-100: Turbidity, Temperature
inline constexpr uint32_t kCleanPN = 60001;  // CLN-100 (test only): Value, cleanliness, Temperature

inline const char* const kCleanProbeJson = R"({
  "PN": 60001, "DataFmt": "CDAB", "ModelType": "Test", "ModelName": "CLN-100", "ModelDescription": "Test probe",
  "ModbusAddr": 40,
  "Info": [{"Name": "Serial Number", "RegAddress": 41001, "RegType": "uint", "RegLen": 2}],
  "Config": [{"Name": "Modbus Address", "SettingsType": "number", "Editable": true, "Tip": "1-247",
              "Cmds": [{"RegAddress": 44001, "RegType": "ushort", "RegLen": 1, "Editable": true, "SetValue": 40}]}],
  "Readings": [
    {"Name": "Value", "custName": "Value", "Unit": "mg/L", "RegAddress": 40001, "RegType": "float", "Decimal": 2, "Calibrations": []},
    {"Name": "cleanliness", "custName": "cleanliness", "Unit": "%", "RegAddress": 40003, "RegType": "float", "Decimal": 0, "Calibrations": []},
    {"Name": "Temperature", "custName": "Temperature", "Unit": "F", "RegAddress": 40005, "RegType": "float", "Decimal": 1, "Calibrations": []}
  ],
  "Diagnosis": [],
  "Span4_20mA": [],
  "Control": [{"Name": "Reboot", "Tip": "restart", "Cmds": [{"RegAddress": 44010, "RegType": "ushort", "RegLen": 1, "SetValue": 1}]}],
  "RestoreFactory": {"Name": "Factory reset", "Message": "Restore factory", "Cmds": []}
})";

class ServiceRig : public ::testing::Test {
protected:
    void SetUp() override {
        orvane::platform::Roots roots;
        roots.install = root_.path() + "/";
        roots.system = root_.path() + "/sysroot/";
        roots.runtime = root_.path() + "/run/";
        orvane::platform::Paths::setForTest(roots);
        orvane::platform::Clock::setForTest(&clock_);
        const std::string src = std::string(std::getenv("ORVANE_SOURCE_DIR") ? std::getenv("ORVANE_SOURCE_DIR") : ORVANE_TEST_SOURCE_DIR) + "/dist/probes";
        std::filesystem::create_directories(root_.file("config/probes"));
        for (const auto& e : std::filesystem::directory_iterator(src))
            std::filesystem::copy_file(e.path(), root_.file("config/probes/" + e.path().filename().string()));
        orvane::test::writeFile(root_.file("config/probes/test_cln_100.json"), kCleanProbeJson);

        recipe_ = std::make_unique<RecipeDataGuard>();
        EnvGuard::Options opts;
        opts.bcryptCost = 4;
        env_ = std::make_unique<EnvGuard>(*recipe_, opts);
        recipe_->setHooks(RecipeHooks{nullptr, [this](std::array<ProbeMeasureRecipeItem, kProbeItemCount>& items) {
                                          env_->updateProbeRefrence(items);
                                      },
                                      nullptr});
        live_ = std::make_unique<LiveDataGuard>(recipe_.get());
        {
            std::lock_guard<StoreMutex> lk(recipe_->mutex);
            recipe_->recipe.modbusRtu.interface = sim_.devicePath();
            recipe_->recipe.modbusRtu.baudrate = 9600;
            recipe_->recipe.modbusRtu.parity = 0;
            recipe_->recipe.modbusRtu.timeout = 500;
        }
        recipe_->recipe.resetID();
        gRetryMaxNum.store(3);
    }

    void TearDown() override {
        svc_.reset();
        live_.reset();
        env_.reset();
        recipe_.reset();
        orvane::platform::Clock::setForTest(nullptr);
        orvane::platform::Paths::resetForTest();
    }

    std::shared_ptr<const ProbeMeta> meta(uint32_t pn) { return env_->getProbeMetaByPN(pn); }

    // Puts a simulated probe of definition pn at addr.
    void addProbe(uint32_t pn, int addr, orvane::test::SimProbeValues v = {}) { orvane::test::addSimProbe(sim_, addr, *meta(pn), v); }

    // Recipe item slot for one reading of a probe.
    void setItem(int slot, uint32_t pn, int addr, const char* name, const char* unit, uint32_t sn = 0) {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        ProbeMeasureRecipeItem& it = recipe_->recipe.sensors[static_cast<size_t>(slot)];
        it.pn = pn;
        it.sn = sn;
        it.name = name;
        it.custName = name;
        it.unit = unit;
        it.displayUnit = unit;
        it.modbusAddr = static_cast<int16_t>(addr);
        it.enable = true;
        it.display = true;
        it.displayId = static_cast<int16_t>(slot + 1);
    }

    ProbeMeasureRecipeItem recipeItem(int slot) {
        std::lock_guard<StoreMutex> lk(recipe_->mutex);
        return recipe_->recipe.sensors[static_cast<size_t>(slot)];
    }

    // Builds the service (after the recipe has its items) and binds the recipe.
    ProbeService& service() {
        if (!svc_) {
            recipe_->buildReferenceForSensor();
            svc_ = std::make_unique<ProbeService>(*recipe_, *live_, *env_);
            svc_->init();
        }
        return *svc_;
    }

    MeasureDataItem liveSlot(int slot) {
        std::lock_guard<StoreMutex> lk(live_->mutex());
        return live_->data().probe.items[static_cast<size_t>(slot)];
    }

    // Requests the master sent to addr, answered or not.
    size_t framesTo(int addr) {
        size_t n = 0;
        for (const auto& f : sim_.frames())
            if (f.fromMaster && !f.bytes.empty() && f.bytes[0] == addr) ++n;
        return n;
    }

    // The parameter.json text on disk ("" when absent).
    std::string configText() {
        const std::string p = recipeConfigFile();
        return std::filesystem::exists(p) ? orvane::test::readFile(p) : std::string();
    }

    orvane::test::TempDir root_{"orvane-probesvc"};
    orvane::platform::SimulatedClock clock_;
    orvane::test::ProbeBusSim sim_;
    std::unique_ptr<RecipeDataGuard> recipe_;
    std::unique_ptr<EnvGuard> env_;
    std::unique_ptr<LiveDataGuard> live_;
    std::unique_ptr<ProbeService> svc_;
};

}  // namespace probe_test
