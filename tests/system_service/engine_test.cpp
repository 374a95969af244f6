// The upgrade engine in a temporary tree: the real shell, stub MTD tools and systemctl first on
// PATH, packages built here with tar and md5sum, served through file:// and a small HTTP server.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

#include "cloud_daemon/recording_logger.h"
#include "http_stub.h"
#include "platform/paths.h"
#include "support/scoped_roots.h"
#include "support/temp_dir.h"
#include "system_service/service/system_upgrade.h"

using namespace std::chrono_literals;
using orvane::test::readFile;
using orvane::test::writeFile;
using service::SystemUpgrade;
namespace fs = std::filesystem;

namespace {

// The real shell, noting each line with the progress reported when it started.
class SamplingRunner : public orvane::platform::CommandRunner {
public:
    service::IUpgradeEngine* engine = nullptr;
    int shell(const std::string& line) override {
        const float p = engine ? engine->progress() : -1;
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            progress_.push_back(p);
        }
        return real_.shell(line);
    }
    int exec(const std::vector<std::string>& argv) override { return real_.exec(argv); }
    int capture(const std::vector<std::string>& argv, std::string* out, size_t max) override {
        return real_.capture(argv, out, max);
    }
    void syncFs() override {}
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<float> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }

private:
    orvane::platform::SystemCommandRunner real_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<float> progress_;
};

// Notes the progress reported as each download is called.
class ProbedUpgrade : public SystemUpgrade {
public:
    using SystemUpgrade::SystemUpgrade;
    std::vector<float> atDownload;
    int download_file(const std::string& url, const std::string& path) override {
        atDownload.push_back(progress());
        return SystemUpgrade::download_file(url, path);
    }
};

void sh(const std::string& line) { ASSERT_EQ(std::system(line.c_str()), 0) << line; }

class UpgradeEngine : public ::testing::Test {
public:
    void SetUp() override {
        for (const char* d : {"stub-bin", "pkgs", "staging", "sys-root/usr/lib", "sys-root/dev", "bin", "web",
                              "config", "run"})
            fs::create_directories(dir_.file(d));
        stub("flash_erase", "echo \"flash_erase $*\" >> " + stubLog() + "\n");
        stub("nandwrite", "echo \"nandwrite $*\" >> " + stubLog() + "\ncp \"$3\" \"$2\"\n");
        stub("systemctl", "echo \"systemctl $*\" >> " + stubLog() + "\n");
        const char* path = std::getenv("PATH");
        oldPath_ = path ? path : "/usr/bin:/bin";
        ::setenv("PATH", (dir_.file("stub-bin") + ":" + oldPath_).c_str(), 1);
        runner_.engine = &engine_;
    }
    void TearDown() override { ::setenv("PATH", oldPath_.c_str(), 1); }

    void stub(const std::string& name, const std::string& body) {
        writeFile(dir_.file("stub-bin/" + name), "#!/bin/sh\n" + body);
        ::chmod(dir_.file("stub-bin/" + name).c_str(), 0755);
    }
    std::string stubLog() const { return dir_.file("stub.log"); }
    std::string sys(const std::string& rel) const { return dir_.file("sys-root/" + rel); }
    std::string work() const { return orvane::platform::Paths::runtime("orvane_update/"); }
    void member(const std::string& rel, const std::string& text) { writeFile(dir_.file("staging/" + rel), text); }
    // pkgs/<name> holding the named staging members, and its .md5.
    void pack(const std::string& name, const std::string& members) {
        sh("cd " + dir_.file("staging") + " && tar czf ../pkgs/" + name + " " + members);
        sh("cd " + dir_.file("pkgs") + " && md5sum " + name + " > " + name + ".md5");
    }
    setting::Settings& settings(const std::string& url) {
        writeFile(dir_.file("parameter.json"), R"({"upgrade": {"url": ")" + url + R"("}, "system": {"swVer": "1.0"}})");
        settings_ = std::make_unique<setting::Settings>(dir_.file("parameter.json"), log_);
        return *settings_;
    }
    std::string fileUrl() const { return "file://" + dir_.file("pkgs"); }

    orvane::test::TempDir dir_{"orvane-upgrade"};
    orvane::test::ScopedRoots roots_{dir_.path()};
    orvane::test::RecordingLogger log_;
    SamplingRunner runner_;
    ProbedUpgrade engine_{log_, runner_, service::DownloadOptions{5s, 1, 2s}};
    std::unique_ptr<setting::Settings> settings_;
    std::string oldPath_;
};

TEST_F(UpgradeEngine, InstallsEveryRowOfAPackageServedOverHttp) {
    const std::pair<const char*, const char*> members[] = {
        {"orvane-nand.dtb", "DTB"},      {"zImage", "KERNEL"},        {"libplctag.so.2.6", "PLC2"},
        {"liborvane_ipc.so.1.0", "IPC2"}, {"web/index.html", "<new>"}, {"probes/ph.json", "{}"},
        {"orvane-system", "SYS2"},        {"orvane-lte", "LTE2"},      {"orvane-scada", "SCADA2"}};
    for (const auto& [rel, text] : members) member(rel, text);
    pack("fw-2.0.tar.gz", "orvane-nand.dtb zImage libplctag.so.2.6 liborvane_ipc.so.1.0 web probes orvane-system "
                          "orvane-lte orvane-scada");
    // Old files, one of them still open under another name (as a running program maps it).
    writeFile(sys("usr/lib/libplctag.so.2.6"), "PLC1");
    writeFile(sys("usr/lib/liborvane_ipc.so.1.0"), "IPC1");
    ASSERT_EQ(::link(sys("usr/lib/liborvane_ipc.so.1.0").c_str(), dir_.file("mapped-ipc").c_str()), 0);
    writeFile(dir_.file("web/old.html"), "old");
    writeFile(dir_.file("bin/orvane-lte"), "LTE1");

    orvane::test::HttpStub http;
    http.set("fw-2.0.tar.gz", {200, readFile(dir_.file("pkgs/fw-2.0.tar.gz"))});
    http.set("fw-2.0.tar.gz.md5", {200, readFile(dir_.file("pkgs/fw-2.0.tar.gz.md5"))});
    std::vector<float> atRequest;
    http.onRequest([&](const std::string&) { atRequest.push_back(engine_.progress()); });

    EXPECT_EQ(engine_.run("fw-2.0.tar.gz", settings(http.url())), 0);
    EXPECT_EQ(engine_.error_code(), 0u);
    EXPECT_FLOAT_EQ(engine_.progress(), 100.0f);
    EXPECT_EQ(http.requests(), (std::vector<std::string>{"/fw/fw-2.0.tar.gz", "/fw/fw-2.0.tar.gz.md5"}));
    // The second download starts from its own base, never from the first one's full percent.
    EXPECT_EQ(atRequest, (std::vector<float>{10, 90}));
    EXPECT_EQ(engine_.atDownload, (std::vector<float>{10, 90}));

    const std::vector<std::string> lines = runner_.lines();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "rm -rf " + work());
    EXPECT_EQ(lines[2], "cd " + work() + ";md5sum -c " + work() + "/'fw-2.0.tar.gz.md5'");
    EXPECT_EQ(lines[3], "tar zxf " + work() + "/'fw-2.0.tar.gz' -C " + work());
    EXPECT_EQ(lines[8], "rm -rf " + dir_.path() + "/web/; cp -rf " + work() + "web " + dir_.path() + "/");
    EXPECT_EQ(lines[13], "rm -rf " + work());
    const std::vector<float> progress = runner_.progress();
    EXPECT_EQ(std::vector<float>(progress.begin(), progress.begin() + 3), (std::vector<float>{2, 8, 100}));

    const std::string d = dir_.path() + "/sys-root/dev/";
    EXPECT_EQ(readFile(stubLog()), "flash_erase " + d + "mtd3 0 0\nnandwrite -p " + d + "mtd3 " + work() +
                                       "orvane-nand.dtb\nflash_erase " + d + "mtd2 0 0\nnandwrite -p " + d +
                                       "mtd2 " + work() + "zImage\nsystemctl stop orvane-lte\n"
                                       "systemctl start orvane-lte\nsystemctl stop orvane-scada\n"
                                       "systemctl start orvane-scada\n");
    EXPECT_EQ(readFile(sys("dev/mtd3")), "DTB");
    EXPECT_EQ(readFile(sys("dev/mtd2")), "KERNEL");
    EXPECT_EQ(readFile(sys("usr/lib/libplctag.so.2.6")), "PLC2");
    EXPECT_EQ(readFile(sys("usr/lib/liborvane_ipc.so.1.0")), "IPC2");
    EXPECT_EQ(readFile(dir_.file("mapped-ipc")), "IPC1");  // replaced, not written over
    EXPECT_FALSE(fs::exists(sys("usr/lib/liborvane_ipc.so.1.0.new")));
    EXPECT_EQ(readFile(dir_.file("web/index.html")), "<new>");
    EXPECT_FALSE(fs::exists(dir_.file("web/old.html")));
    EXPECT_EQ(readFile(dir_.file("config/probes/ph.json")), "{}");
    EXPECT_EQ(readFile(dir_.file("bin/orvane-system.new")), "SYS2");
    EXPECT_EQ(readFile(dir_.file("bin/orvane-lte")), "LTE2");
    EXPECT_EQ(readFile(dir_.file("bin/orvane-scada")), "SCADA2");
    EXPECT_FALSE(fs::exists(work()));
    EXPECT_EQ(log_.count(3, "Update from " + http.url() + "/fw-2.0.tar.gz to " + work()), 1u);
    EXPECT_EQ(log_.count(4, "Complete to upgrade."), 1u);
}

// Failures, each with its error code, whether the work folder stays, and what is left applied.
TEST_F(UpgradeEngine, FailuresReportTheirErrorCode) {
    struct Case {
        const char* what;
        std::function<std::string(UpgradeEngine&)> prepare;  // returns the base URL
        uint32_t code;
        bool folderStays;
        const char* logged;
    };
    orvane::test::HttpStub http;  // serves 404 pages for every name
    const Case cases[] = {
        {"missing .md5", [](UpgradeEngine& t) {
             t.member("zImage", "K");
             t.pack("fw.tgz", "zImage");
             fs::remove(t.dir_.file("pkgs/fw.tgz.md5"));
             return t.fileUrl();
         }, 1, false, "/fw.tgz.md5. Err 37"},
        {"404 pages", [&](UpgradeEngine&) { return http.url(); }, 2, true, "Fail to excute: cd "},
        {"corrupt archive", [](UpgradeEngine& t) {
             writeFile(t.dir_.file("pkgs/fw.tgz"), "not a gzip archive");
             sh("cd " + t.dir_.file("pkgs") + " && md5sum fw.tgz > fw.tgz.md5");
             return t.fileUrl();
         }, 3, false, "Fail to excute: tar zxf "},
        {"failing copy in the fourth row", [](UpgradeEngine& t) {
             for (const char* m : {"orvane-nand.dtb", "zImage", "libplctag.so.2.6", "web/index.html"}) t.member(m, "new");
             t.member("liborvane_ipc.so.1.0/x", "a folder cannot replace the library");
             t.pack("fw.tgz", "orvane-nand.dtb zImage libplctag.so.2.6 liborvane_ipc.so.1.0 web");
             return t.fileUrl();
         }, 4, false, "Fail to excute: rm -rf " },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_.file("pkgs"));
        fs::remove_all(dir_.file("staging"));
        fs::create_directories(dir_.file("pkgs"));
        fs::remove(stubLog());
        writeFile(sys("usr/lib/libplctag.so.2.6"), "old");
        writeFile(sys("usr/lib/liborvane_ipc.so.1.0"), "old");
        writeFile(dir_.file("web/old.html"), "old");
        log_.clear();
        EXPECT_EQ(engine_.run("fw.tgz", settings(c.prepare(*this))), -1);
        EXPECT_EQ(engine_.error_code(), c.code);
        EXPECT_EQ(fs::exists(work()), c.folderStays);
        EXPECT_TRUE(log_.has(c.logged)) << c.logged;
    }
    // The fourth row failed after the first three were applied; the rest was not reached.
    EXPECT_EQ(readFile(sys("dev/mtd3")), "new");
    EXPECT_EQ(readFile(sys("dev/mtd2")), "new");
    EXPECT_EQ(readFile(sys("usr/lib/libplctag.so.2.6")), "new");
    EXPECT_EQ(readFile(sys("usr/lib/liborvane_ipc.so.1.0")), "old");
    EXPECT_FALSE(fs::exists(sys("usr/lib/liborvane_ipc.so.1.0.new")));
    EXPECT_TRUE(fs::exists(dir_.file("web/old.html")));
}

TEST_F(UpgradeEngine, InvalidWorkFolderRunsNothing) {
    for (const char* folder : {"/", ""}) {
        setting::Settings& s = settings(fileUrl());
        s.set_local_folder_for_test(folder);
        EXPECT_EQ(engine_.run("fw.tgz", s), -1);
        EXPECT_EQ(engine_.error_code(), 5u);
    }
    EXPECT_TRUE(runner_.lines().empty());
    EXPECT_EQ(log_.count(4, "local folder is invalid. /"), 1u);
}

TEST_F(UpgradeEngine, RefusedNamesRunNothing) {
    setting::Settings& s = settings(fileUrl());
    for (const std::string& name : std::vector<std::string>{"", "-rf", ".", "..", "a b", "x;reboot", "$(id)", "a/b", "a'b", "a\nb",
                                   std::string(33, 'f')}) {
        EXPECT_EQ(engine_.run(name, s), -1) << name;
        EXPECT_EQ(engine_.error_code(), 1u) << name;
    }
    EXPECT_TRUE(runner_.lines().empty());
    EXPECT_EQ(log_.count(4, "invalid file name"), 11u);
}

TEST(PackageName, Whitelist) {
    const std::pair<std::string, bool> cases[] = {
        {"fw-1.2_3+4.tar.gz", true}, {std::string(32, 'a'), true}, {std::string(33, 'a'), false},
        {"x-", true},  {"-x", false}, {".hidden", true}, {"..", false}, {"a\tb", false}, {"ä", false}};
    for (const auto& [name, ok] : cases) EXPECT_EQ(service::valid_package_name(name), ok) << name;
}

TEST_F(UpgradeEngine, StalledServerEndsTheDownload) {
    orvane::test::HttpStub http;
    http.set("fw.tgz", {200, "the first bytes", true});
    EXPECT_EQ(engine_.run("fw.tgz", settings(http.url())), -1);
    EXPECT_EQ(engine_.error_code(), 1u);
    EXPECT_EQ(log_.count(4, "Fail to download the file " + http.url() + "/fw.tgz. Err 28"), 1u);
    EXPECT_FALSE(fs::exists(work()));
    EXPECT_EQ(http.requests().size(), 1u);
}

TEST(DownloadProgress, PercentOfTheKnownTotal) {
    const struct {
        curl_off_t total, now;
        float percent;
    } cases[] = {{0, 0, 0}, {0, 5, 0}, {200, 50, 25}, {100, 100, 100}};
    for (const auto& c : cases) {
        std::atomic<float> p{-1};
        EXPECT_EQ(service::download_progress_callback(&p, c.total, c.now, 0, 0), 0);
        EXPECT_FLOAT_EQ(p.load(), c.percent);
    }
}

}  // namespace
