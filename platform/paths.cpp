#include "platform/paths.h"

#include <mutex>

namespace orvane::platform {
namespace {

std::mutex& rootsMutex() {
    static std::mutex m;
    return m;
}

Roots& current() {
    static Roots r;
    return r;
}

std::string withSlash(std::string s) {
    if (s.empty() || s.back() != '/') s.push_back('/');
    return s;
}

std::string join(const std::string& root, std::string_view rel) {
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    std::string out = root;
    out.append(rel);
    return out;
}

}  // namespace

const Roots& Paths::roots() { return current(); }

void Paths::setForTest(const Roots& roots) {
    std::lock_guard lock(rootsMutex());
    Roots r = roots;
    r.install = withSlash(r.install);
    r.system = withSlash(r.system);
    r.sysfs = withSlash(r.sysfs);
    r.procfs = withSlash(r.procfs);
    r.runtime = withSlash(r.runtime);
    current() = r;
}

void Paths::resetForTest() {
    std::lock_guard lock(rootsMutex());
    current() = Roots{};
}

std::string Paths::install(std::string_view rel) { return join(current().install, rel); }
std::string Paths::system(std::string_view rel) { return join(current().system, rel); }
std::string Paths::sysfs(std::string_view rel) { return join(current().sysfs, rel); }
std::string Paths::procfs(std::string_view rel) { return join(current().procfs, rel); }
std::string Paths::runtime(std::string_view rel) { return join(current().runtime, rel); }

}  // namespace orvane::platform
