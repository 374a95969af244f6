// The real orvane-lte in the sandbox with this test's real IPC server at the sandbox's probe
// socket and two mosquitto brokers started inside the sandbox's network namespace (nsenter):
// live data, heartbeat and state, a gateway command, a reload, a broker outage caught up from
// the history, and SIGTERM (needs root; skipped elsewhere).
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
    auto& recipe = probe.recipe;
    auto& db = probe.db;
    TempDir& dir = probe.dir;
    {
        std::lock_guard lock(probe.live->mutex());
        probe.live->data().analog.names[0] = "AI1";
        probe.live->data().analog.items[0].val = 4.5f;
    }
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    auto broker = [&](int port) { return startBrokerIn(pid, port, dir.path()); };
    auto subscriber = [&](int port) { return startSubscriberIn(pid, port, dir.path()); };
    auto cloud = broker(1883);
    auto gateway = broker(1884);
    ASSERT_TRUE(waitUntil([&] { return portOpenIn(pid, 1883) && portOpenIn(pid, 1884); }, 30s));
    auto cloudSub = subscriber(1883);
    auto gatewaySub = subscriber(1884);

    // Heartbeat and state when the gateway link comes up; live data on the data topic.
    ASSERT_TRUE(waitUntil([&] { return gatewaySub->text().find("gw/GW2301234/state {") != std::string::npos; }, 90s))
        << p.stdoutText();
    EXPECT_NE(gatewaySub->text().find("gw/GW2301234/heartbeat {\"cmd\":\"heartbeat\",\"sn\":\"GW2301234\""),
              std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return cloudSub->text().find("\"AI1\":4.5") != std::string::npos; }, 90s))
        << cloudSub->text();
    EXPECT_NE(cloudSub->text().find("kelva/GW2301234/livedata {\"data\":[{\"device\":[{\"pn\":1001"), std::string::npos);

    // A "state" command is answered with the state.
    const size_t states = count(gatewaySub->text(), "gw/GW2301234/state ");
    const std::string pub = "nsenter -t " + std::to_string(pid) +
                            " -n mosquitto_pub -h 127.0.0.1 -p 1884 -q 1 -t gw/GW2301234/cmd -m "
                            "'{\"cmd\":\"state\",\"sn\":\"GW2301234\",\"x\":\"\"}'";
    ASSERT_EQ(std::system(pub.c_str()), 0);
    EXPECT_TRUE(waitUntil([&] { return count(gatewaySub->text(), "gw/GW2301234/state ") > states; }, 30s));

    // A reload rebuilds both links.
    recipe->triggerReload(SCADA_MASK_CLOUD_SERVER);
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "CloudDaemonApp::reset") == 2; }, 30s));
    EXPECT_TRUE(waitUntil([&] { return count(p.stdoutText(), "MQTT Connected.") >= 4; }, 30s)) << p.stdoutText();

    // The cloud broker goes away; readings logged only during the outage reach it afterwards.
    cloudSub->stop();
    cloud->stop();
    // The outage lasts until a publication has failed (the link retries for a few seconds first),
    // so the daemon holds a document and catches up afterwards.
    const size_t failedBefore = count(p.stdoutText(), "Fail to pusblish");
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "Fail to pusblish") > failedBefore; }, 90s))
        << p.stdoutText();
    std::this_thread::sleep_for(2s);
    orvane_ipc::DataCell outage;
    outage.values = {{"OutageOnly", 42.5}};
    db.trySaveLog([&] { return outage; });
    std::this_thread::sleep_for(8s);  // two upload intervals: the reading lies in a window walked later
    cloud = broker(1883);
    ASSERT_TRUE(waitUntil([&] { return portOpenIn(pid, 1883); }, 30s));
    cloudSub = subscriber(1883);
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("Back online kelva/GW2301234/livedata") != std::string::npos; },
                          120s))
        << p.stdoutText();
    EXPECT_NE(p.stdoutText().find("New Last timestamp: "), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return cloudSub->text().find("\"OutageOnly\":42.5") != std::string::npos; }, 30s))
        << cloudSub->text();

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 0);
}

}  // namespace
