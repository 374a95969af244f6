// Start-up order of the owner object, in-process, with every component built for real and the
// file roots in a temporary tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/command_runner.h"
#include "platform/paths.h"
#include "scada.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using orvane::platform::Paths;

namespace {

struct StartupFixture : ::testing::Test {
    orvane::test::TempDir root{"orvane-scada-start"};
    orvane::platform::RecordingCommandRunner commands;
    std::unique_ptr<orvane::test::ScopedRoots> roots;

    void SetUp() override {
        roots = std::make_unique<orvane::test::ScopedRoots>(root.path());
        orvane::platform::CommandRunner::setForTest(&commands);
    }
    void TearDown() override {
        orvane::platform::CommandRunner::setForTest(nullptr);
        roots.reset();
    }
};

}  // namespace

TEST_F(StartupFixture, ComponentsInitialiseAndThreadsStartInOrderThenStop) {
    Scada::Ports ports;
    ports.web = 0;
    ports.modbusServer = 0;
    ports.virtualSerial = 0;
    auto scada = std::make_unique<Scada>(ports);
    std::mutex m;
    std::vector<std::string> trace;
    scada->setTrace([&](const std::string& s) {
        std::lock_guard lock(m);
        trace.push_back(s);
    });
    scada->startup();

    const std::vector<std::string> expected = {
        "init RecipeDataGuard",
        "init VarEngine",
        "init LiveDataGuard",
        "init ProbeService",
        "init System",
        "init Cellular",
        "init MBTCPServer",
        "init ResetButtonReader",
        "init LoopManager",
        "init WebServer",
        "thread System::startLoop",
        "thread ProbeService::startLoop",
        "thread SocketServer::startLoop",
        "thread MBTCPClient::loop_thread",
        "thread MBTCPServer::startLoop",
        "thread WebServer::startLoop",
        "thread lora::Lora::loop_thread",
        "thread Cellular::startLoop",
        "thread virtual_serial::VirtualSerial::loop_thread",
        "init DatabaseProxy",
    };
    {
        std::lock_guard lock(m);
        EXPECT_EQ(trace, expected);
    }
    // The configuration was created from defaults and the register table filled and sorted.
    EXPECT_TRUE(std::filesystem::exists(Paths::install("config/recipes/parameter.json")));
    EXPECT_TRUE(scada->stopComponents(std::chrono::seconds(5)));
    EXPECT_EQ(scada->runningThreads(), 0u);
}
