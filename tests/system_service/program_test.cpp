// The real orvane-system inside the sandbox: orvane-lte's system connector orders an upgrade from
// a package on file://, status polls follow it to the end, and the files land in the sandbox's
// /opt/kelvaworks (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include "cloud/ipc_client.h"
#include "cloud_daemon/application/system_connector.h"
#include "cloud_daemon/recording_logger.h"
#include "sandbox_upgrade.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
using orvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

#define REQUIRE_SANDBOX() \
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare"

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
    orvane::test::prepareUpgradeSandbox(p);

    ASSERT_TRUE(p.start({ORVANE_SYSTEM_BINARY}));
    const std::string sock = p.tmpDir() + "/systemSock";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sock); }, 30s)) << p.stdoutText();

    orvane::test::RecordingLogger log;
    cloud_daemon::application::SystemConnector connector(log, sock);
    EXPECT_EQ(connector.send_system_update(cloud_daemon::domain::entities::SystemUpgradeMethod::scp, "fw-3.0.tar.gz"),
              0);

    const std::string restarts = orvane::test::restartLog(p);
    float progress = -1;
    uint32_t code = 99;
    ASSERT_TRUE(waitUntil(
        [&] {
            orvane::test::IpcClient c(sock);
            c.send(orvane_ipc::request::SystemUpdateStatus());
            auto r = c.response(10s);
            if (!r || r->index() != 10) return false;
            progress = std::get<10>(*r).progress();
            code = std::get<10>(*r).error_code();
            return progress >= 100 && fs::exists(restarts);
        },
        120s))
        << p.stdoutText();
    EXPECT_EQ(code, 0u);
    orvane::test::expectUpgraded(p);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
    const std::string logText = readFile(p.installFile("log/log_system.txt"));
    for (const char* line : {"[Orvane-system: ", "Get SystemUpdate: fw-3.0.tar.gz",
                             "Current software version 1.2.2922", "Can't find the file /tmp/orvane_update/zImage",
                             "Complete to upgrade.", "ServiceController stop...", "ServiceController closed"})
        EXPECT_NE(logText.find(line), std::string::npos) << line;
}

}  // namespace
