// The socket service on a temporary socket path, clients on liborvane_ipc, and a fake upgrade engine
// that runs until the test releases it.
#include <gtest/gtest.h>

#include <thread>

#include "cloud/ipc_client.h"
#include "cloud_daemon/recording_logger.h"
#include "orvane_ipc/utilities.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"
#include "system_service/service/service_controller.h"

using namespace std::chrono_literals;
using orvane::test::IpcClient;
using orvane::test::waitUntil;

namespace {

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
        orvane::test::writeFile(dir_.file("p.json"), R"({"upgrade": {"url": "file:///x"}, "system": {"swVer": "1.2"}})");
        settings_ = std::make_unique<setting::Settings>(dir_.file("p.json"), log_);
        auto engine = std::make_unique<FakeEngine>();
        engine_ = engine.get();
        controller_ = std::make_unique<service::ServiceController>(
            *settings_, log_, std::move(engine), service::ControllerOptions{dir_.file("sock"), 50ms, 10ms}, runner_);
        thread_ = std::thread([this] { controller_->start(); });
        ASSERT_TRUE(waitUntil([&] { return controller_->listening(); }, 15s));
    }
    void TearDown() override {
        engine_->released = true;
        controller_->stop();
        thread_.join();
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
    std::unique_ptr<setting::Settings> settings_;
    FakeEngine* engine_ = nullptr;
    std::unique_ptr<service::ServiceController> controller_;
    std::thread thread_;
};

// What arrives on one connection, whether a status reply follows, and a line of the log.
TEST_F(Controller, ReadsOfOneConnection) {
    const std::vector<uint8_t> status = orvane_ipc::to_frame(orvane_ipc::request::SystemUpdateStatus());
    std::vector<uint8_t> huge(64, 0);
    huge.insert(huge.end(), status.begin(), status.end());
    // A SystemUpdate frame whose CRC holds but whose payload is too short for its fields.
    std::vector<uint8_t> shortFrame = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x04, 0x00, 0x61, 0x00, 0x02};
    const uint16_t crc = orvane_ipc::Utilities::crc_value(shortFrame.data() + 7, 4);
    shortFrame.insert(shortFrame.end(), {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    const struct {
        const char* what;
        std::vector<std::vector<uint8_t>> writes;  // each followed by a pause
        bool answered;
        const char* logged;
    } cases[] = {
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
    EXPECT_EQ(engine_->runs, 1);
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

TEST(ControllerStart, UnusableSocketPathThrows) {
    orvane::test::TempDir dir{"orvane-sysctl"};
    orvane::test::RecordingLogger log;
    setting::Settings settings(dir.file("missing.json"), log);
    service::ServiceController controller(settings, log, std::make_unique<FakeEngine>(), service::ControllerOptions{dir.file("no/such/sock")});
    EXPECT_THROW(controller.start(), std::runtime_error);
    EXPECT_EQ(log.count(5, "Error creating the acceptor: "), 1u);
}

}  // namespace
