#pragma once
// Hands a firmware-upgrade order to the system-service daemon: one SystemUpdate frame on a
// connection of its own (that daemon reads one frame per connection); no reply is awaited.
#include <string>

#include "cloud_daemon/application/command_service.h"
#include "cloud_daemon/domain/interfaces/i_system_sender.h"

namespace cloud_daemon::application {

class SystemConnector : public domain::interfaces::ISystemSender, public CommandService {
public:
    // path empty: the system socket under the runtime root.
    explicit SystemConnector(ILogger& logger, std::string path = {});

    int send_system_update(domain::entities::SystemUpgradeMethod method, const std::string& file) override;
};

}  // namespace cloud_daemon::application
