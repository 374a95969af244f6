// scripts/run-gateway.sh on this build tree, run and stopped as the README says (kill -TERM <its pid>).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace orvane::test;
using namespace std::chrono_literals;

TEST(RunGatewayScript, StartsServesAndStopsTheReadmeWay) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    const std::string source = ORVANE_CHECKOUT_DIR, build = ORVANE_BUILD_TREE;
    SandboxProcess box;
    box.keepReachable(source), box.keepReachable(build);
    // install.sh copies the IPC library to /usr/local/lib: a throw-away layer.
    const std::string prepare =
        "mkdir -p /run/lib-up /run/lib-work && "
        "mount -t overlay overlay -o lowerdir=/usr/local/lib,upperdir=/run/lib-up,workdir=/run/lib-work /usr/local/lib && "
        "exec env ORVANE_BUILD_DIR=\"$1\" bash \"$2/scripts/run-gateway.sh\"";
    ASSERT_TRUE(box.start({"/bin/bash", "-c", prepare, "prepare", build, source}));

    const std::string serving = "serving: web on port 80, Modbus TCP on port 502, serial pass-through on port 1077";
    ASSERT_TRUE(waitUntil([&] { return box.stdoutText().find(serving) != std::string::npos || !box.running(); }, 180s));
    const std::string out = box.stdoutText();
    ASSERT_NE(out.find(serving), std::string::npos) << out << box.stderrText();
    std::smatch pid;
    ASSERT_TRUE(std::regex_search(out, pid, std::regex("orvane-scada, pid ([0-9]+) \\(stop with Ctrl-C, or: kill -TERM \\1\\)"))) << out;
    std::string code;
    EXPECT_EQ(box.runInNetwork({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "http://127.0.0.1/"}, &code), 0);
    EXPECT_EQ(code, "200");
    const std::string all = out + box.stderrText();
    EXPECT_EQ(all.find("Directory nonexistent"), std::string::npos) << all;
    if (!std::filesystem::exists("/dev/input/event2")) {
        EXPECT_NE(all.find("no reset button here (/dev/input/event2 absent)"), std::string::npos) << all;
    }
    EXPECT_EQ(box.runInside({"kill", "-TERM", pid[1].str()}), 0);
    EXPECT_EQ(box.wait(120s), 1) << box.stdoutText() << box.stderrText();
    const std::string log = readFile(box.installFile("log/scada.log"));
    EXPECT_NE(log.find("Process is going down"), std::string::npos) << log;
}
