#include "cloud_daemon/domain/service/gateway_service.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/paths.h"

namespace cloud_daemon::domain::service {

using entities::ForwardEntry;
using interfaces::log_info;
using interfaces::log_warn;

namespace {

// IPv4 address of an interface as the kernel reports it; empty when it has none.
std::string interfaceAddress(const std::string& name) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    ifreq req{};
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    req.ifr_addr.sa_family = AF_INET;
    std::string out;
    if (::ioctl(fd, SIOCGIFADDR, &req) == 0) {
        char buf[INET_ADDRSTRLEN] = {};
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&req.ifr_addr);
        if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) out = buf;
    }
    ::close(fd);
    return out;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value of "key": in a command whose blanks were removed (the command's own rule: strings
// lose their closing quote only when a ',' follows them).
std::string extractValue(const std::string& msg, const std::string& key) {
    const std::string pattern = "\"" + key + "\":";
    const std::size_t at = msg.find(pattern);
    if (at == std::string::npos) return {};
    std::size_t end;
    if (const std::size_t comma = msg.find(',', at); comma != std::string::npos) {
        end = comma - 1;
    } else if (const std::size_t brace = msg.find('}', at); brace != std::string::npos) {
        end = brace;
    } else {
        end = msg.size();
    }
    const std::size_t quote = msg.find('"', at + pattern.size());
    const std::size_t start = quote != std::string::npos ? quote + 1 : at + pattern.size();
    if (start > end) throw std::out_of_range("the value of " + key + " starts beyond its end");
    return msg.substr(start, end - start);
}

}  // namespace

int32_t app_type_code(std::string_view t) {
    struct Row {
        const char* upper;
        const char* lower;
        int32_t code;
    };
    static constexpr Row kRows[] = {{"HTTP", "http", 1},       {"HTTPS", "https", 2},
                                    {"SSH", "ssh", 3},         {"Modbus TCP", "modbus tcp", 4},
                                    {"Web RTC", "web rtc", 5}, {"Web Socket", "web socket", 6},
                                    {"FTP", "ftp", 7},         {"Other", "other", 8}};
    for (const Row& r : kRows)
        if (t == r.upper || t == r.lower) return r.code;
    return 255;
}

int32_t ssh_port_from_serial(const std::string& sn, interfaces::ILogger& logger) {
    if (sn.size() <= 4) {
        log_warn(logger, "Serial number ", sn, " is too short to derive the SSH port");
        return -1;
    }
    try {
        return std::stoi(sn.substr(sn.size() - 5), nullptr, 10);
    } catch (const std::exception& e) {
        log_warn(logger, "Fail to derive the SSH port from serial number ", sn, ", reason : ", e.what());
        return -1;
    }
}

GatewayService::GatewayService(entities::SysSetting& settings, interfaces::ICloudSender& link,
                               interfaces::ILogger& logger, orvane::platform::Clock& clock,
                               orvane::platform::CommandRunner& runner)
    : settings_(settings),
      link_(link),
      logger_(logger),
      clock_(clock),
      runner_(runner),
      random_([] { return std::rand(); }),
      address_(interfaceAddress) {
    heartbeatClock_ = static_cast<int32_t>(now());
}

void GatewayService::reset(int32_t heartbeatPeriod) {
    heartbeatPeriod_ = heartbeatPeriod;
    heartbeatClock_ = static_cast<int32_t>(now());
}

const std::vector<std::pair<std::string, std::string>>& GatewayService::_known_failures() {
    static const std::vector<std::pair<std::string, std::string>> kTable = {
        {"Permission denied", "SSH key authentication rejected by server"},
        {"remote port forwarding failed", "Remote port already bound or forwarding disabled on server"},
        {"Remote TCP forward request failed", "Remote port already bound or forwarding disabled on server."},
        {"cannot listen to port", "Remote port already bound or forwarding disabled on server"},
        {"Address already in use", "Remote port already occupied on server"},
        {"Could not resolve hostname", "DNS resolution failed for server address"},
        {"Connection timed out", "Network unreachable, connection to server timed out"},
        {"Connection refused", "Server refused the SSH connection"},
        {"Host key verification failed", "Server SSH host key mismatch"},
        {"Connection closed by remote host", "Server closed the SSH connection"},
    };
    return kTable;
}

void GatewayService::publish(const std::string& topic, const std::string& document) {
    try {
        link_.publish(topic, document);  // the outcome is not used
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to publish on ", topic, ": ", e.what());
    }
}

int GatewayService::run_once(const std::string& sn, const entities::CellularSnapshot& snapshot) {
    const int64_t t = now();
    if (t - tunnelCheckClock_ > 29) {
        tunnelCheckClock_ = t;
        try {
            monitor_tunnels();
        } catch (const std::exception& e) {
            log_warn(logger_, "Fail to check the tunnels: ", e.what());
        }
    }
    try {
        if (link_.is_connected()) {
            if (!connected_) {
                log_info(logger_, "Gateway Connected...");
                heartbeatClock_ = static_cast<int32_t>(t);
                publish(settings_.heartbeatTopic, heartbeat_string(sn, snapshot));
                publish(settings_.stateTopic, state_string(sn));
            }
            if (t - heartbeatClock_ >= heartbeatPeriod_) {
                heartbeatClock_ = static_cast<int32_t>(t);
                publish(settings_.heartbeatTopic, heartbeat_string(sn, snapshot));
            }
            connected_ = true;
            return handle_command(link_.take_message(), sn);
        }
        if (connected_) log_info(logger_, "Disconnect from the gateway server.");
        connected_ = false;
        publish(settings_.heartbeatTopic, heartbeat_string(sn, snapshot));
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to serve the gateway server: ", e.what());
    }
    return 0;
}

int GatewayService::handle_command(const std::string& message, const std::string& sn) {
    if (message.empty()) return 0;
    if (message.size() > 1024) {
        log_warn(logger_, "Refuse a gateway command of ", message.size(), " bytes");
        return 0;
    }
    log_info(logger_, "Get a message: ", message);
    std::string msg;
    for (char c : message)
        if (c != '\t' && c != '\n' && c != '\r' && c != ' ') msg += c;
    try {
        const std::string cmd = extractValue(msg, "cmd");
        const std::string givenSn = extractValue(msg, "sn");
        if (cmd.empty() || givenSn.empty() || givenSn != sn) {
            log_warn(logger_, "SN not matched");
            return 0;
        }
        if (cmd == "state") {
            publish(settings_.stateTopic, state_string(sn));
            return 0;
        }
        const std::string app = extractValue(msg, "app");
        const int appType = std::stoi(extractValue(msg, "appType"));
        const int cmdid = std::stoi(extractValue(msg, "cmdid"));
        const int port = std::stoi(extractValue(msg, "port"));
        if (cmd == "activate") {
            const int monitorPort = 20000 + random_() % 5000;
            int localPort = -1;
            for (const ForwardEntry& e : settings_.forwards)
                if (e.name == app) {
                    localPort = e.localPort;
                    break;
                }
            const int serverPort = app == "_SSHTunnel" ? ssh_port_from_serial(sn, logger_) : port;
            const TunnelEndpoint ep = select_tunnel_endpoint(app);
            log_info(logger_, "activate_tunnel: server_port: ", serverPort, "_monitor_port: ", monitorPort,
                     "_local_addr: ", ep.localAddress, "_local_port: ", localPort, "_server_addr: ", ep.target);
            deactivate_tunnel(serverPort);
            std::string text;
            const int r = launch_tunnel(serverPort, monitorPort, ep.localAddress, localPort, ep.target, ep.keyFile, &text);
            publish(settings_.replyTopic, reply_string(cmd, sn, app, appType, cmdid, port, r, text));
            if (r >= 0) {
                update_forward_port(app, serverPort, monitorPort);
                return 1;
            }
            return 0;
        }
        if (cmd == "deactivate") {
            int target = port;
            if (app == "_SSHTunnel") {
                target = ssh_port_from_serial(sn, logger_);
            } else if (app == "_SerialProbe") {
                target = -1;
                for (const ForwardEntry& e : settings_.forwards)
                    if (e.name == app) {
                        target = e.serverPort;
                        break;
                    }
            }
            const int r = deactivate_tunnel(target);
            publish(settings_.replyTopic, reply_string(cmd, sn, app, appType, cmdid, port, r, ""));
            update_forward_port(app, -1, -1);
            return 1;
        }
        log_warn(logger_, "Unknow command", cmd);
        return 0;
    } catch (const std::exception& e) {
        log_warn(logger_, "Fail to analyze the gateway command: ", message, ". ", e.what(), "\n");
        return 0;
    }
}

std::string GatewayService::heartbeat_string(const std::string& sn, const entities::CellularSnapshot& s) {
    nlohmann::ordered_json doc;
    doc["cmd"] = "heartbeat";
    doc["sn"] = sn;
    doc["ts"] = now();
    doc["signal_rssi"] = static_cast<double>(s.rssi);
    doc["signal_rsrp"] = static_cast<double>(s.rsrp);
    doc["signal_sinr"] = static_cast<double>(s.sinr);
    doc["signal_rsrq"] = static_cast<double>(s.rsrq);
    doc["carrier"] = s.carrier;
    doc["imsi"] = s.imsi;
    doc["swver"] = s.swver;
    doc["uptime"] = s.uptime;
    return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string GatewayService::state_string(const std::string& sn) {
    nlohmann::json doc;
    doc["cmd"] = "state";
    nlohmann::json ports = nlohmann::json::array();
    for (const ForwardEntry& e : settings_.forwards) {
        const infrastructure::mqtt::MqttAppForward f{e.name, app_type_code(e.application)};
        ports.push_back({{"app", f.name}, {"appType", f.appType}});
    }
    doc["ports"] = std::move(ports);
    doc["sn"] = sn;
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string GatewayService::reply_string(const std::string& cmd, const std::string& sn, const std::string& app,
                                         int appType, int cmdid, int port, int result, const std::string& message) {
    nlohmann::json doc;
    doc["app"] = app;
    doc["appType"] = appType;
    doc["cmd"] = cmd;
    doc["cmdid"] = cmdid;
    doc["message"] = result != 0 ? message : std::string();
    doc["port"] = port;
    doc["sessionStart"] = static_cast<uint32_t>(now());
    doc["sn"] = sn;
    doc["status"] = result != 0 ? "error" : "ok";
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string GatewayService::tunnel_log_path(int serverPort) {
    return orvane::platform::Paths::runtime("tunnel_" + std::to_string(serverPort) + ".log");
}

std::string GatewayService::process_check_line(int port) {
    return "ps -aux | awk -v port=" + std::to_string(port) +
           " '$0 ~ /\\/usr\\/bin\\/autossh/ && index($0, \"-R \" port \":\") { found = 1 } END { exit !found }'";
}

std::string GatewayService::kill_line(int port) {
    // Only processes whose arguments hold "-R <port>:" (autossh and its ssh child); the awk and
    // the shell of this line hold the port only as "port=<port>". With none, kill is not run at
    // all (it would print its usage and fail where nothing failed).
    return "pids=$(ps -eo pid=,args= | awk -v port=" + std::to_string(port) +
           " 'index($0, \"-R \" port \":\") { print $1 }'); [ -z \"$pids\" ] || kill $pids";
}

int GatewayService::launch_tunnel(int serverPort, int monitorPort, const std::string& localAddress, int localPort,
                                  const std::string& target, const std::string& keyFile, std::string* message) {
    if (serverPort < 1 || monitorPort < 1 || localPort < 1) {
        if (message)
            *message = "Invalid port configuration, server_port=" + std::to_string(serverPort) +
                       ", monitor_port=" + std::to_string(monitorPort) + ", local_port=" + std::to_string(localPort);
        log_warn(logger_, "Fail to connect the server port ", serverPort, " to local at ", localPort);
        return -1;
    }
    const std::string logPath = tunnel_log_path(serverPort);
    std::string line = "AUTOSSH_GATETIME=0 /usr/bin/autossh -M " + std::to_string(monitorPort) + " -y -N -R " +
                       std::to_string(serverPort) + ":" + localAddress + ":" + std::to_string(localPort);
    if (!keyFile.empty()) line += " -i " + keyFile;
    line += " " + target + " > " + logPath + " 2>&1 &";
    if (runner_.shell(line) == 0) {
        log_info(logger_, "Run command: ", line);
        if (verify_tunnel(serverPort, logPath, message) == 0) return 0;
    } else {
        if (message) *message = "Failed to launch autossh";
        log_warn(logger_, "Fail to excute: ", line);
    }
    // A failed try ends what it started: otherwise its autossh keeps retrying and competes with
    // the next try (or the next "activate") for the same remote and monitor ports.
    deactivate_tunnel(serverPort);
    return -1;
}

int GatewayService::verify_tunnel(int port, const std::string& logPath, std::string* message) {
    for (int i = 0; i < 6; ++i) {
        clock_.sleepFor(std::chrono::milliseconds(500));
        const std::string text = readWhole(logPath);
        for (const auto& [pattern, reason] : _known_failures()) {
            if (text.find(pattern) == std::string::npos) continue;
            if (message) *message = reason;
            log_warn(logger_, "Tunnel to port ", port, " failed: ", reason, " (log: ", text, ")");
            return -1;
        }
    }
    if (tunnel_running(port)) return 0;
    if (message) *message = "autossh process exited or no confirmation within timeout";
    log_warn(logger_, "Tunnel to port ", port, " did not confirm within timeout");
    return -1;
}

bool GatewayService::tunnel_running(int port) { return runner_.shell(process_check_line(port)) == 0; }

int GatewayService::deactivate_tunnel(int serverPort) {
    if (serverPort < 1) {
        log_warn(logger_, "Skip deactivating an invalid server port ", serverPort);
        return 0;
    }
    const std::string line = kill_line(serverPort);
    if (runner_.shell(line) == 0) log_info(logger_, "Run command: ", line);
    else log_warn(logger_, "Fail to excute: ", line);
    return 0;
}

void GatewayService::monitor_tunnels() {
    for (const ForwardEntry& e : settings_.forwards) {
        if (e.serverPort <= 0 || e.monitorPort <= 0) continue;
        if (tunnel_running(e.serverPort)) continue;
        log_warn(logger_, "Tunnel for ", e.name, " on port ", e.serverPort, " is down, reactivating");
        const TunnelEndpoint ep = select_tunnel_endpoint(e.name);
        deactivate_tunnel(e.serverPort);
        launch_tunnel(e.serverPort, e.monitorPort, ep.localAddress, e.localPort, ep.target, ep.keyFile);
    }
}

void GatewayService::update_forward_port(const std::string& name, int serverPort, int monitorPort) {
    for (ForwardEntry& e : settings_.forwards) {
        if (e.name != name) continue;
        e.serverPort = serverPort;
        e.monitorPort = monitorPort;
        log_info(logger_, "Update the ", name, " port to : ", serverPort, " ", monitorPort);
        return;
    }
}

TunnelEndpoint GatewayService::select_tunnel_endpoint(const std::string& name) {
    if (name == "_SSHTunnel") return {"localhost", kCloudBrokerSshTarget, kTunnelKeyFile};
    if (name == "_OrvanePro" || name == "_SerialProbe") return {"localhost", kGatewayServerSshTarget, ""};
    return {address_("eth1"), kGatewayServerSshTarget, ""};
}

}  // namespace cloud_daemon::domain::service
