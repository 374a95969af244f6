// The gateway's IPC server with real stores and a client on liborvane_ipc.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <optional>
#include <thread>

#include "cloud/socket_server.h"
#include "database/database.h"
#include "ipc_client.h"
#include "live/live_data.h"
#include "orvane_ipc/utilities.h"
#include "platform/clock.h"
#include "recipe/recipe_guard.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using orvane::platform::Clock;
using orvane::platform::SimulatedClock;
using orvane::test::IpcClient;
using orvane::test::TempDir;
using orvane::test::waitUntil;
using Pairs = std::vector<std::pair<std::string, double>>;

namespace {

class SocketServerTest : public testing::Test {
protected:
    void SetUp() override {
        live_->attachRecipe(recipe_.get());
        db_ = std::make_unique<DatabaseProxy>(DatabaseOptions{dir_.file("orvanepro.db"), dir_.path()});
        db_->setDiskUsageSource([] { return 1.0f; });
    }
    void TearDown() override { stopServer(); }

    void startServer(std::chrono::milliseconds ltePeriod = std::chrono::hours(1),
                     std::chrono::milliseconds writeTimeout = std::chrono::seconds(10)) {
        SocketServerOptions o;
        o.path = path_;
        o.ltePushPeriod = ltePeriod;
        o.writeTimeout = writeTimeout;
        o.readTimeout = 200ms;
        o.passPause = 50ms;
        server_ = std::make_unique<SocketServer>(*recipe_, *live_, *db_, o);
        thread_ = std::thread([this] { server_->startLoop(); });
        ASSERT_TRUE(waitUntil([this] { return server_->listening(); }, 10s));
    }
    void stopServer() {
        if (!server_) return;
        server_->stop();
        thread_.join();
        server_.reset();
    }
    std::unique_ptr<IpcClient> connect(int servingAfter) {
        auto c = std::make_unique<IpcClient>(path_);
        EXPECT_TRUE(c->ok());
        EXPECT_TRUE(waitUntil([&] { return server_->servingCount() >= servingAfter; }, 10s));
        return c;
    }
    // 400 controller inputs "c<n>", each valued n (or `value`).
    void fillControllers(std::optional<float> value = std::nullopt) {
        std::lock_guard lock(live_->mutex());
        auto& ctl = live_->data().controller;
        for (int n = 0; n < 400; ++n) {
            const int i = n / kControllerValues, j = n % kControllerValues;
            ctl.connected[i] = true;
            ctl.inputs[i].used[j] = true;
            ctl.inputs[i].names[j] = ("c" + std::to_string(n)).c_str();
            ctl.inputs[i].values[j] = value.value_or(static_cast<float>(n));
        }
    }
    void setAnalog(int k, const char* name, float v) {
        std::lock_guard lock(live_->mutex());
        live_->data().analog.names[k] = name;
        live_->data().analog.items[k].val = v;
    }

    TempDir dir_{"orvane-sock"};
    std::string path_ = dir_.file("probeSock");
    std::unique_ptr<RecipeDataGuard> recipe_ = std::make_unique<RecipeDataGuard>();
    std::unique_ptr<LiveDataGuard> live_ = std::make_unique<LiveDataGuard>();
    std::unique_ptr<DatabaseProxy> db_;
    std::unique_ptr<SocketServer> server_;
    std::thread thread_;
};

// Frame length of a cell response with n pairs: 9 overhead, id, timestamp, count, 36 per pair.
constexpr size_t cellFrame(size_t n) { return 9 + 8 + 36 * n; }

TEST_F(SocketServerTest, EachRequestKindGetsItsAnswer) {
    setAnalog(0, "AI1", 1.5f);
    setAnalog(1, "AI2", 2.5f);
    {
        std::lock_guard lock(live_->mutex());
        auto& lte = live_->data().lte;
        lte.carrier = "CMCC";
        lte.imsi = "460001234567890";
        lte.lte_rssi = -70;
        lte.lte_rsrq = -11;
        lte.dataUsageTotalTxMB = 3.25f;
        live_->data().system.Uptime = 999;
    }
    startServer();
    auto c = connect(1);
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        size_t index;   // response kind
        size_t length;  // frame length
    };
    const Case cases[] = {
        {"latest", orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{}), 0, cellFrame(2)},
        {"lte", orvane_ipc::to_frame(orvane_ipc::request::LTEInformation{}), 5, 151},
        {"system live value", orvane_ipc::to_frame(orvane_ipc::request::SystemLiveValue{}), 0, cellFrame(0)},
        {"reboot", orvane_ipc::to_frame(orvane_ipc::request::SystemReboot{}), 0, cellFrame(0)},
        {"controller", orvane_ipc::to_frame(orvane_ipc::request::LatestControllerData{}), 0, cellFrame(0)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_TRUE(c->sendBytes(k.request));
        auto f = c->frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->size(), k.length);
        auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->index(), k.index);
        if (k.index == 0 && k.length == cellFrame(2)) {
            EXPECT_EQ(std::get<0>(*r).cell().values, (Pairs{{"AI1", 1.5}, {"AI2", 2.5}}));
        }
        if (k.index == 5) {
            const auto& lte = std::get<5>(*r);
            EXPECT_EQ(lte.carrier_name().substr(0, 4), "CMCC");
            EXPECT_EQ(lte.imsi().substr(0, 15), "460001234567890");
            EXPECT_EQ(lte.sw_version(), std::string(32, '\0'));  // only the periodic push carries it
            EXPECT_EQ(lte.sys_uptime(), 0u);
            EXPECT_EQ(lte.signal_rssi(), -70.0f);
            EXPECT_EQ(lte.signal_rsrq(), -11.0f);
            EXPECT_EQ(lte.data_usage_total_tx_mb(), 3.25f);
        }
    }
}

TEST_F(SocketServerTest, HistoryAnswersNamedRowsOfTheRequestedInterval) {
    // Rows written by the history's own logging, with a name change in the middle.
    SimulatedClock clock;
    Clock::setForTest(&clock);
    const uint32_t t0 = static_cast<uint32_t>(clock.wallSeconds());
    clock.advance(5s);  // after the start-up check row
    auto cell = [](Pairs p) {
        orvane_ipc::DataCell c;
        c.values = std::move(p);
        return c;
    };
    const std::vector<Pairs> passes = {
        {{"pH", 7.25}, {"ORP", 210.5}},
        {{"pH", 7.5}, {"ORP", 211.0}},
        {{"pH", 7.75}, {"NaN", std::nan("")}, {"Temp", 20.5}},  // NaN is not stored: names move up
        {{"pH", 8.0}, {"Temp", 21.0}},
    };
    std::vector<uint32_t> times;
    for (const Pairs& p : passes) {
        times.push_back(static_cast<uint32_t>(clock.wallSeconds()));
        db_->trySaveLog([&] { return cell(p); });
        clock.advance(11s);
    }
    Clock::setForTest(nullptr);
    startServer();
    auto c = connect(1);

    struct Case {
        const char* name;
        uint32_t start, end;
        uint16_t interval;
        std::vector<std::pair<uint32_t, Pairs>> cells;
    };
    const Case cases[] = {
        {"whole range, 10 s table",
         t0,
         times[3] + 1,
         10,
         {{times[0], {{"pH", 7.25}, {"ORP", 210.5}}},
          {times[1], {{"pH", 7.5}, {"ORP", 211.0}}},
          {times[2], {{"pH", 7.75}, {"Temp", 20.5}}},
          {times[3], {{"pH", 8.0}, {"Temp", 21.0}}}}},
        {"range after the change uses the later names", times[3], times[3], 0, {{times[3], {{"pH", 8.0}, {"Temp", 21.0}}}}},
        {"1 min table holds the first pass only", t0, times[3], 60, {{times[0], {{"pH", 7.25}, {"ORP", 210.5}}}}},
        {"empty range", times[3] + 1, times[3] + 100, 10, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        orvane_ipc::request::HistoricalSensorData req;
        req.start_time(k.start);
        req.end_time(k.end);
        req.interval(k.interval);
        ASSERT_TRUE(c->send(req));
        auto r = c->response();
        ASSERT_TRUE(r);
        ASSERT_EQ(r->index(), 1u);
        const auto& h = std::get<1>(*r);
        ASSERT_EQ(h.count(), k.cells.size());
        for (size_t i = 0; i < k.cells.size(); ++i) {
            EXPECT_EQ(h.cells()[i].timestamp, k.cells[i].first);
            EXPECT_EQ(h.cells()[i].values, k.cells[i].second);
        }
    }
}

TEST_F(SocketServerTest, HistoryTooLargeForOneFrameGoesOutInSeveralOfWholeCells) {
    SimulatedClock clock;
    Clock::setForTest(&clock);
    const uint32_t t0 = static_cast<uint32_t>(clock.wallSeconds());
    clock.advance(5s);
    orvane_ipc::DataCell full;
    for (int k = 0; k < 20; ++k) full.values.emplace_back("value" + std::to_string(k), k);
    for (int row = 0; row < 100; ++row) {  // 100 cells of 20 pairs: 72,604 payload bytes
        db_->trySaveLog([&] { return full; });
        clock.advance(11s);
    }
    const uint32_t t1 = static_cast<uint32_t>(clock.wallSeconds());
    Clock::setForTest(nullptr);
    startServer();
    auto c = connect(1);
    orvane_ipc::request::HistoricalSensorData req;
    req.start_time(t0);
    req.end_time(t1);
    req.interval(10);
    ASSERT_TRUE(c->send(req));
    size_t cells = 0, frames = 0;
    uint32_t last = 0;
    while (cells < 100) {
        auto f = c->frame();
        ASSERT_TRUE(f);
        EXPECT_LE(f->size(), orvane_ipc::kMaxFrame);
        auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
        ASSERT_TRUE(r && r->index() == 1u);
        for (const auto& cell : std::get<1>(*r).cells()) {
            EXPECT_GT(cell.timestamp, last);  // in time order across the frames
            last = cell.timestamp;
            EXPECT_EQ(cell.values, full.values);
            ++cells;
        }
        ++frames;
    }
    EXPECT_EQ(frames, 2u);
}

TEST_F(SocketServerTest, ChangeIsPushedOnceOnOneOfTwoConnectionsAndNeverWithoutOne) {
    recipe_->triggerReload(SCADA_MASK_CLOUD_SERVER | SCADA_MASK_REMOTE_FORWARDING);
    startServer();
    auto a = connect(1);
    auto b = connect(2);
    EXPECT_FALSE(a->frame(1500ms));  // the change made before any connection is not pushed
    EXPECT_FALSE(b->frame(10ms));
    recipe_->triggerReload(SCADA_MASK_GATEWAY_SERVER);
    int reloads = 0;
    for (IpcClient* c : {a.get(), b.get()}) {
        while (auto r = c->response(3s)) reloads += r->index() == 6;
    }
    EXPECT_EQ(reloads, 1);
}

TEST_F(SocketServerTest, LatestDataLargerThanOneReadGoesOutWhole) {
    fillControllers();
    startServer();
    auto c = connect(1);
    ASSERT_TRUE(c->send(orvane_ipc::request::LatestSensorData{}));
    auto f = c->frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->size(), cellFrame(400));
    auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
    ASSERT_TRUE(r);
    const auto& values = std::get<0>(*r).cell().values;
    ASSERT_EQ(values.size(), 400u);
    EXPECT_EQ(values[399], (std::pair<std::string, double>{"c399", 399.0}));
}

TEST_F(SocketServerTest, ShortFrameWithValidCrcIsDroppedAndTheFramesAfterItInTheSameWriteAreAnswered) {
    setAnalog(0, "AI1", 4.0f);
    startServer();
    auto c = connect(1);
    // A HistoricalSensorData frame whose payload holds the command id alone.
    std::vector<uint8_t> bytes = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x02};
    const uint16_t crc = orvane_ipc::Utilities::crc_value(bytes.data() + 7, 2);
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    bytes.push_back(static_cast<uint8_t>(crc));
    for (const auto& f : {orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{}),
                          orvane_ipc::to_frame(orvane_ipc::request::LTEInformation{})})
        bytes.insert(bytes.end(), f.begin(), f.end());
    ASSERT_TRUE(c->sendBytes(bytes));
    auto first = c->response();
    auto second = c->response();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->index(), 0u);
    EXPECT_EQ(std::get<0>(*first).cell().values.size(), 1u);
    EXPECT_EQ(second->index(), 5u);
}

TEST_F(SocketServerTest, PeerCloseEndsTheConnectionAndANewOneIsServed) {
    startServer();
    auto a = connect(1);
    ASSERT_TRUE(waitUntil([&] { return server_->activeConnections() == 1; }, 10s));
    a->close();
    EXPECT_TRUE(waitUntil([&] { return server_->activeConnections() == 0; }, 10s));
    auto b = connect(2);
    ASSERT_TRUE(b->send(orvane_ipc::request::SystemLiveValue{}));
    auto r = b->response();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index(), 0u);
}

TEST_F(SocketServerTest, LteInformationIsPushedEachPeriodWithVersionAndUptime) {
    {
        std::lock_guard lock(live_->mutex());
        live_->data().system.Uptime = 12345;
        live_->data().lte.carrier = "Operator";
    }
    startServer(1s);
    auto c = connect(1);
    auto r = c->response();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->index(), 5u);
    const auto& lte = std::get<5>(*r);
    EXPECT_EQ(lte.sys_uptime(), 12345u);
    EXPECT_EQ(lte.sw_version().substr(0, 18), "1.2.2922(20260907)");
    EXPECT_EQ(lte.carrier_name().substr(0, 8), "Operator");
}

TEST_F(SocketServerTest, StopEndsAConnectionWhosePeerTakesNothing) {
    fillControllers(1.0f);
    startServer(std::chrono::hours(1), std::chrono::hours(1));
    boost::asio::io_context io;
    boost::system::error_code ec;
    namespace local = orvane::platform::local;
    local::Socket peer = local::connect(io, path_, ec);
    ASSERT_FALSE(ec);
    // 200 answers of 14 kB each: far more than the socket holds, and the peer reads none.
    std::vector<uint8_t> requests;
    for (int i = 0; i < 200; ++i) {
        auto f = orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{});
        requests.insert(requests.end(), f.begin(), f.end());
    }
    ASSERT_EQ(local::writeAll(peer, requests.data(), requests.size()), requests.size());
    EXPECT_TRUE(waitUntil(
        [&] {
            int queued = 0;
            return ::ioctl(peer.native_handle(), FIONREAD, &queued) == 0 && queued > 50000;
        },
        30s));
    server_->stop();
    EXPECT_TRUE(waitUntil([&] { return server_->activeConnections() == 0; }, 60s));
    peer.close(ec);
}

TEST_F(SocketServerTest, StopEndsAcceptorAndConnections) {
    startServer();
    auto c = connect(1);
    stopServer();  // joins the acceptor, which joins the connection threads
    EXPECT_TRUE(c->frame(5s) == std::nullopt);
    EXPECT_TRUE(c->closed());
}

}  // namespace
