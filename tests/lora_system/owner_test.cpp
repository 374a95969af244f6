// The owner object in real time with the simulated radio: a TLR sensor's values reach every consumer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include <nlohmann/json.hpp>

#include "live/var_engine.h"
#include "platform/command_runner.h"
#include "platform/paths.h"
#include "scada.h"
#include "scada_paths.h"
#include "support/lora_field_sim.h"
#include "support/probe_bus_sim.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/sx126x_sim.h"
#include "support/temp_dir.h"

using orvane::platform::Paths;
using orvane::test::readFile;
using orvane::test::waitUntil;
using namespace std::chrono_literals;

TEST(LoraOwner, TlrEnrolsAndReachesLiveRegistersCloudAndFiles) {
    orvane::test::TempDir root{"orvane-lora-owner"};
    orvane::test::ScopedRoots roots(root.path());
    orvane::platform::RecordingCommandRunner commands;
    orvane::platform::CommandRunner::setForTest(&commands);
    orvane::test::writeFile(Paths::sysfs("class/gpio/export"), "");
    for (int g : {64, 66, 74}) orvane::test::writeFile(Paths::sysfs("class/gpio/gpio" + std::to_string(g) + "/value"), "");
    orvane::test::Sx126xSim sim;
    sim.setImmediateEdgeWaits(false);
    orvane::test::LoraFieldDevice dev(100, 5);
    dev.setTlr(1.25f, 3.5f, 42.5f, 12.0f);
    sim.attach(dev);
    Scada::Ports ports;
    ports.web = ports.modbusServer = ports.virtualSerial = 0;
    auto scada = std::make_unique<Scada>(ports);
    scada->startup();

    ASSERT_TRUE(waitUntil([&] { return sim.mode() == orvane::test::Sx126xSim::Mode::Rx; }, 60s));
    sim.deliver(dev.upload());
    ASSERT_TRUE(waitUntil([&] { return dev.deviceId() == 6; }, 60s));
    ASSERT_TRUE(waitUntil([&] {
        return scada->live().withLock([](ScadaLiveData& l) { return l.lora.items[0].id == 6 && l.lora.items[0].regs[0].value == 42.5f; });
    }, 60s));
    unsigned short regs[2] = {};  // register 3769 (Lora0_Reg0_Value), low word first
    ASSERT_TRUE(scada->vars().getRegVal(3769, regs, 2, EndianessType::NONE));
    EXPECT_FLOAT_EQ(orvane::test::simDecodeFloat(regs, orvane::test::SimFloatOrder::CDAB), 42.5f);
    const auto cell = scada->live().getDataCell();  // what the cloud daemon receives
    const auto v = std::find_if(cell.values.begin(), cell.values.end(), [](const auto& p) { return p.first == "100#5_Volume"; });
    ASSERT_NE(v, cell.values.end());
    EXPECT_DOUBLE_EQ(v->second, 42.5);
    ASSERT_TRUE(waitUntil([&] {
        const auto text = readFile(scada_paths::LORA_DEVICE_FILE());
        return nlohmann::json::accept(text) && nlohmann::json::parse(text)["devices"].size() == 1;
    }, 30s));

    EXPECT_TRUE(scada->stopComponents(20s));
    EXPECT_EQ(std::make_tuple(scada->runningThreads(), sim.transfersOnClosed()), std::make_tuple(0u, 0));
    EXPECT_GE(sim.closes(), 1);
    scada.reset();
    orvane::platform::CommandRunner::setForTest(nullptr);
}
