// The socket service on a temporary socket path, with clients on liborvane_ipc and a fake
// upgrade engine that runs until the test lets it finish.
#include <gtest/gtest.h>

#include <condition_variable>
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

class FakeEngine : public service::IUpgradeEngine {
public:
    std::atomic<uint32_t> code{0};
    std::atomic<float> percent{0};
    int result = 0;
    bool throws = false;

    int run(std::string file, const setting::Settings&) override {
        std::unique_lock lock(mutex_);
        names_.push_back(file);
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
        released_ = false;
        if (throws) throw std::runtime_error("disk gone");
        return result;
    }
    uint32_t error_code() const override { return code.load(); }
    float progress() override { return percent.load(); }
    void fail_if_no_error(service::UpgradeError e) override {
        uint32_t none = 0;
        code.compare_exchange_strong(none, static_cast<uint32_t>(e));
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    bool waitRuns(size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 15s, [&] { return names_.size() >= n; });
    }
    std::vector<std::string> names() {
        std::lock_guard lock(mutex_);
        return names_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> names_;
    bool released_ = false;
};

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir_.file("parameter.json"), R"({"upgrade": {"url": "file:///nowhere"}, "system": {"swVer": "1.2"}})");
        settings_ = std::make_unique<setting::Settings>(dir_.file("parameter.json"), log_);
        auto engine = std::make_unique<FakeEngine>();
        engine_ = engine.get();
        service::ControllerOptions o;
        o.socketPath = dir_.file("systemSock");
        o.acceptPause = 50ms;
        o.restartDelay = 10ms;
        controller_ = std::make_unique<service::ServiceController>(*settings_, log_, std::move(engine), o, runner_);
        thread_ = std::thread([this] { controller_->start(); });
        ASSERT_TRUE(waitUntil([&] { return controller_->listening(); }, 15s));
    }
    void TearDown() override {
        engine_->release();
        controller_->stop();
        thread_.join();
        controller_.reset();
    }
    static void writeFile(const std::string& p, const std::string& t) { orvane::test::writeFile(p, t); }
    std::string path() const { return dir_.file("systemSock"); }
    // One status request on a connection of its own.
    std::optional<orvane_ipc::response::SystemUpdateStatus> status() {
        IpcClient c(path());
        if (!c.send(orvane_ipc::request::SystemUpdateStatus())) return std::nullopt;
        auto r = c.response();
        if (!r || r->index() != 10) return std::nullopt;
        return std::get<10>(*r);
    }
    void update(const std::string& name) {
        IpcClient c(path());
        orvane_ipc::request::SystemUpdate u;
        u.firmware_source(2);
        u.file_name(name.c_str(), static_cast<unsigned>(name.size()));
        ASSERT_TRUE(c.send(u));
    }

    orvane::test::TempDir dir_{"orvane-sysctl"};
    orvane::test::RecordingLogger log_;
    orvane::platform::RecordingCommandRunner runner_;
    std::unique_ptr<setting::Settings> settings_;
    FakeEngine* engine_ = nullptr;
    std::unique_ptr<service::ServiceController> controller_;
    std::thread thread_;
};

TEST_F(Controller, StatusBeforeAnyUpgradeIsOneNineteenByteFrame) {
    IpcClient c(path());
    ASSERT_TRUE(c.send(orvane_ipc::request::SystemUpdateStatus()));
    auto f = c.frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->size(), 19u);
    auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
    ASSERT_TRUE(r && r->index() == 10);
    EXPECT_EQ(std::get<10>(*r).error_code(), 0u);
    EXPECT_EQ(std::get<10>(*r).progress(), 0.0f);
    EXPECT_FALSE(c.frame(5s));  // one request per connection: the server closes it
    EXPECT_TRUE(c.closed());
    EXPECT_EQ(log_.count(3, "Get SystemUpdateStatus: 0: 0%"), 1u);
}

// What arrives on one connection, and whether a status reply follows.
TEST_F(Controller, ReadsOfOneConnection) {
    const std::vector<uint8_t> status = orvane_ipc::to_frame(orvane_ipc::request::SystemUpdateStatus());
    // A SystemUpdate frame whose CRC holds but whose payload is too short for its fields.
    std::vector<uint8_t> shortFrame = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x04, 0x00, 0x61, 0x00, 0x02};
    const uint16_t crc = orvane_ipc::Utilities::crc_value(shortFrame.data() + 7, 4);
    shortFrame.push_back(static_cast<uint8_t>(crc >> 8));
    shortFrame.push_back(static_cast<uint8_t>(crc));
    const std::vector<uint8_t> sensor = orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData());

    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> writes;  // each written after a pause
        bool answered;
        const char* logged;
    } cases[] = {
        {"64 bytes dropped, then a status", {[&] {
             std::vector<uint8_t> b(64, 0);
             b.insert(b.end(), status.begin(), status.end());
             return b;
         }()}, true, "request_handler get huge data. 64"},
        {"a frame split over two reads", {{status.begin(), status.begin() + 5}, {status.begin() + 5, status.end()}},
         true, "Get SystemUpdateStatus: "},
        {"a short frame, then a status", {shortFrame, status}, true, "Fail to analyze the request: "},
        {"another kind closes the connection", {sensor}, false, "Connection closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log_.clear();
        IpcClient client(path());
        for (const auto& w : c.writes) {
            ASSERT_TRUE(client.sendBytes(w));
            std::this_thread::sleep_for(300ms);
        }
        auto r = client.response(c.answered ? 15s : 3s);
        EXPECT_EQ(r.has_value(), c.answered);
        if (r) {
            EXPECT_EQ(r->index(), 10u);
        }
        EXPECT_FALSE(client.frame(5s));  // and the server closes the connection
        EXPECT_TRUE(client.closed());
        ASSERT_TRUE(waitUntil([&] { return log_.has("Connection closed"); }, 15s));
        EXPECT_TRUE(log_.has(c.logged));
    }
    EXPECT_TRUE(engine_->names().empty());
}

TEST_F(Controller, ClientThatWritesNothing) {
    { IpcClient c(path()); }
    EXPECT_TRUE(waitUntil([&] { return log_.count(3, "Connection closed") == 1; }, 15s));
}

TEST_F(Controller, StatusDuringAnUpgradeAndOneUpgradeAtATime) {
    const std::string full(32, 'p');
    update(full + "-beyond-the-field");
    ASSERT_TRUE(engine_->waitRuns(1));
    EXPECT_EQ(engine_->names(), std::vector<std::string>{full});
    EXPECT_EQ(log_.count(3, "Current software version 1.2"), 1u);

    engine_->percent = 42.5f;
    auto s = status();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->progress(), 42.5f);
    EXPECT_EQ(s->error_code(), 0u);

    update("second.tgz");
    ASSERT_TRUE(waitUntil([&] { return log_.has("SystemUpdate ignored: second.tgz"); }, 15s));
    EXPECT_EQ(engine_->names().size(), 1u);

    engine_->release();
    ASSERT_TRUE(waitUntil([&] { return runner_.lines().size() == 1; }, 15s));
    EXPECT_EQ(runner_.lines(), std::vector<std::string>{"systemctl restart orvane-system"});
    ASSERT_TRUE(controller_->wait_idle(15s));

    // The next order runs again.
    update("third.tgz");
    EXPECT_TRUE(engine_->waitRuns(2));
}

TEST_F(Controller, FailedOrThrowingUpgradeRestartsNothing) {
    engine_->result = -1;
    engine_->code = 3;
    update("a.tgz");
    ASSERT_TRUE(engine_->waitRuns(1));
    engine_->release();
    ASSERT_TRUE(controller_->wait_idle(15s));
    EXPECT_EQ(status()->error_code(), 3u);

    engine_->code = 0;
    engine_->throws = true;
    update("b.tgz");
    ASSERT_TRUE(engine_->waitRuns(2));
    engine_->release();
    ASSERT_TRUE(waitUntil([&] { return log_.count(4, "Fail to upgrade: disk gone") == 1; }, 15s));
    EXPECT_EQ(status()->error_code(), 4u);
    EXPECT_TRUE(runner_.lines().empty());
}

TEST_F(Controller, StopEndsTheService) {
    controller_->stop();
    thread_.join();
    thread_ = std::thread([] {});
    EXPECT_EQ(log_.count(3, "ServiceController stop..."), 1u);
    EXPECT_EQ(log_.count(3, "ServiceController closed"), 1u);
    EXPECT_FALSE(controller_->listening());
}

TEST(ControllerStart, UnusableSocketPathThrows) {
    orvane::test::TempDir dir{"orvane-sysctl"};
    orvane::test::RecordingLogger log;
    setting::Settings settings(dir.file("missing.json"), log);
    service::ControllerOptions o;
    o.socketPath = dir.file("no/such/folder/systemSock");
    service::ServiceController controller(settings, log, std::make_unique<FakeEngine>(), o);
    EXPECT_THROW(controller.start(), std::runtime_error);
    EXPECT_EQ(log.count(5, "Error creating the acceptor: "), 1u);
}

}  // namespace
