// The real orvane-scada applies its network settings inside the sandbox only; the host sees none of it.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
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

TEST(SystemProgram, FirstPassAppliesNetworkSettingsInsideTheSandboxOnly) {
    if (!SandboxProcess::available() || !std::filesystem::exists(ORVANE_SCADA_BINARY) || !std::filesystem::exists("/usr/sbin/iptables"))
        GTEST_SKIP() << "needs root, namespaces, iptables and orvane-scada";
    const char* src = std::getenv("ORVANE_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    orvane::test::TempDir host{"orvane-system-host"};
    const std::string dump = "{ /usr/sbin/iptables -S 2>&1; /usr/sbin/iptables -t nat -S 2>&1; } > ";
    auto hostRules = [&] { return std::system((dump + host.file("rules")).c_str()) == 0 ? readFile(host.file("rules")) : "?"; };
    auto hostHostapd = [] { return std::filesystem::exists("/etc/hostapd.conf") ? "present: " + readFile("/etc/hostapd.conf") : "absent"; };
    const std::string rulesBefore = hostRules(), hostapdBefore = hostHostapd();

    SandboxProcess p;
    writeFile(p.etcFile("hostapd.conf"), "interface=wlan0\nssid=factory\nwpa_passphrase=factory\n");
    std::filesystem::create_directories(p.installFile("script"));
    std::filesystem::copy_file(std::string(src) + "/dist/script/removePortForwarding.sh", p.installFile("script/removePortForwarding.sh"));
    p.addStub("ping", "exit 1\n");  // no Internet in here
    {
        orvane::test::ScopedRoots roots(p.installDir());
        auto recipe = std::make_unique<RecipeDataGuard>();  // large: on the heap
        auto& r = recipe->recipe;
        r.wifi.mode = 1, r.wifi.enable = false, r.wifi.ssid = "PlantNet", r.wifi.key = "s3cret-key", r.system.hwVer = "3.0";
        auto& f = r.portForwarding[0];
        f.enable = true, f.externalIntf = 2, f.externalPort = 8080, f.internalPort = 80, f.internalIP = "192.168.0.10";
        auto& w = r.firewall[0];
        w.enable = true, w.type = 1, w.srcIntf = 2, w.protocol = 1, w.port = 502, w.sourceType = 0, w.destType = 0, w.permission = 1;
        ASSERT_TRUE(recipe->saveToJson());
    }

    ASSERT_TRUE(p.start({ORVANE_SCADA_BINARY}));
    std::string rules;
    auto sandboxRules = [&] { return rules.clear(), p.runInside({"/bin/bash", "-c", dump + "/dev/stdout"}, &rules), rules; };
    EXPECT_TRUE(waitUntil([&] {
        sandboxRules();
        return rules.find("-A FORWARD -j OV_FW_FORWARD") != std::string::npos && rules.find("--to-destination 192.168.0.10:80") != rules.npos &&
               rules.find("-A INPUT -i eth0 -p tcp -m tcp --dport 502 -j ACCEPT") != std::string::npos;
    }, 60s)) << rules << readFile(p.installFile("log/scada.log"));
    EXPECT_TRUE(waitUntil([&] { return readFile(p.etcFile("hostapd.conf")).find("ssid=PlantNet") != std::string::npos; }, 30s));
    EXPECT_EQ(readFile(p.etcFile("hostapd.conf")), "interface=wlan0\nssid=PlantNet\nwpa_passphrase=s3cret-key\n");

    // The clean-up script removes every forwarding shape, duplicates too; the firewall's rules stay.
    EXPECT_EQ(p.runInside({"/bin/bash", "-c",
        "I=/usr/sbin/iptables; $I -A FORWARD -i eth0 -j DROP && for n in 1 2; do "
        "$I -t nat -A PREROUTING -i wwan0 -p tcp --dport 8080 -j DNAT --to-destination 192.168.0.10:80 && "
        "$I -t nat -A POSTROUTING -d 192.168.0.10 -p tcp --dport 80 -j MASQUERADE && "
        "$I -A FORWARD -i wwan0 -o eth1 -p tcp --dport 80 -d 192.168.0.10 -m state --state NEW,ESTABLISHED,RELATED -j ACCEPT && "
        "$I -A FORWARD -i eth1 -o wwan0 -p tcp --sport 80 -s 192.168.0.10 -m state --state ESTABLISHED,RELATED -j ACCEPT && "
        "$I -t nat -A OUTPUT -p tcp --dport 8080 -j DNAT --to-destination 192.168.0.10:80; done && "
        "bash /opt/kelvaworks/script/removePortForwarding.sh"}), 0);
    EXPECT_EQ(sandboxRules(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n-N OV_FW_FORWARD\n"
                              "-A INPUT -i eth0 -p tcp -m tcp --dport 502 -j ACCEPT\n-A FORWARD -j OV_FW_FORWARD\n-A FORWARD -i eth0 -j DROP\n"
                              "-P PREROUTING ACCEPT\n-P INPUT ACCEPT\n-P OUTPUT ACCEPT\n-P POSTROUTING ACCEPT\n");

    ASSERT_TRUE(p.signal(SIGTERM));
    EXPECT_EQ(p.wait(30s), 1) << p.stderrText();
    // The host is as it was.
    EXPECT_EQ(hostHostapd(), hostapdBefore);
    EXPECT_EQ(hostRules(), rulesBefore);
}
