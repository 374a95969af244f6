// orvane-system's settings, the upgrade engine (real shell, stub tools) and the socket service with a fake engine.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "cloud/ipc_client.h"
#include "cloud_daemon/recording_logger.h"
#include "orvane_ipc/utilities.h"
#include "platform/paths.h"
#include "support/sandbox.h"
#include "support/scoped_roots.h"
#include "support/ipc_peer_cases.h"
#include "support/temp_dir.h"
#include "system_service/service/service_controller.h"
#include "system_service/service/system_upgrade.h"
#include "system_service/setting/settings.h"
#include "webserver/webserver.h"

using namespace std::chrono_literals;
using orvane::test::IpcClient;
using orvane::test::readFile;
using orvane::test::waitUntil;
using orvane::test::writeFile;
namespace fs = std::filesystem;

namespace {

// Notes the progress reported as each download is called.
struct ProbedUpgrade : service::SystemUpgrade {
    using SystemUpgrade::SystemUpgrade;
    std::vector<float> atDownload;
    int download_file(const std::string& url, const std::string& path) override {
        atDownload.push_back(progress());
        return SystemUpgrade::download_file(url, path);
    }
};

void sh(const std::string& line) { ASSERT_EQ(std::system(line.c_str()), 0) << line; }

// The HTTP server serves pkgs/, empty until a test packs into it.
class UpgradeEngine : public ::testing::Test {
public:
    void SetUp() override {
        for (const char* d : {"pkgs", "staging", "sys-root/usr/lib", "sys-root/dev", "web", "config"}) fs::create_directories(dir_.file(d));
        for (auto [s, extra] : {std::pair{"flash_erase", ""}, {"nandwrite", "cp \"$3\" \"$2\"\n"}, {"systemctl", ""}}) {
            writeFile(dir_.file(std::string("bin/") + s), std::string("#!/bin/sh\necho \"") + s + " $*\" >> " + stubLog() + "\n" + extra);
            ::chmod(dir_.file(std::string("bin/") + s).c_str(), 0755);
        }
        ::setenv("PATH", (dir_.file("bin") + ":" + oldPath_).c_str(), 1);
        http_.init(dir_.file("pkgs"));
        thread_ = std::thread([&] { http_.startLoop(); });
        ASSERT_TRUE(waitUntil([&] { return http_.listeningPort() != 0; }, 10s));
    }
    void TearDown() override { http_.stop(), thread_.join(), ::setenv("PATH", oldPath_.c_str(), 1); }

    std::string stubLog() const { return dir_.file("stub.log"); }
    std::string sys(const std::string& rel) const { return dir_.file("sys-root/" + rel); }
    std::string work() const { return orvane::platform::Paths::runtime("orvane_update/"); }
    std::string http() const { return "http://127.0.0.1:" + std::to_string(http_.listeningPort()); }
    void member(const std::string& rel, const std::string& text) { writeFile(dir_.file("staging/" + rel), text); }
    // pkgs/fw.tgz holding the named staging members, and its .md5.
    void pack(const std::string& members) {
        sh("cd " + dir_.file("staging") + " && tar czf ../pkgs/fw.tgz " + members + " && cd ../pkgs && md5sum fw.tgz > fw.tgz.md5");
    }
    int run(const std::string& url, const std::string& name = "fw.tgz", const char* folder = nullptr) {
        writeFile(dir_.file("parameter.json"), R"({"upgrade": {"url": ")" + url + R"("}, "system": {"swVer": "1"}})");
        setting::Settings s(dir_.file("parameter.json"), log_);
        if (folder) s.set_local_folder_for_test(folder);
        return engine_.run(name, s);
    }

    orvane::test::TempDir dir_{"orvane-upgrade"};
    orvane::test::ScopedRoots roots_{dir_.path()};
    orvane::test::RecordingLogger log_;
    ProbedUpgrade engine_{log_, orvane::platform::CommandRunner::get(), service::DownloadOptions{5s, 1, 2s}};
    std::string oldPath_ = std::getenv("PATH");
    WebServer http_{0, 15s, nullptr};
    std::thread thread_;
};

TEST_F(UpgradeEngine, InstallsEveryRowOfAPackageServedOverHttp) {
    // Web pages, probe files and orvane-system's own rows are checked by the whole-program test.
    for (const char* m : {"orvane-nand.dtb", "zImage", "libplctag.so.2.6", "liborvane_ipc.so.1.0", "orvane-lte", "orvane-scada"})
        member(m, std::string("new ") + m);
    pack("orvane-nand.dtb zImage libplctag.so.2.6 liborvane_ipc.so.1.0 orvane-lte orvane-scada");
    writeFile(sys("usr/lib/liborvane_ipc.so.1.0"), "old");
    ASSERT_EQ(::link(sys("usr/lib/liborvane_ipc.so.1.0").c_str(), dir_.file("mapped").c_str()), 0);  // as a program maps it
    writeFile(dir_.file("bin/orvane-lte"), "old");
    EXPECT_EQ(run(http() + "/"), 0);
    EXPECT_EQ(engine_.error_code(), 0u);
    EXPECT_FLOAT_EQ(engine_.progress(), 100.0f);
    // The second download starts from its own base, never from the first one's full percent.
    EXPECT_EQ(engine_.atDownload, (std::vector<float>{10, 90}));
    const std::string d = dir_.path() + "/sys-root/dev/";
    EXPECT_EQ(readFile(stubLog()), "flash_erase " + d + "mtd3 0 0\nnandwrite -p " + d + "mtd3 " + work() + "orvane-nand.dtb\nflash_erase " +
                                       d + "mtd2 0 0\nnandwrite -p " + d + "mtd2 " + work() + "zImage\nsystemctl stop orvane-lte\n"
                                       "systemctl start orvane-lte\nsystemctl stop orvane-scada\nsystemctl start orvane-scada\n");
    const std::pair<std::string, const char*> installed[] = {
        {sys("dev/mtd3"), "new orvane-nand.dtb"}, {sys("dev/mtd2"), "new zImage"}, {sys("usr/lib/libplctag.so.2.6"), "new libplctag.so.2.6"},
        {sys("usr/lib/liborvane_ipc.so.1.0"), "new liborvane_ipc.so.1.0"}, {dir_.file("mapped"), "old"},  // replaced, never written over
        {dir_.file("bin/orvane-lte"), "new orvane-lte"}, {dir_.file("bin/orvane-scada"), "new orvane-scada"}};
    for (const auto& [file, text] : installed) EXPECT_EQ(readFile(file), text) << file;
}

// Failures with their error code, whether the work folder stays, and a line of the log.
TEST_F(UpgradeEngine, FailuresReportTheirErrorCode) {
    // A server that takes the connection and never answers.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    ASSERT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, 4) == 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string stalled = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), files = "file://" + dir_.file("pkgs");
    const struct { const char* what; std::function<void()> prepare; std::string url; uint32_t code; bool folderStays; std::string logged; }
    cases[] = {
        {"404 pages", [] {}, http(), 2, true, "Fail to excute: cd "},  // pkgs still empty
        {"missing .md5", [&] { member("zImage", "K"), pack("zImage"), fs::remove(dir_.file("pkgs/fw.tgz.md5")); },
         files, 1, false, "/fw.tgz.md5. Err 37"},
        {"stalled server", [] {}, stalled, 1, false, "Fail to download the file " + stalled + "/fw.tgz. Err 28"},
        {"corrupt archive", [&] { writeFile(dir_.file("pkgs/fw.tgz"), "not gzip"), sh("cd " + dir_.file("pkgs") + " && md5sum fw.tgz >fw.tgz.md5"); },
         files, 3, false, "Fail to excute: tar zxf "},
        {"failing copy in the fourth row", [&] {
             for (const char* m : {"orvane-nand.dtb", "zImage", "libplctag.so.2.6", "web/index.html"}) member(m, "new");
             member("liborvane_ipc.so.1.0/x", "a folder cannot replace the library");
             pack("orvane-nand.dtb zImage libplctag.so.2.6 liborvane_ipc.so.1.0 web");
         }, files, 4, false, "Fail to excute: rm -rf " + sys("usr/lib/liborvane_ipc.so.1.0.new")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_.file("staging"));
        writeFile(sys("usr/lib/liborvane_ipc.so.1.0"), "old");
        writeFile(dir_.file("web/old.html"), "old");
        log_.clear();
        c.prepare();
        EXPECT_EQ(run(c.url), -1);
        EXPECT_EQ(engine_.error_code(), c.code);
        EXPECT_EQ(fs::exists(work()), c.folderStays);
        EXPECT_EQ(log_.count(4, c.logged), 1u) << c.logged;
    }
    ::close(fd);
    // The fourth row failed after the first three were applied; the rest was not reached.
    EXPECT_EQ(readFile(sys("dev/mtd2")), "new");
    EXPECT_EQ(readFile(sys("usr/lib/libplctag.so.2.6")), "new");
    EXPECT_EQ(readFile(sys("usr/lib/liborvane_ipc.so.1.0")), "old");
    EXPECT_FALSE(fs::exists(sys("usr/lib/liborvane_ipc.so.1.0.new")));
    EXPECT_TRUE(fs::exists(dir_.file("web/old.html")));
}

TEST_F(UpgradeEngine, RefusedNamesAndFoldersRunNothing) {
    for (const std::string& name :
         std::vector<std::string>{"", "-rf", ".", "..", "a b", "x;reboot", "$(id)", "a/b", "a'b", "a\nb", std::string(33, 'f')}) {
        EXPECT_EQ(run("file:///x", name), -1) << name;
        EXPECT_EQ(engine_.error_code(), 1u) << name;
    }
    for (const char* folder : {"/", ""}) {
        EXPECT_EQ(run("file:///x", "fw.tgz", folder), -1);
        EXPECT_EQ(engine_.error_code(), 5u);
    }
    EXPECT_EQ(log_.count(3, "Command: "), 0u);
    EXPECT_EQ(log_.count(4, "invalid file name"), 11u);
    EXPECT_EQ(log_.count(4, "local folder is invalid. /"), 1u);
}

TEST(SystemSettings, ReadsUrlAndVersion) {
    const struct { const char *json, *url, *version, *error; } cases[] = {  // error nullptr: none logged
        {R"({"system": {"swVer": "1.2.2922"}, "upgrade": {"url": "http://u/v4/", "localPath": "/x/"}})", "http://u/v4/", "1.2.2922", nullptr},
        {R"({"upgrade": {"url": "http://u/"}})", "http://u/", "", "exception id: 403"},
        {R"({"upgrade": {"url": 5}, "system": {"swVer": "1"}})", setting::kDefaultUpgradeUrl, "",
         "type must be string, but is number; exception id: 302"},
        {R"({"upgrade": )", setting::kDefaultUpgradeUrl, "", "exception id: 101"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        orvane::test::TempDir dir{"orvane-sysset"};
        orvane::test::ScopedRoots roots(dir.path());
        writeFile(dir.file("parameter.json"), c.json);
        orvane::test::RecordingLogger log;
        setting::Settings s(dir.file("parameter.json"), log);
        EXPECT_EQ(s.url_path(), c.url);
        EXPECT_EQ(s.software_revision(), c.version);
        EXPECT_EQ(s.local_folder(), dir.path() + "/run/orvane_update/");
        EXPECT_EQ(log.count(5, c.error ? c.error : "message: "), c.error ? 1u : 0u);
        EXPECT_EQ(log.count(3, std::string("_url_path: ") + c.url + "; _local_folder: " + s.local_folder()), 1u);
    }
}

// The setter rewrites the version only, with no temporary left; a file that does not parse stays as it is.
TEST(SystemSettings, SetterRewritesTheVersionOnly) {
    orvane::test::TempDir dir{"orvane-sysset"};
    const std::string path = dir.file("parameter.json");
    writeFile(path, R"({"upgrade":{"url":"http://u/"},"system":{"sn":"GW1","swVer":"1.0"},"cellular":[1,2]})");
    orvane::test::RecordingLogger log;
    setting::Settings s(path, log);
    s.software_revision("2.0");
    EXPECT_EQ(s.software_revision(), "2.0");
    EXPECT_EQ(readFile(path), "{\n    \"upgrade\": {\n        \"url\": \"http://u/\"\n    },\n    \"system\": {\n"
                              "        \"sn\": \"GW1\",\n        \"swVer\": \"2.0\"\n    },\n    \"cellular\": [\n        1,\n        2\n    ]\n}");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    writeFile(path, "{broken");
    s.software_revision("3.0");
    EXPECT_EQ(readFile(path), "{broken");
    EXPECT_EQ(s.software_revision(), "2.0");
    EXPECT_EQ(log.count(5, "exception id: 101"), 1u);
}

struct FakeEngine : service::IUpgradeEngine {
    std::atomic<uint32_t> code{0};
    std::atomic<float> percent{0};
    std::atomic<int> result{0}, runs{0};
    std::atomic<bool> throws{false}, released{false};
    std::string last;

    int run(std::string file, const setting::Settings&) override {
        last = file, ++runs;
        waitUntil([&] { return released.exchange(false); }, 60s);
        if (throws) throw std::runtime_error("disk gone");
        return result;
    }
    uint32_t error_code() const override { return code; }
    float progress() override { return percent; }
    void fail_if_no_error(service::UpgradeError e) override {
        uint32_t none = 0;
        code.compare_exchange_strong(none, static_cast<uint32_t>(e));
    }
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        controller_ = std::make_unique<service::ServiceController>(settings_, log_, std::unique_ptr<FakeEngine>(engine_ = new FakeEngine),
                                                                   service::ControllerOptions{dir_.file("sock"), 50ms, 10ms}, runner_);
        thread_ = std::thread([this] { controller_->start(); });
        ASSERT_TRUE(waitUntil([&] { return controller_->listening(); }, 15s));
    }
    void TearDown() override {
        engine_->released = true, controller_->stop(), thread_.join();
        EXPECT_FALSE(fs::exists(dir_.file("sock")));  // its socket file is removed
        controller_.reset();  // its log lines once each
        EXPECT_EQ(log_.count(3, "ServiceController stop..."), 1u);
        EXPECT_EQ(log_.count(3, "ServiceController closed"), 1u);
    }
    orvane_ipc::response::SystemUpdateStatus status() {
        IpcClient c(dir_.file("sock"));
        c.send(orvane_ipc::request::SystemUpdateStatus());
        auto r = c.response();
        return r && r->index() == 10 ? std::get<10>(*r) : orvane_ipc::response::SystemUpdateStatus{};
    }
    void update(const std::string& name) {
        orvane_ipc::request::SystemUpdate u;
        u.file_name(name.c_str(), static_cast<unsigned>(name.size()));
        ASSERT_TRUE(IpcClient(dir_.file("sock")).send(u));
    }

    orvane::test::TempDir dir_{"orvane-sysctl"};
    orvane::test::RecordingLogger log_;
    orvane::platform::RecordingCommandRunner runner_;
    setting::Settings settings_{(writeFile(dir_.file("p.json"), R"({"upgrade": {"url": "file:///x"}, "system": {"swVer": "1.2"}})"),
                                 dir_.file("p.json")), log_};
    FakeEngine* engine_ = nullptr;
    std::unique_ptr<service::ServiceController> controller_;
    std::thread thread_;
};

// What arrives on one connection and whether a status reply follows; an unbindable path fails the start.
TEST_F(Controller, ReadsOfOneConnection) {
    {
        service::ServiceController bad(settings_, log_, std::make_unique<FakeEngine>(), service::ControllerOptions{dir_.file("no/such/sock")});
        EXPECT_THROW(bad.start(), std::runtime_error);
        EXPECT_EQ(log_.count(5, "Error creating the acceptor: "), 1u);
    }
    const std::vector<uint8_t> status = orvane_ipc::to_frame(orvane_ipc::request::SystemUpdateStatus());
    std::vector<uint8_t> huge(64, 0);
    huge.insert(huge.end(), status.begin(), status.end());
    // A SystemUpdate frame whose CRC holds but whose payload is too short for its fields.
    std::vector<uint8_t> shortFrame = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x04, 0x00, 0x61, 0x00, 0x02};
    const uint16_t crc = orvane_ipc::Utilities::crc_value(shortFrame.data() + 7, 4);
    shortFrame.insert(shortFrame.end(), {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    const struct { const char* what; std::vector<std::vector<uint8_t>> writes; bool answered; const char* logged; } cases[] = {  // pause after writes
        {"a status before any upgrade", {status}, true, "Get SystemUpdateStatus: 0: 0%"},
        {"64 bytes dropped, then a status", {huge}, true, "request_handler get huge data. 64"},
        {"a short frame, then a status", {shortFrame, status}, true, "Fail to analyze the request: "},
        {"another kind", {orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData())}, false, "Connection closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        IpcClient client(dir_.file("sock"));
        for (const auto& w : c.writes) {
            ASSERT_TRUE(client.sendBytes(w));
            std::this_thread::sleep_for(300ms);
        }
        auto f = client.frame(c.answered ? 15s : 2s);
        ASSERT_EQ(f.has_value(), c.answered);
        if (f) {
            EXPECT_EQ(f->size(), 19u);
            auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
            ASSERT_TRUE(r && r->index() == 10);
            EXPECT_EQ(std::get<10>(*r), orvane_ipc::response::SystemUpdateStatus());  // 0 % and code 0
            EXPECT_FALSE(client.frame(5s));  // one request per connection: the server closes it
            EXPECT_TRUE(client.closed());
        }
        ASSERT_TRUE(waitUntil([&] { return log_.has("Connection closed"); }, 15s));
        EXPECT_TRUE(log_.has(c.logged));
    }
    EXPECT_EQ(engine_->runs, 0);
}

TEST_F(Controller, CleanStopRemovesTheSocketFileOnlyWhileItIsStillItsOwn) {
    orvane::test::RecordingLogger log;
    std::optional<service::ServiceController> other;
    std::thread serving;
    orvane::test::expectOwnSocketFileRemovedOnStop(
        dir_.file("own"),
        [&] {
            other.emplace(settings_, log, std::make_unique<FakeEngine>(), service::ControllerOptions{dir_.file("own"), 10ms, 10ms});
            serving = std::thread([&] { other->start(); });
            EXPECT_TRUE(waitUntil([&] { return other->listening(); }, 15s));
        },
        [&] { other->stop(), serving.join(), other.reset(); });
}

// Peers repeating what the service refuses, each on a connection of its own, while an upgrade runs.
TEST_F(Controller, RepeatedRefusedRequestsAreLoggedOncePerIntervalWithTheirCount) {
    orvane::platform::SimulatedClock clock;
    orvane::test::ScopedClock installed(clock);
    orvane_ipc::request::SystemUpdate order;
    order.file_name("again.tgz", 9);
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {orvane::test::frameWithPayload(97, {0, 2}), "Fail to analyze the request: Fail to get char. Pos:4; size:4"},
        {std::vector<uint8_t>(64, 0), "request_handler get huge data. 64"},
        {orvane_ipc::to_frame(order), "An upgrade is running; SystemUpdate ignored: again.tgz"},
    };
    for (const auto& [bytes, line] : cases) {
        SCOPED_TRACE(line);
        orvane::test::RecordingLogger log;
        auto* engine = new FakeEngine;
        service::ServiceController busy(settings_, log, std::unique_ptr<FakeEngine>(engine),
                                        service::ControllerOptions{dir_.file("busy"), 0ms, 10ms}, runner_);
        std::thread serving([&] { busy.start(); });
        EXPECT_TRUE(waitUntil([&] { return busy.listening(); }, 15s));
        EXPECT_TRUE(IpcClient(dir_.file("busy")).send(order));
        EXPECT_TRUE(waitUntil([&] { return engine->runs == 1; }, 15s));
        orvane::test::expectThrottledLines(
            clock, line,
            [&](int n) {
                const size_t closed = log.count(3, "Connection closed") + static_cast<size_t>(n);
                for (int i = 0; i < n; ++i) ASSERT_TRUE(IpcClient(dir_.file("busy")).sendBytes(bytes));
                ASSERT_TRUE(waitUntil([&] { return log.count(3, "Connection closed") >= closed; }, 60s));
            },
            [&](const std::string& text) { return log.count(4, text); },
            [&] { engine->released = true, busy.stop(), serving.join(); });
    }
}

TEST_F(Controller, OneUpgradeAtATimeStatusMeanwhileRestartOnlyAfterSuccess) {
    update(std::string(32, 'p') + "-beyond-the-field");
    ASSERT_TRUE(waitUntil([&] { return engine_->runs == 1; }, 15s));
    EXPECT_EQ(engine_->last, std::string(32, 'p'));
    EXPECT_EQ(log_.count(3, "Current software version 1.2"), 1u);
    engine_->percent = 42.5f;
    EXPECT_EQ(status().progress(), 42.5f);
    update("second.tgz");
    ASSERT_TRUE(waitUntil([&] { return log_.has("SystemUpdate ignored: second.tgz"); }, 15s));
    engine_->released = true;
    ASSERT_TRUE(waitUntil([&] { return runner_.lines().size() == 1; }, 15s));
    EXPECT_EQ(runner_.lines(), std::vector<std::string>{"systemctl restart orvane-system"});
    // The next orders run again: a failure keeps its code, a throw gives code 4; neither restarts.
    engine_->result = -1, engine_->code = 3;
    for (int i = 2; i <= 3; ++i) {
        ASSERT_TRUE(controller_->wait_idle(15s));
        update("a.tgz");
        ASSERT_TRUE(waitUntil([&] { return engine_->runs == i; }, 15s));
        engine_->released = true;
        ASSERT_TRUE(controller_->wait_idle(15s));
        EXPECT_EQ(status().error_code(), i == 2 ? 3u : 4u);
        engine_->code = 0, engine_->throws = true;
    }
    EXPECT_EQ(log_.count(4, "Fail to upgrade: disk gone"), 1u);
    EXPECT_EQ(runner_.lines().size(), 1u);
}

}  // namespace
