#include "cloud_daemon/application/system_connector.h"

#include "orvane_ipc/request.h"
#include "platform/paths.h"

namespace cloud_daemon::application {

using domain::interfaces::log_info;

SystemConnector::SystemConnector(ILogger& logger, std::string path)
    : CommandService(path.empty() ? orvane::platform::Paths::runtime("systemSock") : std::move(path), logger) {}

int SystemConnector::send_system_update(domain::entities::SystemUpgradeMethod method, const std::string& file) {
    log_info(logger_, "Upgrade system: ", static_cast<int>(method), "; ", file);
    orvane_ipc::request::SystemUpdate req;
    req.firmware_source(static_cast<uint16_t>(method));
    req.file_name(file.c_str(), static_cast<unsigned>(file.size()));  // at most 32 bytes reach the wire
    struct CloseAfter {
        CommandService& s;
        ~CloseAfter() { s.close(); }
    } closeAfter{*this};
    close();  // every order uses a connection of its own
    return send_request(req);
}

}  // namespace cloud_daemon::application
