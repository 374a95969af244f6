#pragma once
// The daemon's wrapper of the Paho asynchronous MQTT client: connect options, the callbacks run
// on the library's threads, QoS 1 publication with a bounded wait for the acknowledgement.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <mqtt/async_client.h>

#include "cloud_daemon/domain/interfaces/i_logger.h"

namespace cloud_daemon::infrastructure::mqtt {

using domain::interfaces::ILogger;

// Library trace lines ("[MQTT Trace] ...") go to this logger; null: dropped.
void set_mqtt_trace_logger(ILogger* logger);
// Stops the trace going to `logger` if it goes there (a logger about to be destroyed).
void release_mqtt_trace_logger(ILogger* logger);
// The hook registered with the library (levels 1-3 debug, 4 info, 5 error, others debug).
void mqtt_trace_callback(int level, const char* text);

class SubscriptionCallback : public virtual ::mqtt::iaction_listener {
public:
    SubscriptionCallback(const std::string& topic, ILogger& logger) : topic_(topic), logger_(logger) {}
    void on_failure(const ::mqtt::token& tok) override;
    void on_success(const ::mqtt::token& tok) override;

private:
    void report(const ::mqtt::token& tok, const char* outcome);
    const std::string& topic_;
    ILogger& logger_;
};

class MqttCallback : public virtual ::mqtt::callback, public virtual ::mqtt::iaction_listener {
public:
    MqttCallback(std::shared_ptr<::mqtt::async_client> client, ::mqtt::connect_options options,
                 std::string commandTopic, int qos, ILogger& logger);

    void connected(const std::string& cause) override;
    void connection_lost(const std::string& cause) override;
    void message_arrived(::mqtt::const_message_ptr msg) override;
    void delivery_complete(::mqtt::delivery_token_ptr tok) override;
    void on_failure(const ::mqtt::token& tok) override;
    void on_success(const ::mqtt::token& tok) override;

    // The last command message, cleared.
    std::string take();

private:
    std::weak_ptr<::mqtt::async_client> client_;  // the client owns no reference back
    ::mqtt::connect_options options_;
    std::string commandTopic_;
    SubscriptionCallback subscription_;
    int qos_;
    ILogger& logger_;
    std::mutex mutex_;
    std::string lastMessage_;
};

class MqttServer {
public:
    static constexpr std::chrono::seconds kTokenWait{3};
    static constexpr int kKeepAliveSeconds = 360;

    explicit MqttServer(ILogger& logger) : logger_(logger) {}
    virtual ~MqttServer();
    MqttServer(const MqttServer&) = delete;
    MqttServer& operator=(const MqttServer&) = delete;

    // Builds a new client and callback (an earlier client is cleaned up first). Throws the
    // library's exception for a URI it refuses; nothing is left set up then.
    void init(const std::string& uri, const std::string& clientId, int qos, const std::string& user,
              const std::string& password, const std::string& commandTopic);
    void connect();
    // 1 when the broker acknowledged within the token wait (or the topic is empty), else 0.
    int publish(const std::string& topic, const std::string& payload);
    void disconnect();
    void cleanup();

    bool has_client() const { return client_ != nullptr && callback_ != nullptr; }
    bool is_connected() const { return client_ && client_->is_connected(); }
    std::string take_message() { return callback_ ? callback_->take() : std::string(); }
    const std::string& client_id() const { return clientId_; }
    const std::string& server_uri() const { return uri_; }

private:
    ILogger& logger_;
    std::string clientId_;
    std::string uri_;
    int qos_ = 1;
    ::mqtt::connect_options options_;
    std::shared_ptr<::mqtt::async_client> client_;
    std::shared_ptr<MqttCallback> callback_;
};

}  // namespace cloud_daemon::infrastructure::mqtt
