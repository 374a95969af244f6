// The real orvane-scada applies its first device-management pass inside the sandbox: the access
// point's settings land in the sandbox's /etc/hostapd.conf, the firewall chain is hooked into
// FORWARD and the forwarding rules are in the sandbox's own iptables, and the host sees none of it.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <memory>

#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::SandboxProcess;
using orvane::test::waitUntil;
using orvane::test::writeFile;

#ifndef ORVANE_SCADA_BINARY
#define ORVANE_SCADA_BINARY "orvane-scada"
#endif

namespace {

std::string hostRules() {
    if (!std::filesystem::exists("/usr/sbin/iptables")) return {};
    std::string out;
    FILE* f = ::popen("/usr/sbin/iptables -S 2>&1; /usr/sbin/iptables -t nat -S 2>&1", "r");
    if (!f) return {};
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    ::pclose(f);
    return out;
}

}  // namespace

TEST(SystemProgram, FirstPassAppliesNetworkSettingsInsideTheSandboxOnly) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and namespaces";
    if (!std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "orvane-scada not built";
    if (!std::filesystem::exists("/usr/sbin/iptables")) GTEST_SKIP() << "iptables not installed";
    const char* src = std::getenv("ORVANE_SOURCE_DIR");
    ASSERT_NE(src, nullptr);

    const bool hostHadHostapd = std::filesystem::exists("/etc/hostapd.conf");
    const std::string hostHostapd = hostHadHostapd ? readFile("/etc/hostapd.conf") : "";
    const std::string rulesBefore = hostRules();

    SandboxProcess p;
    writeFile(p.etcFile("hostapd.conf"), "interface=wlan0\nssid=factory\nwpa_passphrase=factory\n");
    std::filesystem::create_directories(p.installFile("script"));
    std::filesystem::copy_file(std::string(src) + "/dist/script/removePortForwarding.sh",
                               p.installFile("script/removePortForwarding.sh"));
    p.addStub("ping", "exit 1\n");  // no Internet in here
    {
        orvane::test::ScopedRoots roots(p.installDir());
        auto recipe = std::make_unique<RecipeDataGuard>();
        auto& r = recipe->recipe;
        r.wifi.mode = 1;
        r.wifi.enable = false;
        r.wifi.ssid = "PlantNet";
        r.wifi.key = "s3cret-key";
        r.system.hwVer = "3.0";
        r.portForwarding[0].enable = true;
        r.portForwarding[0].externalIntf = 2;
        r.portForwarding[0].externalPort = 8080;
        r.portForwarding[0].internalPort = 80;
        r.portForwarding[0].internalIP = "192.168.0.10";
        r.firewall[0].enable = true;
        r.firewall[0].type = 1;
        r.firewall[0].srcIntf = 2;
        r.firewall[0].protocol = 1;
        r.firewall[0].port = 502;
        r.firewall[0].sourceType = 0;
        r.firewall[0].destType = 0;
        r.firewall[0].permission = 1;
        ASSERT_TRUE(recipe->saveToJson());
    }

    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    std::string rules;
    auto sandboxRules = [&] {
        rules.clear();
        std::string nat;
        p.runInside({"/usr/sbin/iptables", "-S"}, &rules);
        p.runInside({"/usr/sbin/iptables", "-t", "nat", "-S"}, &nat);
        rules += nat;
        return rules.find("-A FORWARD -j OV_FW_FORWARD") != std::string::npos &&
               rules.find("--to-destination 192.168.0.10:80") != std::string::npos &&
               rules.find("-A INPUT -i eth0 -p tcp -m tcp --dport 502 -j ACCEPT") != std::string::npos;
    };
    EXPECT_TRUE(waitUntil(sandboxRules, 60s)) << rules << readFile(p.installFile("log/scada.log"));
    EXPECT_TRUE(waitUntil([&] { return readFile(p.etcFile("hostapd.conf")).find("ssid=PlantNet") != std::string::npos; }, 30s));
    EXPECT_EQ(readFile(p.etcFile("hostapd.conf")), "interface=wlan0\nssid=PlantNet\nwpa_passphrase=s3cret-key\n");

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 1) << p.stderrText();

    // The host is as it was.
    EXPECT_EQ(std::filesystem::exists("/etc/hostapd.conf"), hostHadHostapd);
    if (hostHadHostapd) {
        EXPECT_EQ(readFile("/etc/hostapd.conf"), hostHostapd);
    }
    EXPECT_EQ(hostRules(), rulesBefore);
}
