#include "support/system_upgrade.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"

namespace orvane::test {

namespace fs = std::filesystem;

bool prepareSystemUpgrade(SandboxProcess& p) {
    p.addStub("systemctl", "echo \"systemctl $*\" >> /tmp/systemctl.log\n");
    writeFile(p.installFile("web/old.html"), "old");
    fs::create_directories(p.installFile("bin"));
    const std::string staging = p.tmpDir() + "/staging";
    writeFile(staging + "/web/index.html", "<html>v3</html>");
    writeFile(staging + "/probes/ph.json", "{}");
    writeFile(staging + "/orvane-system", "new program");
    fs::create_directories(p.tmpDir() + "/pkgs");
    const std::string pkg = kUpgradePackage;
    return std::system(("cd " + staging + " && tar czf ../pkgs/" + pkg + " web probes orvane-system && cd ../pkgs && md5sum " +
                        pkg + " > " + pkg + ".md5")
                           .c_str()) == 0;
}

bool systemRestartAsked(const SandboxProcess& p) { return fs::exists(p.tmpDir() + "/systemctl.log"); }

void expectSystemUpgraded(const SandboxProcess& p) {
    EXPECT_EQ(readFile(p.tmpDir() + "/systemctl.log"), "systemctl restart orvane-system\n");
    EXPECT_EQ(readFile(p.installFile("web/index.html")), "<html>v3</html>");
    EXPECT_FALSE(fs::exists(p.installFile("web/old.html")));
    EXPECT_EQ(readFile(p.installFile("config/probes/ph.json")), "{}");
    EXPECT_EQ(readFile(p.installFile("bin/orvane-system.new")), "new program");
    EXPECT_FALSE(fs::exists(p.tmpDir() + "/orvane_update"));
    const std::string log = readFile(p.installFile("log/log_system.txt"));
    for (const std::string& line : {std::string("Get SystemUpdate: ") + kUpgradePackage,
                                   std::string("Can't find the file /tmp/orvane_update/zImage"),
                                   std::string("Complete to upgrade.")})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

}  // namespace orvane::test
