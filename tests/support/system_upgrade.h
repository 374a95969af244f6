#pragma once
// A firmware upgrade of orvane-system inside a sandbox, from a package holding only web pages,
// probe definitions and a new orvane-system: every row it triggers lands in the sandbox's
// /opt/kelvaworks (production roots would send the /usr/lib rows to the host).
#include <string>

#include "support/sandbox.h"

namespace orvane::test {

// The package's name and the upgrade url to put in parameter.json ("upgrade" → "url").
inline constexpr const char* kUpgradePackage = "fw-3.0.tar.gz";
inline constexpr const char* kUpgradeUrl = "file:///tmp/pkgs";

// Before start(): a stub systemctl noting its arguments in /tmp/systemctl.log, an old web page
// the upgrade replaces, the bin folder, and the package with its .md5 in the sandbox's /tmp/pkgs.
// Returns false when the package could not be built.
bool prepareSystemUpgrade(SandboxProcess& p);

// True once the stub systemctl ran (the restart after a successful upgrade).
bool systemRestartAsked(const SandboxProcess& p);

// The package's files in place, the work folder gone, the one restart asked for, and the
// upgrade's lines in orvane-system's log.
void expectSystemUpgraded(const SandboxProcess& p);

}  // namespace orvane::test
