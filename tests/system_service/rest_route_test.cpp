// The gateway's REST upgrade route against the real orvane-system in the sandbox: the route's
// order and status requests go to the sandbox's /tmp/systemSock (needs root; skipped elsewhere).
#include <signal.h>

#include <filesystem>

#include "platform/paths.h"
#include "sandbox_upgrade.h"
#include "webserver/rest_fixture.h"

using namespace std::chrono_literals;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
namespace fs = std::filesystem;

namespace {

class RestUpgradeRoute : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        orvane::platform::Roots r = orvane::platform::Paths::roots();
        r.runtime = sandbox_.tmpDir() + "/";  // the REST API's system socket is the sandbox's
        orvane::platform::Paths::setForTest(r);
    }
    SandboxProcess sandbox_;
};

TEST_F(RestUpgradeRoute, OrderAndStatusThroughTheProgram) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    orvane::test::prepareUpgradeSandbox(sandbox_);
    ASSERT_TRUE(sandbox_.start({ORVANE_SYSTEM_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(sandbox_.tmpDir() + "/systemSock"); }, 30s));
    const std::string token = login();

    EXPECT_EQ(put("/system/upgrade/fw-3.0", token), common(200, "OK"));  // the route adds ".tar.gz"
    nlohmann::json status;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (!get("/system/upgrade/status", token)) return false;
            status = answer();
            return status.contains("progress") && status["progress"] == 100 &&
                   fs::exists(orvane::test::restartLog(sandbox_));
        },
        120s))
        << out_->view() << sandbox_.stdoutText();
    EXPECT_EQ(status["error_code"], 0);
    orvane::test::expectUpgraded(sandbox_);

    ASSERT_TRUE(sandbox_.signal(SIGTERM));
    EXPECT_EQ(sandbox_.wait(30s), 0);
    EXPECT_NE(orvane::test::readFile(sandbox_.installFile("log/log_system.txt")).find("Get SystemUpdate: fw-3.0.tar.gz"),
              std::string::npos);
}

}  // namespace
