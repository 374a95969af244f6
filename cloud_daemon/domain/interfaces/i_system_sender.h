#pragma once
#include <string>

#include "cloud_daemon/domain/entities/device_value.h"

namespace cloud_daemon::domain::interfaces {

// Hands a firmware-upgrade order to the system-service daemon.
class ISystemSender {
public:
    virtual ~ISystemSender() = default;
    // 0 when the order was written; throws when the daemon cannot be reached.
    virtual int send_system_update(entities::SystemUpgradeMethod method, const std::string& file) = 0;
};

}  // namespace cloud_daemon::domain::interfaces
