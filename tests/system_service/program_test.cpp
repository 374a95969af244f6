// The real orvane-system inside the sandbox (needs root; skipped elsewhere), upgrading from a
// package on file:///tmp/pkgs that holds web pages, probe definitions and its own new program:
// rows that all land in the sandbox's /opt/kelvaworks. The order comes from orvane-lte's system
// connector, or from the gateway's REST upgrade route, whose system socket is the sandbox's.
#include <signal.h>

#include <filesystem>

#include "cloud/ipc_client.h"
#include "cloud_daemon/application/system_connector.h"
#include "cloud_daemon/recording_logger.h"
#include "support/sandbox.h"
#include "support/system_upgrade.h"
#include "webserver/rest_fixture.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
using orvane::test::writeFile;
namespace fs = std::filesystem;

#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace {

#define REQUIRE_SANDBOX() \
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare"

// Starts the program with the package in place and a stub systemctl noting its arguments.
void startWithPackage(SandboxProcess& p) {
    writeFile(p.installFile("config/recipes/parameter.json"),
              std::string(R"({"system": {"sn": "GW1", "swVer": "1.2.2922"}, "upgrade": {"url": ")") +
                  orvane::test::kUpgradeUrl + "\"}}");
    ASSERT_TRUE(orvane::test::prepareSystemUpgrade(p));
    ASSERT_TRUE(p.start({ORVANE_SYSTEM_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(p.tmpDir() + "/systemSock"); }, 30s)) << p.stdoutText();
}

bool restarted(const SandboxProcess& p) { return orvane::test::systemRestartAsked(p); }

// The package's files in place, the restart asked for, and a clean end on SIGTERM.
void expectUpgradedAndStop(SandboxProcess& p) {
    orvane::test::expectSystemUpgraded(p);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
    const std::string log = readFile(p.installFile("log/log_system.txt"));
    for (const char* line : {"[Orvane-system: ", "Current software version 1.2.2922", "ServiceController stop...",
                             "ServiceController closed"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST(SystemProgram, VersionPrintsAndWritesNoLog) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    ASSERT_TRUE(p.start({ORVANE_SYSTEM_BINARY, "-v", "-x"}));
    EXPECT_EQ(p.wait(20s), 0);
    EXPECT_EQ(p.stdoutText(), "Orvane System v1.0.0\n");
    EXPECT_FALSE(fs::exists(p.installFile("log/log_system.txt")));
    EXPECT_FALSE(fs::exists(p.tmpDir() + "/systemSock"));
}

TEST(SystemProgram, UpgradeOrderedByTheSystemConnector) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    startWithPackage(p);
    const std::string sock = p.tmpDir() + "/systemSock";
    orvane::test::RecordingLogger log;
    cloud_daemon::application::SystemConnector connector(log, sock);
    EXPECT_EQ(connector.send_system_update(cloud_daemon::domain::entities::SystemUpgradeMethod::scp, "fw-3.0.tar.gz"), 0);
    orvane_ipc::response::SystemUpdateStatus status;
    ASSERT_TRUE(waitUntil(
        [&] {
            orvane::test::IpcClient c(sock);
            c.send(orvane_ipc::request::SystemUpdateStatus());
            auto r = c.response(10s);
            if (r && r->index() == 10) status = std::get<10>(*r);
            return status.progress() >= 100 && restarted(p);
        },
        120s))
        << p.stdoutText();
    EXPECT_EQ(status.error_code(), 0u);
    expectUpgradedAndStop(p);
}

class RestUpgradeRoute : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        orvane::platform::Roots r = orvane::platform::Paths::roots();
        r.runtime = sandbox_.tmpDir() + "/";
        orvane::platform::Paths::setForTest(r);
    }
    SandboxProcess sandbox_;
};

TEST_F(RestUpgradeRoute, OrderAndStatusThroughTheProgram) {
    REQUIRE_SANDBOX();
    startWithPackage(sandbox_);
    const std::string token = login();
    EXPECT_EQ(put("/system/upgrade/fw-3.0", token), common(200, "OK"));  // the route adds ".tar.gz"
    nlohmann::json status;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (get("/system/upgrade/status", token)) status = answer();
            return status.contains("progress") && status["progress"] == 100 && restarted(sandbox_);
        },
        120s))
        << out_->view() << sandbox_.stdoutText();
    EXPECT_EQ(status["error_code"], 0);
    expectUpgradedAndStop(sandbox_);
}

}  // namespace
