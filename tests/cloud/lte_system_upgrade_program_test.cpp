// A firmware upgrade ordered from the cloud, end to end (needs root; skipped elsewhere): the real
// orvane-lte is the sandbox's program, the real orvane-system runs beside it in the same sandbox
// (they meet at its /tmp/systemSock), mosquitto brokers run in the sandbox's network, and the
// order is published on the cloud command topic with mosquitto_pub. orvane-system fetches the
// package from the sandbox's /tmp/pkgs, installs it, asks for its restart (stub systemctl), and
// both programs end cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "cloud/ipc_client.h"
#include "lte_program.h"
#include "support/netns_process.h"
#include "support/system_upgrade.h"

using namespace std::chrono_literals;
using namespace orvane::test;
namespace fs = std::filesystem;
#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace {

// The processes of the sandbox, by name, sorted (seen from inside: its own /proc).
std::vector<std::string> processesInside(SandboxProcess& p) {
    std::string out;
    if (p.runInside({"ps", "-e", "-o", "comm="}, &out) != 0) return {"ps failed: " + out};
    std::vector<std::string> names;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(LteSystemUpgradeProgram, CloudUpgradeCommandReachesOrvaneSystem) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    if (std::system("command -v mosquitto mosquitto_pub nsenter ps >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs mosquitto, its clients, nsenter and ps";
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

    // orvane-system beside it, with the sandbox's PATH (stub systemctl first); its pid inside is
    // noted for the SIGTERM. Should the test end early, the end of orvane-lte takes it along.
    std::atomic<int> systemStatus{-2};
    std::string systemOut;
    std::thread systemThread([&] {
        systemStatus = p.runInside({"sh", "-c",
                                    "echo $$ > /tmp/orvane-system.pid; PATH=/run/sandbox-bin:$PATH exec " +
                                        std::string(ORVANE_SYSTEM_BINARY)},
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
    ASSERT_TRUE(waitUntil([&] { return fs::exists(p.tmpDir() + "/systemSock"); }, 30s)) << systemOut;

    // The order, once the cloud link has subscribed to its command topic.
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("kelva/GW2301234/command success") != std::string::npos; },
                          90s))
        << p.stdoutText();
    const std::string order = R"({"Upgrade":"scp","fw-3.0.tar.gz"})";
    std::string pubOut;
    ASSERT_EQ(p.runInNetwork({"mosquitto_pub", "-h", "127.0.0.1", "-p", "1883", "-q", "1", "-t",
                              "kelva/GW2301234/command", "-m", order},
                             &pubOut),
              0)
        << pubOut;
    ASSERT_TRUE(waitUntil([&] { return systemRestartAsked(p); }, 120s))
        << p.stdoutText() << readFile(p.installFile("log/log_system.txt"));
    EXPECT_NE(p.stdoutText().find("Get a data srv mqtt message: " + order), std::string::npos);
    EXPECT_NE(p.stdoutText().find("Upgrade system: 2; fw-3.0.tar.gz"), std::string::npos);
    expectSystemUpgraded(p);
    EXPECT_EQ(count(readFile(p.installFile("log/log_system.txt")), "Get SystemUpdate: "), 1u);

    // Its status, as the gateway's REST route would ask for it.
    IpcClient status(p.tmpDir() + "/systemSock");
    ASSERT_TRUE(status.send(orvane_ipc::request::SystemUpdateStatus()));
    auto reply = status.response(15s);
    ASSERT_TRUE(reply && reply->index() == 10);
    EXPECT_EQ(std::get<10>(*reply).progress(), 100u);
    EXPECT_EQ(std::get<10>(*reply).error_code(), 0u);

    // SIGTERM ends orvane-system (exit 0, nothing of it left), then orvane-lte.
    std::string killOut;
    ASSERT_EQ(p.runInside({"sh", "-c", "kill -TERM $(cat /tmp/orvane-system.pid)"}, &killOut), 0) << killOut;
    ASSERT_TRUE(waitUntil([&] { return systemStatus != -2; }, 60s));
    systemThread.join();
    EXPECT_EQ(systemStatus, 0) << systemOut;
    EXPECT_NE(systemOut.find("Applicaiton Terminated... \n"), std::string::npos);
    EXPECT_NE(readFile(p.installFile("log/log_system.txt")).find("ServiceController closed"), std::string::npos);
    const std::vector<std::string> alone{"orvane-lte", "ps", "sh"};  // ps itself; sh is the first process
    std::vector<std::string> left;
    EXPECT_TRUE(waitUntil([&] { return (left = processesInside(p)) == alone; }, 30s)) << ::testing::PrintToString(left);
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 0);
    EXPECT_NE(p.stdoutText().find("Applicaiton Terminated... \n"), std::string::npos);
}

}  // namespace
