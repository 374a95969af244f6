#include "cloud_daemon/infrastructure/mqtt/mqtt_service.h"

#include <thread>

namespace cloud_daemon::infrastructure::mqtt {

using domain::interfaces::log_error;
using domain::interfaces::log_info;
using domain::interfaces::log_warn;

MqttService::~MqttService() {
    server_.disconnect();
    server_.cleanup();
    release_mqtt_trace_logger(&logger_);
}

std::string MqttService::server_uri(const domain::entities::MqttServerCfg& cfg) {
    return "mqtt://" + cfg.host + ":" + std::to_string(cfg.port);
}

std::string MqttService::client_id(const std::string& sn) { return "Kelva_OrvanePro_" + sn + "_livedata"; }

int MqttService::init(const std::string& sn, const domain::entities::MqttServerCfg& cfg,
                      const std::string& commandTopic) {
    set_mqtt_trace_logger(&logger_);
    try {
        server_.init(server_uri(cfg), client_id(sn), kQos, cfg.username, cfg.password, commandTopic);
    } catch (const std::exception& e) {
        server_.cleanup();
        log_error(logger_, "Fail to set up the MQTT client for ", server_uri(cfg), ": ", e.what());
        return 0;
    }
    server_.connect();
    return 0;
}

int MqttService::publish(const std::string& topic, const std::string& payload) {
    for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
        try {
            if (server_.has_client() && server_.is_connected()) return server_.publish(topic, payload) == 1 ? 0 : -1;
            log_info(logger_, "Connect to server: ");
            server_.connect();
            std::this_thread::sleep_for(std::chrono::seconds(1));
        } catch (const std::exception& e) {
            log_warn(logger_, "Connect to server(", ") error: ", e.what());
        }
    }
    return -1;
}

}  // namespace cloud_daemon::infrastructure::mqtt
