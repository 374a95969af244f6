// The real orvane-scada binary with its production paths and ports, inside private mount and
// network namespaces (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <regex>

#include "support/sandbox.h"
#include "support/temp_dir.h"

using orvane::test::SandboxProcess;
using orvane::test::readFile;
using orvane::test::waitUntil;
using namespace std::chrono_literals;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

namespace {

std::string runSimple(const std::string& args) {
    std::string cmd = std::string(ORVANE_SCADA_BINARY) + " " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    if (p) ::pclose(p);
    return out;
}

#define REQUIRE_SANDBOX()                                                   \
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare"

}  // namespace

TEST(ScadaProgram, VersionInAnyPositionPrintsAndLeaves) {
    EXPECT_EQ(runSimple("-v"), "1.2.2922(20260907)\n");
    EXPECT_EQ(runSimple("--version"), "1.2.2922(20260907)\n");
    EXPECT_EQ(runSimple("foo bar -v"), "1.2.2922(20260907)\n");
}

TEST(ScadaProgram, VersionWritesNoLogFile) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY, "--version"}));
    EXPECT_EQ(p.wait(60s), 0);
    EXPECT_EQ(p.stdoutText(), "1.2.2922(20260907)\n");
    EXPECT_FALSE(std::filesystem::exists(p.installFile("log/scada.log")));
}

TEST(ScadaProgram, StartsLogsAndStopsOnSigterm) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SCADA": 3}})");
    // "-version" and "-vv" are not the version switch: the gateway starts.
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY, "-version", "-vv"}));
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("check whether port 80 is in use:true") != std::string::npos; }, 60s))
        << readFile(log) << p.stderrText();
    std::string text = readFile(log);
    EXPECT_NE(text.find("] [info] ["), std::string::npos);
    EXPECT_NE(text.find("scada starts!"), std::string::npos);
    EXPECT_NE(text.find("config file size: -3"), std::string::npos);
    EXPECT_NE(text.find("Port 80 is in use at beginning: false"), std::string::npos);
    EXPECT_NE(text.find("Software Revision: 1.2.2922(20260907)"), std::string::npos);
    // The missing configuration was created from defaults.
    EXPECT_TRUE(std::filesystem::exists(p.installFile("config/recipes/parameter.json")));

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 1) << p.stderrText();
    text = readFile(log);
    auto down = text.find("Process is going down");
    auto exitLine = text.find("Core::init() exit");
    ASSERT_NE(down, std::string::npos) << text;
    ASSERT_NE(exitLine, std::string::npos) << text;
    EXPECT_LT(down, exitLine);
}

TEST(ScadaProgram, GatedLinesFollowRunEnables) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SCADA": 2}})");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string log = p.installFile("log/scada.log");
    // The probe thread's warning about the missing RS-485 device shows that start-up is over
    // (the SIGTERM handler is in place before the threads start).
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("could not be opened") != std::string::npos; }, 60s))
        << readFile(log);
    std::this_thread::sleep_for(2s);
    std::string text = readFile(log);
    EXPECT_NE(text.find("scada starts!"), std::string::npos);
    EXPECT_EQ(text.find("Port 80 is in use at beginning"), std::string::npos);
    EXPECT_EQ(text.find("check whether port"), std::string::npos);
    // Every module was written back to the file.
    std::string levels = readFile(p.installFile("runtime/run_enables.json"));
    EXPECT_NE(levels.find("\"LIBMODBUS\": 2"), std::string::npos) << levels;
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(60s), 1);
    // The exit reason shows at this level.
    EXPECT_TRUE(std::regex_search(readFile(log), std::regex(R"(\[warning\] \[[a-z_.]+:\d+\] Process is going down)"))) << readFile(log);
}

TEST(ScadaProgram, LeavesWithStatusZeroWhenTheGuardPortStaysClosed) {
    REQUIRE_SANDBOX();
    SandboxProcess p;
    orvane::test::writeFile(p.installFile("runtime/run_enables.json"), R"({"log": {"SCADA": 3}})");
    // Guard an unused port: nothing listens on 81 inside the namespace.
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const std::string cfg = p.installFile("config/recipes/parameter.json");
    const std::string log = p.installFile("log/scada.log");
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("check whether port 80") != std::string::npos; }, 60s));
    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_EQ(p.wait(60s), 1);

    std::string text = readFile(cfg);
    auto at = text.find("\"guardPort\"");
    ASSERT_NE(at, std::string::npos);
    auto end = text.find_first_of(",}\n", at);
    text.replace(at, end - at, "\"guardPort\": 81");
    orvane::test::writeFile(cfg, text);

    SandboxProcess q;
    // Same install tree: copy the edited configuration over.
    orvane::test::writeFile(q.installFile("config/recipes/parameter.json"), text);
    // At the default level: the exit reason is a warning.
    orvane::test::writeFile(q.installFile("runtime/run_enables.json"), R"({"log": {"SCADA": 2}})");
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(q.start({ORVANE_SCADA_BINARY}));
    EXPECT_EQ(q.wait(180s), 0) << readFile(q.installFile("log/scada.log"));
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 31s);
    std::string qlog = readFile(q.installFile("log/scada.log"));
    EXPECT_TRUE(std::regex_search(qlog, std::regex(R"(\[warning\] \[[a-z_.]+:\d+\] Port 81 does not exist\. exit)"))) << qlog;
}
