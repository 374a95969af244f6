// The real orvane-lte in the sandbox with this test's real IPC server at the sandbox's probe
// socket and two mosquitto brokers in the sandbox's network namespace: live data, heartbeat and
// state, a gateway command, a reload, a broker outage caught up from the history, and SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>

#include "lte_program.h"
#include "support/netns_process.h"

using namespace std::chrono_literals;
using namespace orvane::test;

namespace {

TEST(LteMqttProgram, CarriesDataHeartbeatAndCommandsAndCatchesUpAfterAnOutage) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (std::system("command -v mosquitto mosquitto_sub mosquitto_pub nsenter >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs mosquitto clients and nsenter";
    SandboxProcess p;
    writeFile(p.installFile("config/recipes/parameter.json"), lteParameters(2, 4, 1884, "1.2.2922(20260907)"));
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

    // A reload rebuilds both links.
    probe.recipe->triggerReload(SCADA_MASK_CLOUD_SERVER);
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "CloudDaemonApp::reset") == 2; }, 30s));
    EXPECT_TRUE(waitUntil([&] { return count(p.stdoutText(), "MQTT Connected.") >= 4; }, 30s)) << p.stdoutText();

    // The cloud broker goes away until a publication has failed (the link retries for a few
    // seconds first); a reading logged only during the outage reaches it afterwards.
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

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 0);
}

}  // namespace
