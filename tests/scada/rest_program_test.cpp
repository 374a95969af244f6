// The REST API of the real orvane-scada on port 80 inside the sandbox, reached with curl from
// within the program's network namespace (needs root; skipped elsewhere).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/sandbox.h"
#include "support/temp_dir.h"

using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
using orvane::test::writeFile;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

namespace {

// curl inside the program's network namespace; the body, or "" when curl failed.
std::string curlIn(pid_t pid, const std::string& args) {
    const std::string cmd = "nsenter --net --target " + std::to_string(pid) +
                            " curl -s --max-time 20 -H 'Expect:' " + args + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (p) ::pclose(p);
    return out;
}

}  // namespace

TEST(ScadaRestProgram, TokensStaticFilesAndParameterJson) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    writeFile(p.installFile("web/index.html"), "<html>gateway</html>");
    writeFile(p.installFile("web/css/site.css"), "body{}");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return curlIn(pid, "http://127.0.0.1/css/site.css") == "body{}"; }, 60s))
        << p.stderrText();
    EXPECT_EQ(curlIn(pid, "http://127.0.0.1/"), "<html>gateway</html>");

    const std::string invalid = "{\n  \"code\":1002,\n  \"msg\":\"Invalid token\"}";
    EXPECT_EQ(curlIn(pid, "http://127.0.0.1/lan/settings"), invalid);
    EXPECT_EQ(curlIn(pid, "-H 'Authorization: forged' http://127.0.0.1/lan/settings"), invalid);
    EXPECT_EQ(curlIn(pid, "-X PUT -d '{}' http://127.0.0.1/reboot"), invalid);

    // The web copy of the configuration is a link to it, made by the first GET.
    const std::string config = p.installFile("config/recipes/parameter.json");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(config); }, 20s));
    EXPECT_EQ(curlIn(pid, "http://127.0.0.1/parameter.json"), invalid);
    const std::string link = p.installFile("web/parameter.json");
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../config/recipes/parameter.json");

    // A PUT without a token neither imports nor rewrites the configuration.
    auto doc = nlohmann::json::parse(readFile(config));
    doc["modbusRtu"]["baudrate"] = 19200;
    const std::string edited = doc.dump();
    writeFile(config, edited);
    EXPECT_EQ(curlIn(pid, "-X PUT --data-binary '{\"system\":{}}' http://127.0.0.1/parameter.json"), invalid);
    EXPECT_EQ(readFile(config), edited);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_GE(p.wait(30s), 0) << p.stderrText();
}

TEST(ScadaRestProgram, LoginTokenRouteLogout) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const pid_t pid = p.programPid();
    ASSERT_GT(pid, 0);
    const std::string login = R"(-X PUT --data-binary '{"name":"admin","password":"tup719","cmdType":0}' )"
                              "http://127.0.0.1/auth";
    std::string text;
    ASSERT_TRUE(waitUntil([&] { return !(text = curlIn(pid, login)).empty(); }, 60s)) << p.stderrText();
    auto j = nlohmann::json::parse(text);
    ASSERT_EQ(j["success"], true) << text;
    EXPECT_EQ(j["role"], 1);
    const std::string token = j["token"];
    const std::string auth = "-H 'Authorization: " + token + "' ";

    j = nlohmann::json::parse(curlIn(pid, auth + "http://127.0.0.1/cellular/settings"));
    EXPECT_EQ(j["apn"], "JTM2M");
    j = nlohmann::json::parse(curlIn(pid, auth + "-X PUT --data-binary '{\"cmdType\":1}' http://127.0.0.1/auth"));
    EXPECT_EQ(j["success"], true);
    EXPECT_EQ(curlIn(pid, auth + "http://127.0.0.1/cellular/settings"),
              "{\n  \"code\":1002,\n  \"msg\":\"Invalid token\"}");

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_GE(p.wait(30s), 0) << p.stderrText();
}
