#pragma once
// Points every platform root into a temporary tree for the life of the object, and back to the
// production roots afterwards:
//   install <base>/   system <base>/sys-root/   sysfs <base>/sysfs/   procfs <base>/procfs/
//   runtime <base>/run/
#include <string>

#include "platform/paths.h"

namespace orvane::test {

class ScopedRoots {
public:
    explicit ScopedRoots(const std::string& base) {
        orvane::platform::Roots r;
        r.install = base + "/";
        r.system = base + "/sys-root/";
        r.sysfs = base + "/sysfs/";
        r.procfs = base + "/procfs/";
        r.runtime = base + "/run/";
        orvane::platform::Paths::setForTest(r);
    }
    ~ScopedRoots() { orvane::platform::Paths::resetForTest(); }
    ScopedRoots(const ScopedRoots&) = delete;
    ScopedRoots& operator=(const ScopedRoots&) = delete;

    // A file under the system root, e.g. system("dev/ttymxc3").
    static std::string system(const std::string& rel) { return orvane::platform::Paths::system(rel); }
};

}  // namespace orvane::test
