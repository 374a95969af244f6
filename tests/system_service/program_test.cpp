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
#include "support/sandbox.h"
#include "support/temp_dir.h"

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
    p.addStub("systemctl", "echo \"systemctl $*\" >> /tmp/systemctl.log\n");
    writeFile(p.installFile("config/recipes/parameter.json"),
              R"({"system": {"sn": "GW1", "swVer": "1.2.2922"}, "upgrade": {"url": "file:///tmp/pkgs"}})");
    writeFile(p.installFile("web/old.html"), "old");
    fs::create_directories(p.installFile("bin"));
    // The package: web pages, probe definitions and the daemon's own new program.
    const std::string staging = p.tmpDir() + "/staging";
    writeFile(staging + "/web/index.html", "<html>v3</html>");
    writeFile(staging + "/probes/ph.json", "{\"pn\": 50210}");
    writeFile(staging + "/orvane-system", "new program");
    fs::create_directories(p.tmpDir() + "/pkgs");
    const std::string build = "cd " + staging + " && tar czf ../pkgs/fw-3.0.tar.gz web probes orvane-system && cd " +
                              p.tmpDir() + "/pkgs && md5sum fw-3.0.tar.gz > fw-3.0.tar.gz.md5";
    ASSERT_EQ(std::system(build.c_str()), 0);

    ASSERT_TRUE(p.start({ORVANE_SYSTEM_BINARY}));
    const std::string sock = p.tmpDir() + "/systemSock";
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sock); }, 30s)) << p.stdoutText();

    orvane::test::RecordingLogger log;
    cloud_daemon::application::SystemConnector connector(log, sock);
    EXPECT_EQ(connector.send_system_update(cloud_daemon::domain::entities::SystemUpgradeMethod::scp, "fw-3.0.tar.gz"),
              0);

    const std::string restarts = p.tmpDir() + "/systemctl.log";
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
    EXPECT_EQ(readFile(restarts), "systemctl restart orvane-system\n");
    EXPECT_EQ(readFile(p.installFile("web/index.html")), "<html>v3</html>");
    EXPECT_FALSE(fs::exists(p.installFile("web/old.html")));
    EXPECT_EQ(readFile(p.installFile("config/probes/ph.json")), "{\"pn\": 50210}");
    EXPECT_EQ(readFile(p.installFile("bin/orvane-system.new")), "new program");
    EXPECT_FALSE(fs::exists(p.tmpDir() + "/orvane_update"));

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
