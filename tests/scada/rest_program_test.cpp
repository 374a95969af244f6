// The REST API of the real orvane-scada on port 80 inside the sandbox, reached with curl from
// within the program's network namespace (needs root; skipped elsewhere).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// curl in the program's network: the body, or "" when curl failed.
auto curlIn(SandboxProcess& p) {
    return [&p](std::vector<std::string> args) {
        args.insert(args.begin(), {"curl", "-s", "--max-time", "20", "-H", "Expect:"});
        std::string out;
        return p.runInNetwork(args, &out) == 0 ? out : std::string();
    };
}

}  // namespace

TEST(ScadaRestProgram, StaticFilesTokensAndParameterJson) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    writeFile(p.installFile("web/index.html"), "<html>gateway</html>");
    writeFile(p.installFile("web/css/site.css"), "body{}");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const auto curl = curlIn(p);
    const std::string url = "http://127.0.0.1/";
    ASSERT_TRUE(waitUntil([&] { return curl({url + "css/site.css"}) == "body{}"; }, 60s)) << p.stderrText();
    EXPECT_EQ(curl({url}), "<html>gateway</html>");

    const std::string invalid = "{\n  \"code\":1002,\n  \"msg\":\"Invalid token\"}";
    EXPECT_EQ(curl({url + "lan/settings"}), invalid);
    EXPECT_EQ(curl({"-H", "Authorization: forged", url + "lan/settings"}), invalid);
    EXPECT_EQ(curl({"-X", "PUT", "-d", "{}", url + "reboot"}), invalid);

    // No token: the configuration is not served however it is spelt, and no web copy is made.
    const std::string config = p.installFile("config/recipes/parameter.json");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(config); }, 20s));
    const std::string link = p.installFile("web/parameter.json");
    const char* spellings[] = {"/parameter.json", "/parameter.json?.js", "//parameter.json", "/./parameter.json?x=.png",
                               "/parameter.json/", "/%70arameter%2Ejson?.js", "/css/../parameter.json?.html",
                               "/parameter.json?OzAAGfq", "/parameter.json?8dzDjAD"};
    for (const char* target : spellings) {
        EXPECT_EQ(curl({"--request-target", target, url}), invalid) << target;
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << target;
    }
    // A link that leads out of the web root is no static file.
    fs::create_symlink("../log/scada.log", p.installFile("web/log.js"));
    EXPECT_EQ(curl({url + "log.js"}), "File not found locate 2\r\n");

    // A PUT without a token does not import the configuration (checked once logged in below).
    auto doc = nlohmann::json::parse(readFile(config));
    doc["modbusRtu"]["baudrate"] = 19200;
    writeFile(config, doc.dump());
    EXPECT_EQ(curl({"-X", "PUT", "--data-binary", R"({"system":{}})", url + "parameter.json"}), invalid);
    EXPECT_EQ(curl({"-X", "PUT", "--data-binary", R"({"system":{}})", "--request-target", "/parameter.json?.js", url}),
              invalid);

    // Login, a route with the token, logout: the token no longer opens the route.
    const std::string text =
        curl({"-X", "PUT", "--data-binary", R"({"name":"admin","password":"tup719","cmdType":0})", url + "auth"});
    auto j = nlohmann::json::parse(text);
    ASSERT_EQ(j["success"], true) << text;
    EXPECT_EQ(j["role"], 1);
    const std::string auth = "Authorization: " + j["token"].get<std::string>();
    EXPECT_EQ(nlohmann::json::parse(curl({"-H", auth, url + "cellular/settings"}))["apn"], "JTM2M");
    EXPECT_EQ(nlohmann::json::parse(curl({"-H", auth, url + "modbusRTU/settings"}))["baudrate"], 9600);
    // With the token, the document; its web copy is a link to it.
    const std::string served = curl({"-H", auth, "--request-target", "/parameter.json?.js", url});
    EXPECT_EQ(nlohmann::json::parse(served), nlohmann::json::parse(readFile(config)));
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../config/recipes/parameter.json");
    for (const char* target : spellings) EXPECT_EQ(curl({"--request-target", target, url}), invalid) << target;
    j = nlohmann::json::parse(curl({"-H", auth, "-X", "PUT", "--data-binary", R"({"cmdType":1})", url + "auth"}));
    EXPECT_EQ(j["success"], true);
    EXPECT_EQ(curl({"-H", auth, url + "cellular/settings"}), invalid);

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_GE(p.wait(30s), 0) << p.stderrText();
}

// Start-up removes the temporary files of saves a crash interrupted, and nothing else. A save
// that fails (the configuration's folder read-only) is told; the next one that succeeds stores
// everything in force, which a restart then finds.
TEST(ScadaRestProgram, CrashLeftoversGoAndAFailedSaveIsTold) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and unshare";
    SandboxProcess p;
    // As crashes leave them: a whole one and an empty one (pids no process has), beside a copy
    // kept aside, files the gateway does not write and a save under way (pid 1 runs inside).
    const std::vector<std::pair<std::string, bool>> files = {  // name, a leftover
        {"config/recipes/.parameter.json.tmp.999999.3", true}, {"config/recipes/.template.json.tmp.777777.0", true},
        {"runtime/.opdata.json.tmp.888888.12", true},          {"config/recipes/parameter.json.bad", false},
        {"config/recipes/notes.tmp.999999.1", false},          {"config/recipes/.parameter.json.tmp.1.9", false},
        {"config/probes/.mine.tmp.999999", false}};
    for (const auto& [name, leftover] : files)
        writeFile(p.installFile(name), name.find("777777") != std::string::npos ? "" : "{\"modbusRtu\":{}}");
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    const auto curl = curlIn(p);
    const std::string url = "http://127.0.0.1/";
    auto login = [&] {
        const std::string text =
            curl({"-X", "PUT", "--data-binary", R"({"name":"admin","password":"tup719","cmdType":0})", url + "auth"});
        const auto j = nlohmann::json::parse(text, nullptr, false);
        return j.is_object() ? "Authorization: " + j.value("token", "") : std::string();
    };
    ASSERT_TRUE(waitUntil([&] { return login().size() > 16; }, 60s)) << p.stderrText();
    for (const auto& [name, leftover] : files) EXPECT_EQ(fs::exists(p.installFile(name)), !leftover) << name;

    std::string auth = login();
    auto put = [&](const std::string& route, const std::string& body) {
        return curl({"-H", auth, "-X", "PUT", "--data-binary", body, url + route});
    };
    const std::string dir = "/opt/kelvaworks/config/recipes";
    ASSERT_EQ(p.runInside({"sh", "-c", "mount --bind " + dir + " " + dir + " && mount -o remount,bind,ro " + dir}), 0);
    EXPECT_EQ(put("modbusRTU/settings", R"({"timeout":2222})"),
              "{\n  \"code\":1001,\n  \"msg\":\"Changed but not saved: in force until the restart\"}");
    EXPECT_EQ(nlohmann::json::parse(curl({"-H", auth, url + "modbusRTU/settings"}))["timeout"], 2222);
    const std::string warning = "Save of " + dir + "/parameter.json failed, the file keeps its old content: " +
                                std::strerror(EROFS);
    EXPECT_TRUE(waitUntil([&] { return readFile(p.installFile("log/scada.log")).find(warning) != std::string::npos; },
                          20s));
    ASSERT_EQ(p.runInside({"umount", dir}), 0);
    EXPECT_EQ(put("system/settings", R"({"name":"Basin-A"})"), "{\n  \"code\":200,\n  \"msg\":\"OK\"}");

    ASSERT_TRUE(p.signal(SIGTERM));
    ASSERT_GE(p.wait(30s), 0) << p.stderrText();
    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    ASSERT_TRUE(waitUntil([&] { return (auth = login()).size() > 16; }, 60s)) << p.stderrText();
    EXPECT_EQ(nlohmann::json::parse(curl({"-H", auth, url + "modbusRTU/settings"}))["timeout"], 2222);
    EXPECT_EQ(nlohmann::json::parse(curl({"-H", auth, url + "system/settings"}))["name"], "Basin-A");
    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_GE(p.wait(30s), 0) << p.stderrText();
}
