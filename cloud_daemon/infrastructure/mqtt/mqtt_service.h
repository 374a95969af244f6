#pragma once
// One MQTT link of the daemon (cloud or gateway profile): connects with the profile's
// credentials, keeps the last command message, publishes with QoS 1 and reconnects when needed.
#include <string>

#include "cloud_daemon/domain/entities/sys_setting.h"
#include "cloud_daemon/domain/interfaces/i_cloud_sender.h"
#include "cloud_daemon/infrastructure/mqtt/mqtt_server.h"

namespace cloud_daemon::infrastructure::mqtt {

class MqttService : public domain::interfaces::ICloudSender {
public:
    static constexpr int kQos = 1;
    static constexpr int kPublishAttempts = 3;

    explicit MqttService(ILogger& logger) : server_(logger), logger_(logger) {}
    ~MqttService() override;

    // Builds a new client for the profile and connects; 0. A URI the library refuses is logged
    // and leaves the link without a client (every publish then fails).
    int init(const std::string& sn, const domain::entities::MqttServerCfg& cfg, const std::string& commandTopic);
    bool is_connected() override { return server_.is_connected(); }
    std::string take_message() override { return server_.take_message(); }
    int publish(const std::string& topic, const std::string& payload) override;

    static std::string server_uri(const domain::entities::MqttServerCfg& cfg);
    static std::string client_id(const std::string& sn);
    MqttServer& server() { return server_; }

private:
    MqttServer server_;
    ILogger& logger_;
};

}  // namespace cloud_daemon::infrastructure::mqtt
