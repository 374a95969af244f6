#pragma once
// orvane-lte's channel to the gateway server: heartbeat and state, the "state", "activate" and
// "deactivate" commands, and the reverse SSH tunnels (autossh) of the forwarding entries.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cloud_daemon/domain/entities/device_value.h"
#include "cloud_daemon/domain/entities/sys_setting.h"
#include "cloud_daemon/domain/interfaces/i_cloud_sender.h"
#include "cloud_daemon/domain/interfaces/i_logger.h"
#include "platform/clock.h"
#include "platform/command_runner.h"

namespace cloud_daemon::infrastructure::mqtt {
// One element of the state message's port list.
struct MqttAppForward {
    std::string name;
    int32_t appType = 255;
};
}  // namespace cloud_daemon::infrastructure::mqtt

namespace cloud_daemon::domain::service {

// The deployment's SSH targets of the reverse tunnels (not settings).
inline constexpr const char* kCloudBrokerSshTarget = "root@data.kelvaworks.net";
inline constexpr const char* kGatewayServerSshTarget = "ubuntu@gateway.kelvaworks.net";
inline constexpr const char* kTunnelKeyFile = "~/.ssh/id_dropbear";

struct TunnelEndpoint {
    std::string localAddress;
    std::string target;
    std::string keyFile;
};

// Application-type code of the state message (1 HTTP ... 8 Other, 255 anything else).
int32_t app_type_code(std::string_view text);
// The SSH tunnel's server port from the serial number's last five characters, or -1 (logged).
int32_t ssh_port_from_serial(const std::string& sn, interfaces::ILogger& logger);

class GatewayService {
public:
    using RandomSource = std::function<int()>;
    using AddressLookup = std::function<std::string(const std::string& interface)>;

    GatewayService(entities::SysSetting& settings, interfaces::ICloudSender& link, interfaces::ILogger& logger,
                   orvane::platform::Clock& clock = orvane::platform::Clock::get(),
                   orvane::platform::CommandRunner& runner = orvane::platform::CommandRunner::get());

    // Production: the C library's rand() and the kernel's address of the interface.
    void set_random_source(RandomSource r) { random_ = std::move(r); }
    void set_address_lookup(AddressLookup a) { address_ = std::move(a); }
    void reset(int32_t heartbeatPeriod);

    // One pass; nonzero when forwarding-entry ports changed (the settings must be saved).
    int run_once(const std::string& sn, const entities::CellularSnapshot& snapshot);
    int handle_command(const std::string& message, const std::string& sn);

    std::string heartbeat_string(const std::string& sn, const entities::CellularSnapshot& snapshot);
    std::string state_string(const std::string& sn);
    std::string reply_string(const std::string& cmd, const std::string& sn, const std::string& app, int appType,
                             int cmdid, int port, int result, const std::string& message);

    // Starts autossh for serverPort and waits for it to confirm: 0, or -1 after killing every
    // process of that port (a failed try leaves nothing running).
    int launch_tunnel(int serverPort, int monitorPort, const std::string& localAddress, int localPort,
                      const std::string& target, const std::string& keyFile, std::string* message = nullptr);
    int verify_tunnel(int port, const std::string& logPath, std::string* message = nullptr);
    int deactivate_tunnel(int serverPort);
    void monitor_tunnels();
    void update_forward_port(const std::string& name, int serverPort, int monitorPort);
    TunnelEndpoint select_tunnel_endpoint(const std::string& name);

    // The process check: true when an autossh process forwards `port`.
    bool tunnel_running(int port);
    static std::string process_check_line(int port);
    static std::string kill_line(int port);
    static std::string tunnel_log_path(int serverPort);
    static const std::vector<std::pair<std::string, std::string>>& _known_failures();

private:
    int64_t now() { return clock_.wallSeconds(); }
    void publish(const std::string& topic, const std::string& document);

    int32_t heartbeatClock_ = 0;
    int32_t heartbeatPeriod_ = 60;
    entities::SysSetting& settings_;
    interfaces::ICloudSender& link_;
    interfaces::ILogger& logger_;
    orvane::platform::Clock& clock_;
    orvane::platform::CommandRunner& runner_;
    RandomSource random_;
    AddressLookup address_;
    bool connected_ = false;
    int64_t tunnelCheckClock_ = 0;
};

}  // namespace cloud_daemon::domain::service
