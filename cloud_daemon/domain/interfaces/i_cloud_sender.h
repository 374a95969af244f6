#pragma once
#include <string>

namespace cloud_daemon::domain::interfaces {

// One MQTT link as the publisher and the gateway service use it.
class ICloudSender {
public:
    virtual ~ICloudSender() = default;
    virtual bool is_connected() = 0;
    // The last message received on the link's command topic, cleared; empty when none.
    virtual std::string take_message() = 0;
    // 0 when the broker acknowledged the message, else -1.
    virtual int publish(const std::string& topic, const std::string& payload) = 0;
};

}  // namespace cloud_daemon::domain::interfaces
