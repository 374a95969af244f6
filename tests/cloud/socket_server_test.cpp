// The gateway's IPC server with real stores and a client on liborvane_ipc.
#include <gtest/gtest.h>

#include "ipc_client.h"
#include "lte_program.h"
#include "orvane_ipc/utilities.h"
#include "platform/clock.h"
#include "support/ipc_peer_cases.h"
#include "support/log_capture.h"
#include "utils/log.h"

using namespace std::chrono_literals;
using namespace orvane::test;
using orvane::platform::Clock;
using Pairs = std::vector<std::pair<std::string, double>>;

namespace {

class SocketServerTest : public testing::Test {
protected:
    void startServer(std::chrono::milliseconds ltePeriod = 1h, std::chrono::milliseconds writeTimeout = 10s) {
        SocketServerOptions o;
        o.path = path_;
        o.ltePushPeriod = ltePeriod;
        o.writeTimeout = writeTimeout;
        o.readTimeout = 200ms;
        o.passPause = 50ms;
        p_.start(o);
        ASSERT_TRUE(waitUntil([this] { return p_.server->listening(); }, 10s));
    }
    std::unique_ptr<IpcClient> connect(int servingAfter) {
        auto c = std::make_unique<IpcClient>(path_);
        EXPECT_TRUE(c->ok());
        EXPECT_TRUE(waitUntil([&] { return p_.server->servingCount() >= servingAfter; }, 10s));
        return c;
    }
    // 400 controller inputs "c<n>", each valued n.
    void fillControllers() {
        std::lock_guard lock(live_->mutex());
        auto& ctl = live_->data().controller;
        for (int n = 0; n < 400; ++n) {
            const int i = n / kControllerValues, j = n % kControllerValues;
            ctl.connected[i] = true;
            ctl.inputs[i].used[j] = true;
            ctl.inputs[i].names[j] = ("c" + std::to_string(n)).c_str();
            ctl.inputs[i].values[j] = static_cast<float>(n);
        }
    }
    // History rows logged 11 s apart on a simulated clock: their times, then the time after them.
    std::vector<uint32_t> writeHistory(const std::vector<Pairs>& rows, uint32_t& t0) {
        orvane::platform::SimulatedClock clock;
        Clock::setForTest(&clock);
        t0 = static_cast<uint32_t>(clock.wallSeconds());
        clock.advance(5s);  // after the start-up check row
        std::vector<uint32_t> times;
        for (const Pairs& p : rows) {
            times.push_back(static_cast<uint32_t>(clock.wallSeconds()));
            p_.db.trySaveLog([&] { return orvane_ipc::DataCell{0, p}; });
            clock.advance(11s);
        }
        times.push_back(static_cast<uint32_t>(clock.wallSeconds()));
        Clock::setForTest(nullptr);
        return times;
    }
    static orvane_ipc::request::HistoricalSensorData history(uint32_t start, uint32_t end, uint16_t interval) {
        orvane_ipc::request::HistoricalSensorData req;
        req.start_time(start);
        req.end_time(end);
        req.interval(interval);
        return req;
    }

    ProbeServer p_;
    std::string path_ = p_.dir.file("probeSock");
    std::unique_ptr<LiveDataGuard>& live_ = p_.live;
};

// Frame length of a cell response with n pairs: 9 overhead, id, timestamp, count, 36 per pair.
constexpr size_t cellFrame(size_t n) { return 9 + 8 + 36 * n; }

TEST_F(SocketServerTest, EachRequestKindGetsItsAnswerAndLargeOnesGoOutWhole) {
    fillControllers();
    {
        std::lock_guard lock(live_->mutex());
        live_->data().analog.names[0] = "AI1";
        live_->data().analog.items[0].val = 1.5f;
        live_->data().analog.names[1] = "AI2";
        live_->data().analog.items[1].val = 2.5f;
        auto& lte = live_->data().lte;
        lte.carrier = "CMCC";
        lte.lte_rssi = -70;
        live_->data().system.Uptime = 999;
    }
    startServer();
    auto c = connect(1);
    const std::tuple<const char*, std::vector<uint8_t>, size_t, size_t> cases[] = {  // response kind, frame length
        {"latest", orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{}), 0, cellFrame(402)},
        {"lte", orvane_ipc::to_frame(orvane_ipc::request::LTEInformation{}), 5, 151},
        {"other kinds", orvane_ipc::to_frame(orvane_ipc::request::LatestControllerData{}), 0, cellFrame(0)},
    };
    for (const auto& [name, request, index, length] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(c->sendBytes(request));
        auto f = c->frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->size(), length);
        auto r = orvane_ipc::Service::response_analyze(f->data(), f->size());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->index(), index);
        if (length == cellFrame(402)) {
            const auto& values = std::get<0>(*r).cell().values;
            EXPECT_EQ(values[399], (std::pair<std::string, double>{"c399", 399.0}));
            EXPECT_EQ(Pairs(values.begin() + 400, values.end()), (Pairs{{"AI1", 1.5}, {"AI2", 2.5}}));
        }
        if (index == 5) {
            const auto& lte = std::get<5>(*r);
            EXPECT_EQ(lte.carrier_name().substr(0, 4), "CMCC");
            EXPECT_EQ(lte.sw_version(), std::string(32, '\0'));  // only the periodic push carries it
            EXPECT_EQ(lte.sys_uptime(), 0u);
            EXPECT_EQ(lte.signal_rssi(), -70.0f);
        }
    }
}

TEST_F(SocketServerTest, HistoryAnswersNamedRowsOfTheRequestedIntervalInFramesOfWholeCells) {
    Pairs full;
    for (int k = 0; k < 20; ++k) full.emplace_back("value" + std::to_string(k), k);
    std::vector<Pairs> rows = {{{"pH", 7.25}, {"ORP", 210.5}},
                               {{"pH", 7.5}, {"ORP", 211.0}},
                               {{"pH", 7.75}, {"NaN", std::nan("")}, {"Temp", 20.5}},  // NaN not stored
                               {{"pH", 8.0}, {"Temp", 21.0}}};
    rows.insert(rows.end(), 100, full);  // 100 cells of 20 pairs: 72,604 payload bytes
    uint32_t t0 = 0;
    const std::vector<uint32_t> t = writeHistory(rows, t0);
    startServer();
    auto c = connect(1);
    const std::vector<std::pair<uint32_t, Pairs>> all = {{t[0], {{"pH", 7.25}, {"ORP", 210.5}}},
                                                         {t[1], {{"pH", 7.5}, {"ORP", 211.0}}},
                                                         {t[2], {{"pH", 7.75}, {"Temp", 20.5}}},
                                                         {t[3], {{"pH", 8.0}, {"Temp", 21.0}}}};
    const std::tuple<const char*, uint32_t, uint32_t, uint16_t, std::vector<std::pair<uint32_t, Pairs>>> cases[] = {
        {"4 rows, 10 s table", t0, t[3] + 1, 10, all},
        {"range after the change uses the later names", t[3], t[3], 0, {all[3]}},
        {"1 min table holds the first pass only", t0, t[3], 60, {all[0]}},
    };
    for (const auto& [name, start, end, interval, cells] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(c->send(history(start, end, interval)));
        auto r = c->response();
        ASSERT_TRUE(r);
        ASSERT_EQ(r->index(), 1u);
        const auto& h = std::get<1>(*r);
        ASSERT_EQ(h.count(), cells.size());
        for (size_t i = 0; i < cells.size(); ++i) {
            EXPECT_EQ(h.cells()[i].timestamp, cells[i].first);
            EXPECT_EQ(h.cells()[i].values, cells[i].second);
        }
    }

    // Too large for one frame: several frames of whole cells.
    ASSERT_TRUE(c->send(history(t[4], t.back(), 10)));
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
            EXPECT_EQ(cell.values, full);
            ++cells;
        }
        ++frames;
    }
    EXPECT_EQ(frames, 2u);
}

TEST_F(SocketServerTest, ChangeIsPushedOnceOnOneOfTwoConnectionsAndNeverWithoutOne) {
    p_.recipe->triggerReload(SCADA_MASK_CLOUD_SERVER | SCADA_MASK_REMOTE_FORWARDING);
    startServer();
    auto a = connect(1);
    auto b = connect(2);
    EXPECT_FALSE(a->frame(1500ms));  // the change made before any connection is not pushed
    EXPECT_FALSE(b->frame(10ms));
    p_.recipe->triggerReload(SCADA_MASK_GATEWAY_SERVER);
    int reloads = 0;
    for (IpcClient* c : {a.get(), b.get()}) {
        while (auto r = c->response(3s)) reloads += r->index() == 6;
    }
    EXPECT_EQ(reloads, 1);
}

TEST_F(SocketServerTest, ShortFrameWithValidCrcIsDroppedAndTheFramesAfterItInTheSameWriteAreAnswered) {
    {
        std::lock_guard lock(live_->mutex());
        live_->data().analog.names[0] = "AI1";
        live_->data().analog.items[0].val = 4.0f;
    }
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

TEST_F(SocketServerTest, LteIsPushedEachPeriodPeerCloseEndsTheConnectionAndStopEndsTheRest) {
    {
        std::lock_guard lock(live_->mutex());
        live_->data().system.Uptime = 12345;
        live_->data().lte.carrier = "Operator";
    }
    startServer(1s);
    auto a = connect(1);
    auto r = a->response();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->index(), 5u);
    const auto& lte = std::get<5>(*r);
    EXPECT_EQ(lte.sys_uptime(), 12345u);
    EXPECT_EQ(lte.sw_version().substr(0, 18), "1.2.2922(20260907)");
    EXPECT_EQ(lte.carrier_name().substr(0, 8), "Operator");
    ASSERT_TRUE(waitUntil([&] { return p_.server->activeConnections() == 1; }, 10s));
    a->close();
    EXPECT_TRUE(waitUntil([&] { return p_.server->activeConnections() == 0; }, 10s));
    auto b = connect(2);
    p_.stop();  // joins the acceptor, which joins the connection threads
    while (b->frame(5s)) continue;  // pushes made before the stop
    EXPECT_TRUE(b->closed());
}

TEST_F(SocketServerTest, CleanStopRemovesTheSocketFileOnlyWhileItIsStillItsOwn) {
    expectOwnSocketFileRemovedOnStop(path_, [this] { startServer(); }, [this] { p_.stop(); });
}

// Peers repeating request frames that cannot be read, on one connection or on a connection of
// their own for each frame; their good requests are still answered.
TEST_F(SocketServerTest, RepeatedUnreadableFramesAreLoggedOncePerIntervalWithTheirCount) {
    orvane::platform::SimulatedClock clock;
    ScopedClock installed(clock);
    const auto request = orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{});
    const std::tuple<std::vector<uint8_t>, std::string, bool> cases[] = {  // frame, its line, a connection per frame
        {frameWithPayload(97, {0, 2}), "Drop a request frame: Fail to get char. Pos:4; size:4", false},
        {frameWithPayload(2, {}), "Drop a request frame: Fail to get u32. Pos:2; size:2", true},
    };
    for (const auto& [frame, line, perFrame] : cases) {
        SCOPED_TRACE(line);
        LogCapture log({{LogModule::CLOUD, LogLevel::WARN}});  // warnings only pass the gate
        startServer();
        const std::unique_ptr<IpcClient> kept = perFrame ? nullptr : connect(1);
        expectThrottledLines(
            clock, line,
            [&](int n) {  // each batch then a request: answered once every frame before it was handled
                for (int sent = 0, batch = perFrame ? 1 : n; sent < n; sent += batch) {
                    const auto own = perFrame ? std::make_unique<IpcClient>(path_) : nullptr;
                    IpcClient& c = own ? *own : *kept;
                    ASSERT_TRUE(c.sendBytes(repeated(frame, batch, request)));
                    auto r = c.response();
                    ASSERT_TRUE(r && r->index() == 0u);
                }
                ASSERT_TRUE(waitUntil([&] { return p_.server->activeConnections() == (perFrame ? 0 : 1); }, 60s));
            },
            [&](const std::string& text) { return log.lines(text).size(); },
            [&] { p_.stop(); });
    }
}

TEST_F(SocketServerTest, StopEndsAConnectionWhosePeerTakesNothing) {
    fillControllers();
    startServer(1h, 1h);
    // 200 answers of 14 kB each: far more than the socket holds, and the peer reads none.
    std::vector<uint8_t> requests;
    for (int i = 0; i < 200; ++i) {
        auto f = orvane_ipc::to_frame(orvane_ipc::request::LatestSensorData{});
        requests.insert(requests.end(), f.begin(), f.end());
    }
    auto peer = connect(1);
    ASSERT_TRUE(peer->sendBytes(requests));
    EXPECT_TRUE(waitUntil([&] { return peer->queued() > 50000; }, 30s));
    p_.server->stop();
    EXPECT_TRUE(waitUntil([&] { return p_.server->activeConnections() == 0; }, 60s));
}

}  // namespace
