// The real orvane-scada applies its first device-management pass inside the sandbox: the access
// point's settings land in the sandbox's /etc/hostapd.conf, the firewall chain is hooked into
// FORWARD and the forwarding rules are in the sandbox's own iptables.
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

TEST(SystemProgram, FirstPassAppliesNetworkSettingsInsideTheSandbox) {
    if (!SandboxProcess::available()) GTEST_SKIP() << "needs root and namespaces";
    if (!std::filesystem::exists(ORVANE_SCADA_BINARY)) GTEST_SKIP() << "orvane-scada not built";
    if (!std::filesystem::exists("/usr/sbin/iptables")) GTEST_SKIP() << "iptables not installed";
    const char* src = std::getenv("ORVANE_SOURCE_DIR");
    ASSERT_NE(src, nullptr);

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
        r.wifi.mode = 1, r.wifi.enable = false, r.wifi.ssid = "PlantNet", r.wifi.key = "s3cret-key";
        r.system.hwVer = "3.0";
        auto& pf = r.portForwarding[0];
        pf.enable = true, pf.externalIntf = 2, pf.externalPort = 8080, pf.internalPort = 80, pf.internalIP = "192.168.0.10";
        auto& fw = r.firewall[0];
        fw.enable = true, fw.type = 1, fw.srcIntf = 2, fw.protocol = 1, fw.port = 502;
        fw.sourceType = 0, fw.destType = 0, fw.permission = 1;
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
}
