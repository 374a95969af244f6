// The real orvane-lte in the sandbox with this test's real IPC server (needs root; skipped elsewhere).
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>

#include "lte_program.h"

using namespace std::chrono_literals;
using namespace orvane::test;

namespace {

const std::string kParameters = lteParameters(10, 60, 1883, "1.2.2922(20260907)");

TEST(LteProgram, VersionWritesNoLogAndSigtermDuringStartUpEndsTheProgram) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess v;
    ASSERT_TRUE(v.start({ORVANE_LTE_BINARY, "-v"}));
    EXPECT_EQ(v.wait(20s), 0);
    EXPECT_EQ(v.stdoutText(), "Cloud Daemon v1.0.0\n");
    EXPECT_FALSE(std::filesystem::exists(v.installFile("log/log_lte.txt")));

    SandboxProcess p;
    writeFile(p.installFile("config/recipes/parameter.json"), kParameters);
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY, "-s", "/opt/kelvaworks/other.json", "-l", "/opt/kelvaworks/l.txt"}));
    ASSERT_TRUE(waitUntil([&] { return p.stdoutText().find("Applicaiton ") != std::string::npos; }, 30s));
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    const std::string out = p.stdoutText();
    EXPECT_EQ(out.rfind("Applicaiton /opt/kelvaworks/other.json; /opt/kelvaworks/l.txt\n", 0), 0u) << out;
    EXPECT_NE(out.find("Applicaiton Terminated... \n"), std::string::npos);
    EXPECT_NE(readFile(p.installFile("l.txt")).find("LTE Thread: stopped"), std::string::npos);
}

TEST(LteProgram, ConnectsReloadsOnceOnAChangeAndEndsOnSigterm) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    writeFile(p.installFile("config/recipes/parameter.json"), kParameters);
    ProbeServer probe(p.tmpDir() + "/probeSock");  // /tmp/probeSock inside
    ASSERT_TRUE(waitUntil([&] { return probe.server->listening(); }, 10s));
    ASSERT_TRUE(p.start({ORVANE_LTE_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return probe.server->servingCount() == 1; }, 60s)) << p.stdoutText();
    const std::string started = p.stdoutText();
    EXPECT_EQ(count(started, "CloudDaemonApp::reset"), 1u);
    // Entries without ports get no tunnel at start-up.
    EXPECT_EQ(count(started, "Forwarding _OrvanePro: 0 0"), 1u);
    EXPECT_EQ(count(started, "Forwarding _SSHTunnel: 1234 0"), 1u);
    EXPECT_EQ(count(started, "Setup connection "), 0u);
    // Both profiles name one broker: the two sessions of the one client id would evict each other.
    EXPECT_EQ(count(started, "Both MQTT profiles name 127.0.0.1:1883"), 1u);

    probe.recipe->triggerReload(SCADA_MASK_REMOTE_FORWARDING);
    ASSERT_TRUE(waitUntil([&] { return count(p.stdoutText(), "CloudDaemonApp::reset") >= 2; }, 30s)) << p.stdoutText();
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(count(p.stdoutText(), "CloudDaemonApp::reset"), 2u);
    EXPECT_EQ(count(p.stdoutText(), "Receive a Reload message..."), 1u);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 0);
    for (const char* line : {"Applicaiton Terminated... \n", "LTE Thread: stopped", "Application: stopped"})
        EXPECT_EQ(count(p.stdoutText(), line), 1u) << line;
    EXPECT_NE(readFile(p.installFile("log/log_lte.txt")).find("Application: stopped"), std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(p.tmpDir()))  // no socket left but the gateway's
        EXPECT_TRUE(!e.is_socket() || e.path().filename() == "probeSock") << e.path();
    EXPECT_TRUE(std::filesystem::is_socket(p.tmpDir() + "/probeSock"));
}

// Both daemons refuse a command line they do not know before anything starts ("--help" once read as "-l p").
TEST(DaemonPrograms, BadCommandLinesPrintUsageAndStartNothing) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    const std::pair<const char*, const char*> programs[] = {{ORVANE_LTE_BINARY, "orvane-lte"}, {ORVANE_SYSTEM_BINARY, "orvane-system"}};
    for (const auto& [binary, name] : programs)
        for (const char* args : {"--help", "-s a.json stray", "-l"}) {  // unknown, stray, no value
            SCOPED_TRACE(std::string(name) + " " + args);
            SandboxProcess p;
            ASSERT_TRUE(p.start({"/bin/sh", "-c", std::string("cd /tmp && exec \"$0\" ") + args, binary}));
            EXPECT_EQ(p.wait(30s), 2);
            EXPECT_EQ(p.stderrText(), std::string("usage: ") + name + " [-s settings-file] [-l log-file] [-v]\n");
            for (const auto& e : std::filesystem::directory_iterator(p.tmpDir()))  // no log "p", no socket
                EXPECT_TRUE(e.is_directory()) << e.path();  // folders: a checkout under /tmp bound back
            EXPECT_FALSE(std::filesystem::exists(p.installFile("log")));
        }
}

}  // namespace
