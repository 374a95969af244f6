// A firmware upgrade ordered from the cloud, end to end (needs root; skipped elsewhere): the real
// orvane-lte is the sandbox's program, the real orvane-system runs beside it (they meet at its
// /tmp/systemSock), mosquitto brokers run in the sandbox's network, and the order goes out with
// mosquitto_pub. orvane-system installs the package from /tmp/pkgs and asks for its restart.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "lte_program.h"
#include "support/netns_process.h"
#include "support/system_upgrade.h"

using namespace std::chrono_literals;
using namespace orvane::test;
#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace {

TEST(LteSystemUpgradeProgram, CloudUpgradeCommandReachesOrvaneSystem) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (std::system("command -v mosquitto mosquitto_pub nsenter >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs mosquitto, its clients and nsenter";
    SandboxProcess p;
    writeFile(p.installFile("config/recipes/parameter.json"),
              lteParameters(2, 4, 1884, "1.2.2922", R"(, "upgrade": {"url": "file:///tmp/pkgs"})"));
    ASSERT_TRUE(prepareSystemUpgrade(p));
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    auto cloud = startBrokerIn(pid, 1883, p.tmpDir());
    auto gateway = startBrokerIn(pid, 1884, p.tmpDir());
    ASSERT_TRUE(waitUntil([&] { return portOpenIn(pid, 1883) && portOpenIn(pid, 1884); }, 30s));

    // orvane-system beside it, stub systemctl first in its PATH; the end of orvane-lte takes it along.
    std::atomic<int> systemStatus{-2};
    std::string systemOut;
    std::thread systemThread([&] {
        systemStatus = p.runInside(
            {"sh", "-c", "PATH=/run/sandbox-bin:$PATH exec " + std::string(ORVANE_SYSTEM_BINARY)},
            &systemOut);
    });
    struct Join {
        SandboxProcess& p;
        std::thread& t;
        ~Join() {
            if (!t.joinable()) return;
            p.signal(SIGKILL);
            t.join();
        }
    } joinSystem{p, systemThread};
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(p.tmpDir() + "/systemSock"); }, 30s)) << systemOut;

    // The order, once the cloud link has subscribed to its command topic.
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("kelva/GW2301234/command success") != std::string::npos; }, 90s))
        << p.stdoutText();
    const std::string order = R"({"Upgrade":"scp","fw-3.0.tar.gz"})";
    std::string pubOut;
    ASSERT_EQ(p.runInNetwork({"mosquitto_pub", "-h", "127.0.0.1", "-p", "1883", "-q", "1", "-t", "kelva/GW2301234/command", "-m", order},
                             &pubOut),
              0)
        << pubOut;
    ASSERT_TRUE(waitUntil([&] { return systemRestartAsked(p); }, 120s))
        << p.stdoutText() << readFile(p.installFile("log/log_system.txt"));
    EXPECT_NE(p.stdoutText().find("Get a data srv mqtt message: " + order), std::string::npos);
    EXPECT_NE(p.stdoutText().find("Upgrade system: 2; fw-3.0.tar.gz"), std::string::npos);
    expectSystemUpgraded(p);
    EXPECT_EQ(count(readFile(p.installFile("log/log_system.txt")), "Get SystemUpdate: "), 1u);

    // SIGTERM ends orvane-lte, and with the sandbox orvane-system (its own SIGTERM is the system
    // service's program test).
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 0);
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return systemStatus != -2; }, 60s));
}

}  // namespace
