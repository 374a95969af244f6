#pragma once
// orvane-lte's settings, read from its part of parameter.json.
#include <cstdint>
#include <list>
#include <string>

namespace cloud_daemon::domain::entities {

struct MqttServerCfg {
    std::string host;
    uint32_t port = 0;
    std::string username;
    std::string password;
};

// One reverse-tunnel definition. Indexes 0, 1 and 2 are the built-in entries, 3 and up the
// enabled "portForwarding" elements.
struct ForwardEntry {
    int index = 0;
    std::string name;
    std::string application;  // "HTTP", "SSH" or the configured protocol
    int32_t localPort = 0;
    int32_t serverPort = 0;   // 0 or less: none
    int32_t monitorPort = 0;  // 0 or less: none
    int element = -1;         // position in the "portForwarding" array; -1 for the built-in ones

    bool operator==(const ForwardEntry&) const = default;
};

struct SysSetting {
    uint32_t pn = 0;
    std::string sn;
    uint32_t fetchInterval = 0;   // seconds
    uint32_t uploadInterval = 0;  // seconds
    MqttServerCfg cloud;
    std::string dataTopic;
    std::string alarmTopic;
    std::string cloudCommandTopic;
    MqttServerCfg gateway;
    std::string gatewayCommandTopic;
    std::string replyTopic;
    std::string heartbeatTopic;
    std::string stateTopic;
    std::list<ForwardEntry> forwards;
};

}  // namespace cloud_daemon::domain::entities
