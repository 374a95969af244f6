// The real orvane-lte binary inside the sandbox, talking to this test's real IPC server, which
// listens at the sandbox's probe socket (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <thread>

#include "cloud/socket_server.h"
#include "database/database.h"
#include "live/live_data.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::SandboxProcess;
using orvane::test::TempDir;
using orvane::test::waitUntil;

#ifndef ORVANE_LTE_BINARY
#define ORVANE_LTE_BINARY "orvane-lte"
#endif

namespace {

#define REQUIRE_SANDBOX() \
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare"

const char* kParameters = R"json({
  "system": {"pn": 1001, "sn": "GW2301234", "swVer": "1.2.2922(20260907)", "portforwardingEnable": false},
  "cloudServer": {"fetchInterval": 10, "uploadInterval": 60, "serverHost": "127.0.0.1", "serverPort": 1883,
                  "username": "u", "password": "p", "dataTopic": "kelva/{sn}/livedata",
                  "alarmTopic": "kelva/{sn}/alarm", "commandTopic": "kelva/{sn}/command"},
  "gatewayServer": {"serverHost": "127.0.0.1", "serverPort": 1883, "username": "u", "password": "p",
                    "commandTopic": "gw/{sn}/cmd", "replyTopic": "gw/{sn}/reply",
                    "heartbeatTopic": "gw/{sn}/heartbeat", "stateTopic": "gw/{sn}/state"},
  "orvaneProRemote": {"gatewayServerPort": 0, "gatewayMonitorPort": 0, "sshMonitorPort": 0,
                      "serialportServerPort": 0, "serialportMonitorPort": 0},
  "portForwarding": []
})json";

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

TEST(LteProgram, VersionPrintsAndWritesNoLog) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY, "-v"}));
    EXPECT_EQ(p.wait(20s), 0);
    EXPECT_EQ(p.stdoutText(), "Cloud Daemon v1.0.0\n");
    EXPECT_FALSE(std::filesystem::exists(p.installFile("log/log_lte.txt")));
}

TEST(LteProgram, SigtermDuringStartUpEndsTheProgram) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("config/recipes/parameter.json"), kParameters);
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY, "-s", "/opt/kelvaworks/other.json", "-l", "/opt/kelvaworks/l.txt", "-x"}));
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("Applicaiton ") != std::string::npos; }, 30s));
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    const std::string out = p.stdoutText();
    EXPECT_EQ(out.rfind("Applicaiton /opt/kelvaworks/other.json; /opt/kelvaworks/l.txt\n", 0), 0u) << out;
    EXPECT_NE(out.find("Applicaiton Terminated... \n"), std::string::npos);
    EXPECT_NE(orvane::test::readFile(p.installFile("l.txt")).find("LTE Thread: stopped"), std::string::npos);
}

TEST(LteProgram, ConnectsReloadsOnceOnAChangeAndEndsOnSigterm) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("config/recipes/parameter.json"), kParameters);

    TempDir dir{"orvane-lte-db"};
    auto recipe = std::make_unique<RecipeDataGuard>();
    auto live = std::make_unique<LiveDataGuard>(recipe.get());
    DatabaseProxy db(DatabaseOptions{dir.file("orvanepro.db"), dir.path()});
    SocketServerOptions o;
    o.path = p.tmpDir() + "/probeSock";  // /tmp/probeSock inside
    SocketServer server(*recipe, *live, db, o);
    std::thread serverThread([&] { server.startLoop(); });
    struct Stop {
        SocketServer& s;
        std::thread& t;
        ~Stop() {
            s.stop();
            t.join();
        }
    } stop{server, serverThread};
    ASSERT_TRUE(waitUntil([&] { return server.listening(); }, 10s));

    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return server.servingCount() == 1; }, 60s)) << p.stdoutText();
    const std::string started = p.stdoutText();
    EXPECT_EQ(count(started, "Applicaiton /opt/kelvaworks/config/recipes/parameter.json; "
                             "/opt/kelvaworks/log/log_lte.txt\n"),
              1u);
    EXPECT_EQ(count(started, "CloudDaemonApp::reset"), 1u);
    // Entries without ports get no tunnel at start-up.
    EXPECT_EQ(count(started, "Forwarding _OrvanePro: 0 0"), 1u);
    EXPECT_EQ(count(started, "Forwarding _SSHTunnel: 1234 0"), 1u);
    EXPECT_EQ(count(started, "Setup connection "), 0u);
    // Both profiles name one broker: the two sessions of the one client id would evict each other.
    EXPECT_EQ(count(started, "Both MQTT profiles name 127.0.0.1:1883"), 1u);

    recipe->triggerReload(SCADA_MASK_REMOTE_FORWARDING);
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "CloudDaemonApp::reset") >= 2; }, 30s))
        << p.stdoutText();
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(count(p.stdoutText(), "CloudDaemonApp::reset"), 2u);
    EXPECT_EQ(count(p.stdoutText(), "Receive a Reload message..."), 1u);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    const std::string out = p.stdoutText();
    EXPECT_EQ(count(out, "Applicaiton Terminated... \n"), 1u);
    EXPECT_EQ(count(out, "LTE Thread: stopped"), 1u);
    EXPECT_EQ(count(out, "Application: stopped"), 1u);
    EXPECT_NE(orvane::test::readFile(p.installFile("log/log_lte.txt")).find("Application: stopped"),
              std::string::npos);
}

}  // namespace
