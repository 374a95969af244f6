// MQTT publication at QoS 1 to a local mosquitto started here: the daemon's link
// (MqttService::publish, with its logging and trace hook into the daemon logger's file) beside a
// bare Paho client publishing the same messages the same way, one acknowledged message at a time.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <mqtt/async_client.h>

#include "cloud_daemon/infrastructure/logger/daemon_logger.h"
#include "cloud_daemon/infrastructure/mqtt/mqtt_service.h"
#include "support/mosquitto_broker.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

const std::string kTopic = "kelva/GW2301234/livedata";

// A livedata document of 20 readings, as the publisher sends them.
std::string payload() {
    std::string doc = R"({"data":[{"device":[{"pn":1001,"value":{)";
    for (int i = 0; i < 20; ++i) doc += (i ? "," : "") + std::string("\"Probe") + std::to_string(i) + "\":7.099999904632568";
    return doc + R"(}}],"timestamp":"2026-01-01 00:00:00"}],"sn":"GW2301234"})";
}

orvane::test::MosquittoBroker& broker() {
    static orvane::test::MosquittoBroker b;
    static const bool started = b.start();
    (void)started;
    return b;
}

void BM_BarePahoPublishQos1(benchmark::State& state) {
    auto& b = broker();
    mqtt::async_client client("tcp://127.0.0.1:" + std::to_string(b.port()), "bench_bare", nullptr);
    mqtt::connect_options o;
    o.set_clean_session(false);
    o.set_keep_alive_interval(360);
    client.connect(o)->wait();
    const std::string body = payload();
    for (auto _ : state) {
        auto msg = mqtt::make_message(kTopic, body);
        msg->set_qos(1);
        if (!client.publish(msg)->wait_for(3s)) state.SkipWithError("not acknowledged");
    }
    state.SetItemsProcessed(state.iterations());
    client.disconnect()->wait();
}

void BM_MqttServicePublishQos1(benchmark::State& state) {
    auto& b = broker();
    orvane::test::TempDir dir("bench-mqtt");
    orvane::daemon_logger::Logger logger(dir.file("log_lte.txt"), {"CloudDaemon", false, false});
    {
        cloud_daemon::infrastructure::mqtt::MqttService link(logger);
        link.init("GW2301234", {"127.0.0.1", static_cast<uint32_t>(b.port()), "", ""}, "");
        orvane::test::waitUntil([&] { return link.is_connected(); }, 20s);
        const std::string body = payload();
        for (auto _ : state) {
            if (link.publish(kTopic, body) != 0) state.SkipWithError("publish failed");
        }
        state.SetItemsProcessed(state.iterations());
        cloud_daemon::infrastructure::mqtt::set_mqtt_trace_logger(nullptr);
    }
}

// The broker's first session runs slower than the later ones: a short warm-up first, so that
// the two measured runs meet the same broker.
BENCHMARK(BM_BarePahoPublishQos1)->Name("Warmup_BarePaho")->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BarePahoPublishQos1)->MinTime(10.0)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MqttServicePublishQos1)->MinTime(10.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
