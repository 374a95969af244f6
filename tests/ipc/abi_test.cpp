// The built shared library: its soname, its dependencies and the names it exports.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <vector>

#include "orvane_ipc/orvane_ipc.h"

namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// "0000000000012345 T name with spaces" -> "name with spaces"
std::string symbol_of(const std::string& nm_line) {
    const auto first = nm_line.find(' ');
    const auto second = nm_line.find(' ', first + 1);
    return nm_line.substr(second + 1);
}

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

const std::set<std::string> kCrcRoutines = {"update_crc_16",     "update_crc_ccitt", "update_crc_sick",
                                            "update_crc_kermit", "update_crc_dnp",   "update_crc_32"};

}  // namespace

TEST(IpcAbi, SonameAndOnlyStandardDependencies) {
    const std::string lib = ORVANE_IPC_LIBRARY;
    ASSERT_TRUE(std::filesystem::exists(lib)) << lib;
    const std::string dyn = run("readelf -d '" + lib + "'");
    EXPECT_NE(dyn.find("Library soname: [liborvane_ipc.so.1]"), std::string::npos) << dyn;
    for (const auto& l : lines(dyn)) {
        if (l.find("(NEEDED)") == std::string::npos) continue;
        const auto open = l.find('['), close = l.find(']');
        const std::string needed = l.substr(open + 1, close - open - 1);
        const bool standard = starts_with(needed, "libstdc++.") || starts_with(needed, "libm.") ||
                              starts_with(needed, "libc.") || starts_with(needed, "libgcc_s.") ||
                              starts_with(needed, "ld-linux") || starts_with(needed, "libasan.") ||
                              starts_with(needed, "libubsan.");
        EXPECT_TRUE(standard) << needed;
    }
}

TEST(IpcAbi, ExportsOnlyNamespaceNamesAndTheCrcRoutines) {
    const std::string lib = ORVANE_IPC_LIBRARY;
    const auto demangled = lines(run("nm -D --defined-only -C '" + lib + "'"));
    ASSERT_GT(demangled.size(), 50u);
    std::set<std::string> crc_seen;
    std::size_t namespace_names = 0;
    for (const auto& l : demangled) {
        const std::string sym = symbol_of(l);
        if (kCrcRoutines.count(sym)) {
            crc_seen.insert(sym);
            continue;
        }
        const bool ours = starts_with(sym, "orvane_ipc::") || starts_with(sym, "vtable for orvane_ipc::") ||
                          starts_with(sym, "typeinfo for orvane_ipc::") ||
                          starts_with(sym, "typeinfo name for orvane_ipc::");
        EXPECT_TRUE(ours) << "exported: " << sym;
        if (ours) ++namespace_names;
    }
    EXPECT_EQ(crc_seen, kCrcRoutines);

    // The C routines are exported unmangled, as functions.
    const auto raw = lines(run("nm -D --defined-only '" + lib + "'"));
    std::set<std::string> unmangled;
    for (const auto& l : raw)
        if (kCrcRoutines.count(symbol_of(l)) && l.find(" T ") != std::string::npos) unmangled.insert(symbol_of(l));
    EXPECT_EQ(unmangled, kCrcRoutines);

    // A few entry points callers rely on.
    const std::string all = run("nm -D --defined-only -C '" + lib + "'");
    for (const char* name : {"orvane_ipc::Service::request_analyze(void const*, ",
                             "orvane_ipc::Service::response_analyze(void const*, ",
                             "orvane_ipc::Utilities::find_frame(void const*, ",
                             "orvane_ipc::Utilities::crc_value(void const*, ",
                             "orvane_ipc::to_frame(orvane_ipc::response::CommandBase const&)",
                             "vtable for orvane_ipc::response::LatestSensorData"})
        EXPECT_NE(all.find(name), std::string::npos) << name;
}

// The fuzz seed corpus stays a set of valid frames: request_* files decode as requests,
// response_* files as responses, others as one or the other.
TEST(IpcAbi, SeedCorpusHoldsValidFrames) {
    const std::filesystem::path dir = ORVANE_IPC_CORPUS;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string name = e.path().filename().string();
        ++files;
        EXPECT_GE(orvane_ipc::Utilities::find_frame(bytes.data(), bytes.size()), 0) << name;
        if (starts_with(name, "request_")) {
            EXPECT_TRUE(orvane_ipc::Service::request_analyze(bytes.data(), bytes.size())) << name;
        } else if (starts_with(name, "response_")) {
            EXPECT_TRUE(orvane_ipc::Service::response_analyze(bytes.data(), bytes.size())) << name;
        } else {
            bool any = false;
            try {
                any = orvane_ipc::Service::request_analyze(bytes.data(), bytes.size()).has_value();
            } catch (const std::out_of_range&) {
            }
            try {
                any = any || orvane_ipc::Service::response_analyze(bytes.data(), bytes.size()).has_value();
            } catch (const std::out_of_range&) {
            }
            EXPECT_TRUE(any) << name;
        }
    }
    EXPECT_GE(files, 24u);
}
