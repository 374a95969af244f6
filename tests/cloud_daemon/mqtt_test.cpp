// The MQTT links against mosquitto brokers started by the test on free loopback ports.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include <mqtt/client.h>

#include "cloud_daemon/infrastructure/mqtt/mqtt_service.h"
#include "recording_logger.h"
#include "support/mosquitto_broker.h"
#include "support/sandbox.h"

using namespace std::chrono_literals;
using cloud_daemon::domain::entities::MqttServerCfg;
using cloud_daemon::infrastructure::mqtt::MqttService;
using cloud_daemon::infrastructure::mqtt::set_mqtt_trace_logger;
using orvane::test::MosquittoBroker;
using orvane::test::RecordingLogger;
using orvane::test::waitUntil;

namespace {
// The broker's other side: a plain Paho client that publishes and collects messages.
class MqttPeer {
public:
    MqttPeer(int port, const std::string& id) : client_("tcp://127.0.0.1:" + std::to_string(port), id) {
        client_.connect(mqtt::connect_options_builder().clean_session(true).finalize());
    }
    ~MqttPeer() {
        try {
            if (client_.is_connected()) client_.disconnect();
        } catch (...) {
        }
    }
    void publish(const std::string& topic, const std::string& payload) {
        client_.publish(mqtt::make_message(topic, payload, 1, false));
    }
    // Every topic from now on; next(): the next message as (topic, payload).
    void subscribe() {
        client_.start_consuming();
        client_.subscribe("#", 1);
    }
    std::optional<std::pair<std::string, std::string>> next() {
        mqtt::const_message_ptr msg;
        if (!client_.try_consume_message_for(&msg, std::chrono::seconds(15)) || !msg) return std::nullopt;
        return std::make_pair(msg->get_topic(), msg->to_string());
    }

private:
    mqtt::client client_;
};

class MqttLinkTest : public testing::Test {
protected:
    void SetUp() override {
        if (!MosquittoBroker::available()) GTEST_SKIP() << "needs mosquitto";
    }
    void TearDown() override { set_mqtt_trace_logger(nullptr); }
    MqttServerCfg cfg(const MosquittoBroker& b, const std::string& user = "u", const std::string& pw = "secret") {
        return {"127.0.0.1", static_cast<uint32_t>(b.port()), user, pw};
    }
    RecordingLogger log_;
};

TEST_F(MqttLinkTest, MaskedPasswordLastCommandOfItsOwnTopicAndPublishesAtQos1) {
    EXPECT_EQ(MqttService::server_uri({"h", 1883, "", ""}), "mqtt://h:1883");
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    MqttService link(log_);
    link.init("SN1", cfg(broker, "user1", "p@ss"), "kelva/SN1/command");
    EXPECT_EQ(log_.count(3, "Server Address mqtt://127.0.0.1:" + std::to_string(broker.port()) +
                                "; Qos: 1; UN: user1; Pw: ********"),
              1u);
    EXPECT_FALSE(log_.has("p@ss"));
    ASSERT_TRUE(waitUntil([&] { return link.is_connected() && log_.has("kelva/SN1/command success"); }, 20s));
    MqttPeer peer(broker.port(), "peer");
    peer.publish("Kelva/SN1/command", "other case");  // another topic (by case): never kept
    peer.publish("kelva/SN1/command", "first");
    peer.publish("kelva/SN1/command", "second");
    ASSERT_TRUE(waitUntil([&] { return log_.has("payload: 'second'"); }, 20s));
    EXPECT_EQ(link.take_message(), "second");
    EXPECT_EQ(link.take_message(), "");
    peer.subscribe();
    EXPECT_EQ(link.publish("", "nowhere"), 0);
    EXPECT_EQ(link.publish("kelva/SN1/livedata", "{\"a\":1}"), 0);
    auto m = peer.next();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->first, "kelva/SN1/livedata");  // the empty-topic message never went out
    EXPECT_EQ(m->second, "{\"a\":1}");
}

TEST_F(MqttLinkTest, RefusedCredentialsFailAfterThreeAttemptsAndNoCommandTopicSubscribesNothing) {
    MosquittoBroker broker("gateway", "right");
    ASSERT_TRUE(broker.start());
    MqttService link(log_);
    link.init("SN1", cfg(broker, "gateway", "wrong"), "cmd");
    EXPECT_EQ(link.publish("t", "p"), -1);
    EXPECT_EQ(log_.count(3, "Connect to server: "), 3u);
    EXPECT_GE(log_.count(4, "MQTT Connection failed. Reason: "), 1u);

    MqttService good(log_);
    good.init("SN2", cfg(broker, "gateway", "right"), "");  // no command topic: no subscription
    EXPECT_EQ(good.publish("t", "p"), 0);
    EXPECT_FALSE(log_.has(" success for token"));
}

TEST_F(MqttLinkTest, ReconnectsAndResubscribesAfterABrokerRestart) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    MqttService link(log_);
    link.init("SN1", cfg(broker), "kelva/SN1/command");
    ASSERT_TRUE(waitUntil([&] { return link.is_connected(); }, 20s));
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return log_.has("MQTT Connection Lost"); }, 20s));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitUntil([&] { return link.is_connected(); }, 60s));
    ASSERT_TRUE(waitUntil([&] { return log_.count(3, "kelva/SN1/command success") >= 2; }, 20s));
    MqttPeer peer(broker.port(), "peer");
    peer.publish("kelva/SN1/command", "after restart");
    ASSERT_TRUE(waitUntil([&] { return log_.has("payload: 'after restart'"); }, 20s));
    EXPECT_EQ(link.take_message(), "after restart");
}

TEST_F(MqttLinkTest, ReloadReplacesTheClientAndARefusedUriIsLogged) {
    MqttService idle(log_);  // not set up: fails without a client
    EXPECT_FALSE(idle.is_connected());
    EXPECT_EQ(idle.take_message(), "");
    EXPECT_EQ(idle.publish("t", "p"), -1);
    EXPECT_EQ(log_.count(5, "MQTT client not initialized"), 3u);
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    MqttService link(log_);
    link.init("SN1", cfg(broker), "a");
    ASSERT_TRUE(waitUntil([&] { return link.is_connected(); }, 20s));
    // Hosts refused at once or only when connecting: the link stays down, the caller goes on.
    for (const char* host : {"", "bad host name", "h/x"}) {
        SCOPED_TRACE(host);
        EXPECT_NO_THROW(link.init("SN1", {host, 1883, "u", "p"}, "a"));
        EXPECT_FALSE(link.is_connected());
        EXPECT_EQ(link.publish("t", "p"), -1);
    }
    link.init("SN1", cfg(broker), "a");
    ASSERT_TRUE(waitUntil([&] { return link.is_connected(); }, 20s));
    EXPECT_EQ(link.publish("x", "y"), 0);
    // Broker gone, reconnection under way: a reload and the link's end must not throw.
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return !link.is_connected(); }, 20s));
    EXPECT_NO_THROW(link.init("SN1", cfg(broker), "a"));
}

}  // namespace
