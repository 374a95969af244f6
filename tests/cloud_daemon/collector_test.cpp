// The data collector against a scripted IPC server on liborvane_ipc.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "cloud_daemon/application/data_collector.h"
#include "orvane_ipc/frame_accumulator.h"
#include "orvane_ipc/service.h"
#include "orvane_ipc/utilities.h"
#include "platform/local_socket.h"
#include "recording_logger.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using cloud_daemon::application::DataCollector;
using orvane::test::RecordingLogger;
using orvane::test::waitUntil;
namespace local = orvane::platform::local;
namespace rsp = orvane_ipc::response;

namespace {

constexpr uint32_t kT = 1767225600;  // 2026-01-01 00:00:00 UTC

// The gateway's side, scripted by the test: one connection at a time.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& path) : acceptor_(local::listen(io_, path, 4)) {}
    bool accept() {
        boost::system::error_code ec;
        auto s = local::acceptFor(acceptor_, 20s, ec);
        if (!s) return false;
        socket_.emplace(std::move(*s));
        return true;
    }
    void sendBytes(const std::vector<uint8_t>& b) { ASSERT_EQ(local::writeAll(*socket_, b.data(), b.size()), b.size()); }
    void send(const orvane_ipc::response::CommandBase& r) { sendBytes(orvane_ipc::to_frame(r)); }
    // The next request frame the collector sent.
    std::optional<orvane_ipc::RequestVariant> request(std::chrono::milliseconds timeout = 15s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (auto f = frames_.next()) return orvane_ipc::Service::request_analyze(f->data(), f->size());
            uint8_t buf[1024];
            auto r = local::readFor(*socket_, buf, sizeof buf, 100ms);
            if (r.status == local::ReadStatus::Data) frames_.append(buf, r.bytes);
            if (r.status == local::ReadStatus::Closed) return std::nullopt;
        }
        return std::nullopt;
    }
    void closeConnection() { socket_.reset(); }

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
    void startCollector() {
        thread_ = std::thread([this] { collector_.recv_thread(); });
    }
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
    RecordingLogger log_;
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
    EXPECT_EQ(collector_.livedata_string(1001, "GW1"), R"({"data":[],"sn":"GW1"})");

    server.send(rsp::HistoricalSensorData{});
    ASSERT_TRUE(received("Receive a HistoricalSensorData: 0"));
    EXPECT_EQ(collector_.last_timestamp(), 0u);

    // Cellular status with zero-padded texts.
    rsp::LTEInformation lte;
    lte.carrier_name(std::string("CMCC") + std::string(28, '\0'));
    lte.imsi("460001234567890");
    lte.sw_version("1.2.2922(20260907)");
    lte.sys_uptime(77);
    lte.signal_rssi(-70);
    lte.data_usage_total_rx_mb(1.5f);
    lte.longitude(8.25f);
    server.send(lte);
    ASSERT_TRUE(received("Receive a LTE message...CMCC"));
    const auto snap = collector_.lte_information();
    EXPECT_EQ(snap.carrier, "CMCC");
    EXPECT_EQ(snap.imsi, "460001234567890");
    EXPECT_EQ(snap.swver, "1.2.2922(20260907)");
    EXPECT_EQ(snap.uptime, 77u);
    EXPECT_EQ(snap.rssi, -70.0f);
    EXPECT_EQ(snap.totalRxMB, 1.5f);
    EXPECT_EQ(snap.longitude, 8.25f);

    // Reload.
    EXPECT_FALSE(collector_.is_reload());
    server.send(rsp::SystemReload{});
    ASSERT_TRUE(received("Receive a Reload message..."));
    EXPECT_TRUE(collector_.is_reload());
    EXPECT_FALSE(collector_.is_reload());

    // Two alarms: only the second is published, once.
    EXPECT_EQ(collector_.alarm_string(0, "GW1"), "");
    rsp::SystemAlarm alarm;
    alarm.timestamp(kT);
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

TEST_F(CollectorTest, FrameSplitAcrossReadsAndSeveralFramesInOne) {
    ScriptedServer server(path_);
    startCollector();
    ASSERT_TRUE(server.accept());
    std::vector<std::pair<std::string, double>> many;
    for (int i = 0; i < 400; ++i) many.emplace_back("v" + std::to_string(i), i);  // 14,417 bytes
    auto big = orvane_ipc::to_frame(rsp::LatestSensorData(cell(kT, many)));
    server.sendBytes({big.begin(), big.begin() + 5000});
    std::this_thread::sleep_for(300ms);
    auto rest = std::vector<uint8_t>(big.begin() + 5000, big.end());
    auto reload = orvane_ipc::to_frame(rsp::SystemReload{});
    rest.insert(rest.end(), reload.begin(), reload.end());
    // A history frame whose payload holds its command id alone: it passes its CRC but cannot be
    // read; it is dropped and the frames after it are handled.
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
    const std::string doc = collector_.livedata_string(1, "s");
    EXPECT_NE(doc.find(R"("v399":399.0)"), std::string::npos);
}

TEST_F(CollectorTest, RequestsGoOutWithTheirFields) {
    ScriptedServer server(path_);
    EXPECT_EQ(collector_.scan(), 0);  // connects on its own
    ASSERT_TRUE(server.accept());
    auto r = server.request();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index(), 0u);
    EXPECT_EQ(collector_.get_data(kT, 60, 70000), 0);
    r = server.request();
    ASSERT_TRUE(r && r->index() == 1u);
    const auto& h = std::get<1>(*r);
    EXPECT_EQ(h.start_time(), kT);
    EXPECT_EQ(h.end_time(), kT + 60);
    EXPECT_EQ(h.interval(), 70000 & 0xFFFF);
    EXPECT_EQ(log_.count(3, "Send data on "), 1u);
}

TEST_F(CollectorTest, UnreachableServerIsAnError) {
    try {
        collector_.scan();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error connecting to UNIX socket at " + path_ + ": ", 0), 0u);
    }
    EXPECT_EQ(log_.count(4, "Error connecting to UNIX socket at " + path_), 1u);
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
    ASSERT_TRUE(r);
    EXPECT_EQ(r->index(), 0u);
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
            (void)collector_.lte_information();
            (void)collector_.last_timestamp();
        }
    });
    for (int i = 0; i < kRequests; ++i) {
        auto r = server.request();
        ASSERT_TRUE(r);
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

TEST_F(CollectorTest, StopEndsTheReceiveThreadWhileItWaitsForTheServer) {
    startCollector();
    ASSERT_TRUE(waitUntil([&] { return log_.count(4, "IPC connect failed, retrying in 1s: ") >= 1; }, 15s));
    stopCollector();
    EXPECT_EQ(log_.count(3, "DataCollector Receiving Thread: stopped."), 1u);
}

}  // namespace
