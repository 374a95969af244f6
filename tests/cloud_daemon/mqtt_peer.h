#pragma once
// The broker's other side in tests: a plain Paho client that publishes and collects messages.
#include <chrono>
#include <optional>
#include <string>

#include <mqtt/client.h>

namespace orvane::test {

class MqttPeer {
public:
    MqttPeer(int port, const std::string& id) : client_("tcp://127.0.0.1:" + std::to_string(port), id) {
        mqtt::connect_options o;
        o.set_clean_session(true);
        client_.connect(o);
    }
    ~MqttPeer() {
        try {
            if (client_.is_connected()) client_.disconnect();
        } catch (...) {
        }
    }
    void subscribe(const std::string& topic) {
        client_.start_consuming();
        client_.subscribe(topic, 1);
    }
    void publish(const std::string& topic, const std::string& payload) {
        client_.publish(mqtt::make_message(topic, payload, 1, false));
    }
    // The next message on a subscribed topic: (topic, payload).
    std::optional<std::pair<std::string, std::string>> next(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        mqtt::const_message_ptr msg;
        if (!client_.try_consume_message_for(&msg, timeout) || !msg) return std::nullopt;
        return std::make_pair(msg->get_topic(), msg->to_string());
    }

private:
    mqtt::client client_;
};

}  // namespace orvane::test
