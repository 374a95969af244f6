// The real orvane-lte in the sandbox with this test's real IPC server at the sandbox's probe
// socket and two mosquitto brokers started inside the sandbox's network namespace (nsenter):
// live data, heartbeat and state, a gateway command, a reload, a broker outage caught up from
// the history, and SIGTERM (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <thread>

#include "cloud/socket_server.h"
#include "database/database.h"
#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "support/netns_process.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::portOpenIn;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::TempDir;
using orvane::test::waitUntil;

#ifndef ORVANE_LTE_BINARY
#define ORVANE_LTE_BINARY "orvane-lte"
#endif

namespace {

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

const char* kParameters = R"json({
  "system": {"pn": 1001, "sn": "GW2301234", "swVer": "1.2.2922(20260907)", "portforwardingEnable": false},
  "cloudServer": {"fetchInterval": 2, "uploadInterval": 4, "serverHost": "127.0.0.1", "serverPort": 1883,
                  "username": "u", "password": "p", "dataTopic": "kelva/{sn}/livedata",
                  "alarmTopic": "kelva/{sn}/alarm", "commandTopic": "kelva/{sn}/command"},
  "gatewayServer": {"serverHost": "127.0.0.1", "serverPort": 1884, "username": "u", "password": "p",
                    "commandTopic": "gw/{sn}/cmd", "replyTopic": "gw/{sn}/reply",
                    "heartbeatTopic": "gw/{sn}/heartbeat", "stateTopic": "gw/{sn}/state"},
  "orvaneProRemote": {"gatewayServerPort": 0, "gatewayMonitorPort": 0, "sshMonitorPort": 0,
                      "serialportServerPort": 0, "serialportMonitorPort": 0},
  "portForwarding": []
})json";

TEST(LteMqttProgram, CarriesDataHeartbeatAndCommandsAndCatchesUpAfterAnOutage) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (std::system("command -v mosquitto mosquitto_sub mosquitto_pub nsenter >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs mosquitto clients and nsenter";
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("config/recipes/parameter.json"), kParameters);

    TempDir dir{"orvane-lte-mqtt"};
    auto recipe = std::make_unique<RecipeDataGuard>();
    auto live = std::make_unique<LiveDataGuard>(recipe.get());
    {
        std::lock_guard lock(live->mutex());
        live->data().analog.names[0] = "AI1";
        live->data().analog.items[0].val = 4.5f;
    }
    DatabaseProxy db(DatabaseOptions{dir.file("orvanepro.db"), dir.path()});
    db.setDiskUsageSource([] { return 1.0f; });
    SocketServerOptions o;
    o.path = p.tmpDir() + "/probeSock";
    SocketServer server(*recipe, *live, db, o);
    std::thread serverThread([&] { server.startLoop(); });
    struct Stop {
        SocketServer& s;
        std::thread& t;
        ~Stop() {
            s.stop();
            t.join();
        }
    } stopServer{server, serverThread};

    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    auto broker = [&](int port) { return orvane::test::startBrokerIn(pid, port, dir.path()); };
    auto subscriber = [&](int port) { return orvane::test::startSubscriberIn(pid, port, dir.path()); };
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
