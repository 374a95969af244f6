// The real orvane-system in the sandbox, ordered through the REST upgrade route; every row lands in the sandbox.
#include <signal.h>

#include <filesystem>

#include "support/sandbox.h"
#include "support/system_upgrade.h"
#include "webserver/rest_fixture.h"

using namespace std::chrono_literals;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;

#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace {

class RestUpgradeRoute : public RestTest {
protected:
    void SetUp() override {
        RestTest::SetUp();
        orvane::platform::Roots r = orvane::platform::Paths::roots();
        r.runtime = p.tmpDir() + "/";
        orvane::platform::Paths::setForTest(r);
    }
    SandboxProcess p;
};

TEST_F(RestUpgradeRoute, OrderAndStatusThroughTheProgram) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    orvane::test::writeFile(p.installFile("config/recipes/parameter.json"), std::string(R"({"system": {"sn": "GW1", "swVer": "1.2.2922"}, )") +
                                                                              R"("upgrade": {"url": ")" + orvane::test::kUpgradeUrl + "\"}}");
    ASSERT_TRUE(orvane::test::prepareSystemUpgrade(p));
    ASSERT_TRUE(p.start({ORVANE_SYSTEM_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(p.tmpDir() + "/systemSock"); }, 30s)) << p.stdoutText();
    const std::string token = login();
    EXPECT_EQ(put("/system/upgrade/fw-3.0", token), common(200, "OK"));  // the route adds ".tar.gz"
    nlohmann::json status;
    ASSERT_TRUE(waitUntil([&] {
        if (get("/system/upgrade/status", token)) status = answer();
        return status.contains("progress") && status["progress"] == 100 && orvane::test::systemRestartAsked(p);
    }, 120s)) << out_->view() << p.stdoutText();
    EXPECT_EQ(status["error_code"], 0);
    orvane::test::expectSystemUpgraded(p);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    EXPECT_FALSE(std::filesystem::exists(p.tmpDir() + "/systemSock"));  // a clean stop removes it
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
    const std::string log = orvane::test::readFile(p.installFile("log/log_system.txt"));
    for (const char* line : {"[Orvane-system: ", "Current software version 1.2.2922", "ServiceController stop...", "ServiceController closed"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

}  // namespace
