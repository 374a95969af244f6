// The data collector and the system connector against a scripted IPC server on liborvane_ipc.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "cloud_daemon/application/data_collector.h"
#include "cloud_daemon/application/system_connector.h"
#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/service.h"
#include "orvane_ipc/utilities.h"
#include "platform/local_socket.h"
#include "recording_logger.h"
#include "support/ipc_peer_cases.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using cloud_daemon::application::DataCollector;
using orvane::test::waitUntil;
namespace local = orvane::platform::local;
namespace rsp = orvane_ipc::response;

namespace {

constexpr uint32_t kT = 1767225600;  // 2026-01-01 00:00:00 UTC

// The gateway's (or orvane-system's) side, scripted by the test: one connection at a time.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& path) : acceptor_(local::listen(io_, path, 4)) {}
    // Closes the connection there is, and takes the next.
    bool accept() {
        socket_.reset();
        boost::system::error_code ec;
        auto s = local::acceptFor(acceptor_, 20s, ec);
        if (!s) return false;
        socket_.emplace(std::move(*s));
        received = 0;
        return true;
    }
    void sendBytes(const std::vector<uint8_t>& b) {
        ASSERT_TRUE(socket_);
        ASSERT_EQ(local::writeAll(*socket_, b.data(), b.size()), b.size());
    }
    void send(const rsp::CommandBase& r) { sendBytes(orvane_ipc::to_frame(r)); }
    std::optional<std::vector<uint8_t>> frame() {
        for (const auto end = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < end;) {
            if (auto f = frames_.next()) return f;
            uint8_t buf[1024];
            auto r = local::readFor(*socket_, buf, sizeof buf, 100ms);
            if (r.status == local::ReadStatus::Data) frames_.append(buf, r.bytes), received += r.bytes;
            if (r.status == local::ReadStatus::Closed) return std::nullopt;
        }
        return std::nullopt;
    }
    std::optional<orvane_ipc::RequestVariant> request() {
        auto f = frame();
        return f ? orvane_ipc::Service::request_analyze(f->data(), f->size()) : std::nullopt;
    }
    size_t received = 0;  // bytes of this connection

private:
    boost::asio::io_context io_;
    local::Acceptor acceptor_;
    std::optional<local::Socket> socket_;
    orvane_ipc::FrameAccumulator frames_;
};

orvane_ipc::DataCell cell(uint32_t t, std::vector<std::pair<std::string, double>> v) { return {t, std::move(v)}; }

class CollectorTest : public testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override { stopCollector(); }
    void startCollector() { thread_ = std::thread([this] { collector_.recv_thread(); }); }
    void stopCollector() {
        if (!thread_.joinable()) return;
        collector_.stop();
        thread_.join();
    }
    bool received(const std::string& text, size_t n = 1) {
        return waitUntil([&] { return log_.count(3, text) >= n; }, 15s);
    }

    orvane::test::TempDir dir_{"lte-collector"};
    std::string path_ = dir_.file("probeSock");
    orvane::test::RecordingLogger log_;
    DataCollector collector_{log_, path_};
    std::thread thread_;
};

TEST_F(CollectorTest, EveryResponseKind) {
    ScriptedServer server(path_);
    startCollector();
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(received("IPC socket connected to scada"));

    // Latest readings, then a history of two cells.
    server.send(rsp::LatestSensorData(cell(kT, {{"b", 25.0f}, {"a", 0.1f}, {"b", 7.1f}})));
    ASSERT_TRUE(received("Receive a LatestSensorData message @ 2026-01-01 00:00:00, cnt: 3"));
    EXPECT_EQ(collector_.last_timestamp(), kT);
    rsp::HistoricalSensorData history;
    history.cell(cell(kT + 20, {{"pH", 7.0}}));
    history.cell(cell(kT + 10, {{"pH", 6.5}}));
    server.send(history);
    ASSERT_TRUE(received("Receive a HistoricalSensorData: 2"));
    EXPECT_EQ(collector_.last_timestamp(), kT + 20);  // the largest cell time
    EXPECT_EQ(collector_.livedata_string(1001, "GW1"),
              R"({"data":[)"
              R"({"device":[{"pn":1001,"value":{"a":0.10000000149011612,"b":7.099999904632568}}],"timestamp":"2026-01-01 00:00:00"},)"
              R"({"device":[{"pn":1001,"value":{"pH":7.0}}],"timestamp":"2026-01-01 00:00:20"},)"
              R"({"device":[{"pn":1001,"value":{"pH":6.5}}],"timestamp":"2026-01-01 00:00:10"}],"sn":"GW1"})");
    server.send(rsp::HistoricalSensorData{});
    ASSERT_TRUE(received("Receive a HistoricalSensorData: 0"));
    EXPECT_EQ(collector_.last_timestamp(), 0u);

    rsp::LTEInformation lte;
    lte.carrier_name(std::string("CMCC") + std::string(28, '\0'));
    lte.imsi("460001234567890");
    lte.sw_version("1.2.2922(20260907)");
    lte.signal_rssi(-70);
    lte.longitude(8.25f);
    server.send(lte);
    ASSERT_TRUE(received("Receive a LTE message...CMCC"));
    const auto snap = collector_.lte_information();
    EXPECT_EQ(std::tie(snap.carrier, snap.imsi, snap.swver, snap.rssi, snap.longitude),
              std::make_tuple("CMCC", "460001234567890", "1.2.2922(20260907)", -70.0f, 8.25f));

    server.send(rsp::SystemReload{});
    ASSERT_TRUE(received("Receive a Reload message..."));
    EXPECT_TRUE(collector_.is_reload());
    EXPECT_FALSE(collector_.is_reload());

    // Two alarms: only the second is published, once.
    rsp::SystemAlarm alarm;
    alarm.alarm_type(3);
    server.send(alarm);
    alarm.timestamp(kT + 5);
    alarm.alarm_type(7);
    alarm.alarm_device_pn(5);
    alarm.alarm_device_sn(6);
    server.send(alarm);
    ASSERT_TRUE(received("Receive a SystemAlarm message...7: PN 5; SN 6"));
    EXPECT_EQ(collector_.alarm_string(0, "GW1"),
              R"({"sn":"GW1","timestamp":"2026-01-01 00:00:05","id":7,"args":{"pn":5,"sn":6}})");
    EXPECT_EQ(collector_.alarm_string(0, "GW1"), "");

    // Other kinds are ignored; invalid names are replaced.
    server.send(rsp::SystemUpdateStatus{});
    server.send(rsp::LatestSensorData(cell(kT, {{"bad\xff", 1.0}, {"ok", 2.0}})));
    ASSERT_TRUE(received("Receive a LatestSensorData message", 2));
    EXPECT_EQ(collector_.livedata_string(1, "s"),
              "{\"data\":[{\"device\":[{\"pn\":1,\"value\":{\"bad\xEF\xBF\xBD\":1.0,\"ok\":2.0}}],"
              "\"timestamp\":\"2026-01-01 00:00:00\"}],\"sn\":\"s\"}");
}

TEST_F(CollectorTest, SeveralFramesInOneReadAndAShortFrameDropped) {
    ScriptedServer server(path_);
    startCollector();
    ASSERT_TRUE(server.accept());
    std::vector<std::pair<std::string, double>> many;
    for (int i = 0; i < 400; ++i) many.emplace_back("v" + std::to_string(i), i);  // 14,417 bytes
    auto rest = orvane_ipc::to_frame(rsp::LatestSensorData(cell(kT, many)));
    auto reload = orvane_ipc::to_frame(rsp::SystemReload{});
    rest.insert(rest.end(), reload.begin(), reload.end());
    // A history frame of its command id alone passes its CRC but cannot be read.
    std::vector<uint8_t> shortFrame = {0xFF, 0xFF, 0x5A, 0xA5, 0x01, 0x00, 0x02, 0x00, 0x02};
    const uint16_t crc = orvane_ipc::Utilities::crc_value(shortFrame.data() + 7, 2);
    shortFrame.push_back(static_cast<uint8_t>(crc >> 8));
    shortFrame.push_back(static_cast<uint8_t>(crc));
    rest.insert(rest.end(), shortFrame.begin(), shortFrame.end());
    rest.insert(rest.end(), reload.begin(), reload.end());
    rest.insert(rest.end(), {0x00, 0xFF, 0x5A});  // noise after the frames
    server.sendBytes(rest);
    ASSERT_TRUE(received("Receive a LatestSensorData message @ 2026-01-01 00:00:00, cnt: 400"));
    ASSERT_TRUE(received("Receive a Reload message...", 2));
    EXPECT_EQ(log_.count(4, "Drop a frame: "), 1u);
    EXPECT_TRUE(collector_.is_reload());
    EXPECT_NE(collector_.livedata_string(1, "s").find(R"("v399":399.0)"), std::string::npos);
}

// A gateway program repeating frames that cannot be read, on one connection or closing it after
// every hundred (the collector connects again each time); the last line comes at the stop.
TEST_F(CollectorTest, RepeatedUnreadableFramesAreLoggedOncePerIntervalWithTheirCount) {
    orvane::platform::SimulatedClock clock;
    orvane::test::ScopedClock installed(clock);
    const auto good = orvane_ipc::to_frame(rsp::LatestSensorData(cell(kT, {{"a", 1}})));
    const std::tuple<std::vector<uint8_t>, std::string, int> cases[] = {  // frame, its line, frames per connection
        {orvane::test::frameWithPayload(2, {}), "Drop a frame: Fail to get u16. Pos:2; size:2", 0},  // 0: all on one
        {orvane::test::frameWithPayload(98, {}), "Drop a frame: Fail to get f32. Pos:2; size:2", 100},
    };
    for (const auto& [frame, line, perConnection] : cases) {
        SCOPED_TRACE(line);
        orvane::test::RecordingLogger log;
        DataCollector collector(log, path_);
        ScriptedServer server(path_);
        std::thread receiving([&] { collector.recv_thread(); });
        auto stop = [&] {
            if (receiving.joinable()) collector.stop(), receiving.join();
        };
        if (!server.accept()) {
            stop();
            FAIL() << "the collector did not connect";
        }
        size_t handled = 0;
        orvane::test::expectThrottledLines(
            clock, line,
            [&](int n) {  // each batch then a good frame: handled once every frame before it was
                for (int sent = 0, batch = perConnection ? perConnection : n; sent < n; sent += batch) {
                    server.sendBytes(orvane::test::repeated(frame, std::min(batch, n - sent), good));
                    ++handled;
                    ASSERT_TRUE(
                        waitUntil([&] { return log.count(3, "Receive a LatestSensorData message") >= handled; }, 15s));
                    if (perConnection) {
                        ASSERT_TRUE(server.accept());  // after the collector's pause
                    }
                }
            },
            [&](const std::string& text) { return log.count(4, text); },
            stop);
    }
}

TEST_F(CollectorTest, UnreachableServerIsAnErrorStopEndsTheWaitAndRequestsConnectOnTheirOwn) {
    try {
        collector_.scan();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error connecting to UNIX socket at " + path_ + ": ", 0), 0u);
    }
    startCollector();  // a stop ends the receive thread while it waits for the server
    ASSERT_TRUE(waitUntil([&] { return log_.count(4, "IPC connect failed, retrying in 1s: ") >= 1; }, 15s));
    stopCollector();
    EXPECT_EQ(log_.count(3, "DataCollector Receiving Thread: stopped."), 1u);

    ScriptedServer server(path_);
    EXPECT_EQ(collector_.scan(), 0);
    ASSERT_TRUE(server.accept());
    auto r = server.request();
    ASSERT_TRUE(r && r->index() == 0u);
    EXPECT_EQ(collector_.get_data(kT, 60, 70000), 0);
    r = server.request();
    ASSERT_TRUE(r && r->index() == 1u);
    const auto& h = std::get<1>(*r);
    EXPECT_EQ(h.start_time(), kT);
    EXPECT_EQ(h.end_time(), kT + 60);
    EXPECT_EQ(h.interval(), 70000 & 0xFFFF);
}

TEST_F(CollectorTest, ReconnectsAfterAServerRestart) {
    startCollector();
    {
        ScriptedServer first(path_);
        ASSERT_TRUE(first.accept());
        first.send(rsp::LatestSensorData(cell(kT, {{"a", 1}})));
        ASSERT_TRUE(received("Receive a LatestSensorData message"));
    }  // the gateway program ends
    ScriptedServer second(path_);
    ASSERT_TRUE(second.accept());
    ASSERT_TRUE(received("IPC socket connected to scada", 2));
    EXPECT_EQ(collector_.scan(), 0);
    auto r = second.request();
    ASSERT_TRUE(r && r->index() == 0u);
    second.send(rsp::LatestSensorData(cell(kT + 1, {{"a", 2}})));
    ASSERT_TRUE(received("Receive a LatestSensorData message", 2));
}

TEST_F(CollectorTest, RequestsOnOneThreadWhileTheOtherReads) {
    ScriptedServer server(path_);
    startCollector();
    ASSERT_TRUE(server.accept());
    ASSERT_TRUE(received("IPC socket connected to scada"));
    constexpr int kRequests = 50;
    std::atomic<int> failures{0};
    std::thread worker([&] {
        for (int i = 0; i < kRequests; ++i) {
            try {
                collector_.scan();
            } catch (...) {
                ++failures;
            }
            (void)collector_.last_timestamp();
        }
    });
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(server.request());
        server.send(rsp::LatestSensorData(cell(kT + static_cast<uint32_t>(i), {{"n", i}})));
    }
    worker.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(received("Receive a LatestSensorData message", kRequests));
    const std::string doc = collector_.livedata_string(1, "s");
    size_t n = 0;
    for (size_t at = doc.find("\"device\""); at != std::string::npos; at = doc.find("\"device\"", at + 1)) ++n;
    EXPECT_EQ(n, static_cast<size_t>(kRequests));
}

TEST(SystemConnector, EachOrderGoesOutAsOneFrameOnItsOwnConnectionAndNoDaemonIsAnError) {
    using cloud_daemon::domain::entities::SystemUpgradeMethod;
    orvane::test::TempDir dir{"lte-connector"};
    const std::string path = dir.file("systemSock");
    orvane::test::RecordingLogger log;
    cloud_daemon::application::SystemConnector connector(log, path);
    EXPECT_THROW(connector.send_system_update(SystemUpgradeMethod::scp, "f"), std::runtime_error);
    EXPECT_EQ(log.count(4, "Error connecting to UNIX socket at " + path + ": "), 1u);

    ScriptedServer server(path);
    const std::string longName(40, 'n');
    EXPECT_EQ(connector.send_system_update(SystemUpgradeMethod::tftp, "a.tar.gz"), 0);
    EXPECT_EQ(connector.send_system_update(SystemUpgradeMethod::scp, longName), 0);
    const std::pair<uint16_t, std::string> want[] = {{3, "a.tar.gz"}, {2, longName.substr(0, 32)}};
    for (const auto& [method, file] : want) {
        ASSERT_TRUE(server.accept());
        auto f = server.frame();
        ASSERT_TRUE(f);
        EXPECT_FALSE(server.frame());  // closed after the one frame
        EXPECT_EQ(server.received, 45u);
        auto r = orvane_ipc::Service::request_analyze(f->data(), f->size());
        ASSERT_TRUE(r && r->index() == 9u);
        EXPECT_EQ(std::get<9>(*r).firmware_source(), method);
        EXPECT_EQ(std::get<9>(*r).file_name_string(), file);
    }
    EXPECT_FALSE(connector.is_connected());
}

}  // namespace
