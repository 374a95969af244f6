#pragma once
// Every file-system location the three programs use is derived here from five roots.
// Production uses the defaults; tests point the roots at a temporary tree once, before the
// first component is built (setForTest). The programs read no environment variables.
#include <string>
#include <string_view>

namespace orvane::platform {

struct Roots {
    std::string install = "/opt/kelvaworks/";  // install root, always ends with '/'
    std::string system = "/";                  // root for /etc and /dev style files
    std::string sysfs = "/sys/";
    std::string procfs = "/proc/";
    std::string runtime = "/tmp/";             // directory of the runtime Unix sockets
};

class Paths {
public:
    static const Roots& roots();
    // Test-only: replace the roots. Call before any component is constructed.
    static void setForTest(const Roots& roots);
    static void resetForTest();

    // "<install root><rel>", e.g. install("config/recipes/parameter.json").
    static std::string install(std::string_view rel);
    // "<system root><rel>" for "/etc/..." and "/dev/..." style paths; a leading '/' in rel is dropped.
    static std::string system(std::string_view rel);
    static std::string sysfs(std::string_view rel);
    static std::string procfs(std::string_view rel);
    static std::string runtime(std::string_view rel);
};

}  // namespace orvane::platform
