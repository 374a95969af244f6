// The real orvane-lte and orvane-system in the sandbox with two mosquitto brokers in its network
// namespace and this test's IPC server (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "lte_program.h"
#include "support/netns_process.h"
#include "support/system_upgrade.h"

using namespace std::chrono_literals;
using namespace orvane::test;
#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace {

TEST(LteMqttProgram, CarriesDataHeartbeatCommandsAndAnUpgradeOrderAndCatchesUpAfterAnOutage) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (std::system("command -v mosquitto mosquitto_sub mosquitto_pub nsenter >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs mosquitto clients and nsenter";
    SandboxProcess p;
    writeFile(p.installFile("config/recipes/parameter.json"),
              lteParameters(2, 4, 1884, "1.2.2922", R"(, "upgrade": {"url": "file:///tmp/pkgs"})"));
    ASSERT_TRUE(prepareSystemUpgrade(p));
    ProbeServer probe(p.tmpDir() + "/probeSock");
    {
        std::lock_guard lock(probe.live->mutex());
        probe.live->data().analog.names[0] = "AI1";
        probe.live->data().analog.items[0].val = 4.5f;
    }
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    const std::string dir = probe.dir.path();
    auto cloud = startBrokerIn(pid, 1883, dir);
    auto gateway = startBrokerIn(pid, 1884, dir);
    ASSERT_TRUE(waitUntil([&] { return portOpenIn(pid, 1883) && portOpenIn(pid, 1884); }, 30s));
    auto cloudSub = startSubscriberIn(pid, 1883, dir);
    auto gatewaySub = startSubscriberIn(pid, 1884, dir);
    auto seen = [](const std::unique_ptr<NetnsProcess>& sub, const std::string& text) {
        return sub->text().find(text) != std::string::npos;
    };

    // Heartbeat and state when the gateway link comes up; live data on the data topic.
    ASSERT_TRUE(waitUntil([&] { return seen(gatewaySub, "gw/GW2301234/state {"); }, 90s)) << p.stdoutText();
    EXPECT_TRUE(seen(gatewaySub, "gw/GW2301234/heartbeat {\"cmd\":\"heartbeat\",\"sn\":\"GW2301234\""));
    ASSERT_TRUE(waitUntil([&] { return seen(cloudSub, "\"AI1\":4.5"); }, 90s)) << cloudSub->text();
    EXPECT_TRUE(seen(cloudSub, "kelva/GW2301234/livedata {\"data\":[{\"device\":[{\"pn\":1001"));

    // A "state" command is answered with the state.
    const size_t states = count(gatewaySub->text(), "gw/GW2301234/state ");
    const std::string pub = "nsenter -t " + std::to_string(pid) +
                            " -n mosquitto_pub -h 127.0.0.1 -p 1884 -q 1 -t gw/GW2301234/cmd -m "
                            "'{\"cmd\":\"state\",\"sn\":\"GW2301234\",\"x\":\"\"}'";
    ASSERT_EQ(std::system(pub.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return count(gatewaySub->text(), "gw/GW2301234/state ") > states; }, 30s));

    // orvane-system (stub systemctl first in its PATH) is ordered an upgrade on the cloud command topic.
    std::atomic<int> systemStatus{-2};
    std::string systemOut;
    std::thread systemThread([&] {
        systemStatus = p.runInside({"sh", "-c", "PATH=/run/sandbox-bin:$PATH exec " + std::string(ORVANE_SYSTEM_BINARY)}, &systemOut);
    });
    struct Join {
        SandboxProcess& p;
        std::thread& t;
        ~Join() {
            if (!t.joinable()) return;
            p.signal(SIGKILL);
            t.join();
        }
    } joinSystem{p, systemThread};
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(p.tmpDir() + "/systemSock"); }, 30s)) << systemOut;
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("kelva/GW2301234/command success") != std::string::npos; }, 90s));
    const std::string order = R"({"Upgrade":"scp","fw-3.0.tar.gz"})";
    std::string pubOut;
    ASSERT_EQ(p.runInNetwork({"mosquitto_pub", "-h", "127.0.0.1", "-p", "1883", "-q", "1", "-t", "kelva/GW2301234/command", "-m", order},
                             &pubOut),
              0)
        << pubOut;
    ASSERT_TRUE(waitUntil([&] { return systemRestartAsked(p); }, 120s))
        << p.stdoutText() << readFile(p.installFile("log/log_system.txt"));
    EXPECT_NE(p.stdoutText().find("Get a data srv mqtt message: " + order), std::string::npos);
    EXPECT_NE(p.stdoutText().find("Upgrade system: 2; fw-3.0.tar.gz"), std::string::npos);
    expectSystemUpgraded(p);
    EXPECT_EQ(count(readFile(p.installFile("log/log_system.txt")), "Get SystemUpdate: "), 1u);

    // A reload rebuilds both links.
    probe.recipe->triggerReload(SCADA_MASK_CLOUD_SERVER);
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "CloudDaemonApp::reset") == 2; }, 30s));
    EXPECT_TRUE(waitUntil([&] { return count(p.stdoutText(), "MQTT Connected.") >= 4; }, 30s)) << p.stdoutText();

    // The cloud broker is gone until a publication has failed; a reading of the outage reaches it later.
    cloudSub->stop();
    cloud->stop();
    const size_t failedBefore = count(p.stdoutText(), "Fail to pusblish");
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "Fail to pusblish") > failedBefore; }, 90s)) << p.stdoutText();
    std::this_thread::sleep_for(2s);
    probe.db.trySaveLog([&] { return orvane_ipc::DataCell{0, {{"OutageOnly", 42.5}}}; });
    std::this_thread::sleep_for(8s);  // two upload intervals: the reading lies in a window walked later
    cloud = startBrokerIn(pid, 1883, dir);
    ASSERT_TRUE(waitUntil([&] { return portOpenIn(pid, 1883); }, 30s));
    cloudSub = startSubscriberIn(pid, 1883, dir);
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("Back online kelva/GW2301234/livedata") != std::string::npos; }, 120s))
        << p.stdoutText();
    EXPECT_NE(p.stdoutText().find("New Last timestamp: "), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return seen(cloudSub, "\"OutageOnly\":42.5"); }, 30s)) << cloudSub->text();

    // SIGTERM ends orvane-lte, and with the sandbox orvane-system.
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 0);
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return systemStatus != -2; }, 60s));
}

}  // namespace
