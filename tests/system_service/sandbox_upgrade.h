#pragma once
// orvane-system in a sandbox, ready to upgrade from the package fw-3.0.tar.gz on file:///tmp/pkgs:
// web pages, probe definitions and the daemon's own new program (rows that all land in the
// sandbox's /opt/kelvaworks), and a stub systemctl that notes its arguments in /tmp/systemctl.log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/sandbox.h"
#include "support/temp_dir.h"

#ifndef ORVANE_SYSTEM_BINARY
#define ORVANE_SYSTEM_BINARY "orvane-system"
#endif

namespace orvane::test {

inline void prepareUpgradeSandbox(SandboxProcess& p) {
    namespace fs = std::filesystem;
    p.addStub("systemctl", "echo \"systemctl $*\" >> /tmp/systemctl.log\n");
    writeFile(p.installFile("config/recipes/parameter.json"),
              R"({"system": {"sn": "GW1", "swVer": "1.2.2922"}, "upgrade": {"url": "file:///tmp/pkgs"}})");
    writeFile(p.installFile("web/old.html"), "old");
    fs::create_directories(p.installFile("bin"));
    const std::string staging = p.tmpDir() + "/staging";
    writeFile(staging + "/web/index.html", "<html>v3</html>");
    writeFile(staging + "/probes/ph.json", "{\"pn\": 50210}");
    writeFile(staging + "/orvane-system", "new program");
    fs::create_directories(p.tmpDir() + "/pkgs");
    const std::string build = "cd " + staging + " && tar czf ../pkgs/fw-3.0.tar.gz web probes orvane-system && cd " +
                              p.tmpDir() + "/pkgs && md5sum fw-3.0.tar.gz > fw-3.0.tar.gz.md5";
    ASSERT_EQ(std::system(build.c_str()), 0);
}

inline std::string restartLog(const SandboxProcess& p) { return p.tmpDir() + "/systemctl.log"; }

// The package's files in place, the work folder gone, the daemon's restart asked for.
inline void expectUpgraded(const SandboxProcess& p) {
    namespace fs = std::filesystem;
    EXPECT_EQ(readFile(restartLog(p)), "systemctl restart orvane-system\n");
    EXPECT_EQ(readFile(p.installFile("web/index.html")), "<html>v3</html>");
    EXPECT_FALSE(fs::exists(p.installFile("web/old.html")));
    EXPECT_EQ(readFile(p.installFile("config/probes/ph.json")), "{\"pn\": 50210}");
    EXPECT_EQ(readFile(p.installFile("bin/orvane-system.new")), "new program");
    EXPECT_FALSE(fs::exists(p.tmpDir() + "/orvane_update"));
}

}  // namespace orvane::test
