#include "cloud_daemon/infrastructure/setting/setting_cfg.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "platform/atomic_file.h"
#include "platform/command_runner.h"

namespace cloud_daemon::infrastructure::setting {

using domain::entities::ForwardEntry;
using domain::interfaces::log_error;
using domain::interfaces::log_info;
using domain::interfaces::log_warn;
using json = nlohmann::json;

namespace {

json parseFile(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in);  // an unreadable file fails as a parse error
}

void logJsonError(domain::interfaces::ILogger& logger, const json::exception& e) {
    log_error(logger, "message: ", e.what(), "; ", "exception id: ", e.id);
}

// The SSH tunnel's server port: the number made of the last 5 characters of the serial number.
int32_t sshPortOf(const std::string& sn) {
    if (sn.size() < 5) throw std::invalid_argument("the serial number has fewer than 5 characters");
    return std::stoi(sn.substr(sn.size() - 5));
}

void logEntries(domain::interfaces::ILogger& logger, const std::list<ForwardEntry>& entries) {
    for (const ForwardEntry& e : entries)
        log_info(logger, "Port Forwarding: idx: ", e.index, ", application: ", e.name, ", protocol: ", e.application,
                 ", local_port: ", e.localPort, ", srv_port: ", e.serverPort, ", srv_monitor_port: ", e.monitorPort);
}

// A broker profile: address and credentials of one section.
domain::entities::MqttServerCfg readServer(const json& section) {
    return {section.at("serverHost").get<std::string>(), section.at("serverPort").get<uint32_t>(),
            section.at("username").get<std::string>(), section.at("password").get<std::string>()};
}

}  // namespace

std::string SettingCfg::read_topic(const json& section, const std::string& key, const std::string& sn) {
    static const std::regex kSn("\\{sn\\}", std::regex::ECMAScript);
    const std::string tmpl = section.at(key).get<std::string>();
    // The serial number is taken literally ("$" in it is no back-reference).
    std::string out;
    auto last = tmpl.cbegin();
    for (std::sregex_iterator it(tmpl.begin(), tmpl.end(), kSn), end; it != end; ++it) {
        out.append(last, (*it)[0].first);
        out += sn;
        last = (*it)[0].second;
    }
    out.append(last, tmpl.cend());
    return out;
}

int SettingCfg::load(const std::string& path, ILogger& logger, SysSetting& s) {
    try {
        const json doc = parseFile(path);
        const json& system = doc.at("system");
        s.pn = system.at("pn").get<uint32_t>();
        s.sn = system.at("sn").get<std::string>();

        const json& cloud = doc.at("cloudServer");
        s.fetchInterval = cloud.at("fetchInterval").get<uint32_t>();
        s.uploadInterval = cloud.at("uploadInterval").get<uint32_t>();
        s.cloud = readServer(cloud);
        s.dataTopic = read_topic(cloud, "dataTopic", s.sn);
        s.alarmTopic = read_topic(cloud, "alarmTopic", s.sn);
        s.cloudCommandTopic = read_topic(cloud, "commandTopic", s.sn);

        const json& gateway = doc.at("gatewayServer");
        s.gateway = readServer(gateway);
        s.gatewayCommandTopic = read_topic(gateway, "commandTopic", s.sn);
        s.replyTopic = read_topic(gateway, "replyTopic", s.sn);
        s.heartbeatTopic = read_topic(gateway, "heartbeatTopic", s.sn);
        s.stateTopic = read_topic(gateway, "stateTopic", s.sn);

        // A reload replaces every entry.
        s.forwards.clear();
        const json& remote = doc.at("orvaneProRemote");
        ForwardEntry web{0, "_OrvanePro", "HTTP", 80, 0, 0, -1};
        web.serverPort = remote.at("gatewayServerPort").get<int32_t>();
        web.monitorPort = remote.at("gatewayMonitorPort").get<int32_t>();
        s.forwards.push_back(web);

        ForwardEntry ssh{1, "_SSHTunnel", "SSH", 22, 0, 0, -1};
        ssh.monitorPort = remote.at("sshMonitorPort").get<int32_t>();
        try {
            ssh.serverPort = sshPortOf(s.sn);
            s.forwards.push_back(ssh);
        } catch (const std::exception& e) {
            log_error(logger, "Fail to get the SSH port according to the serial number ", s.sn, ", reason : ",
                      e.what());
        }

        ForwardEntry serial{2, "_SerialProbe", "SSH", 1077, 0, 0, -1};
        serial.serverPort = remote.at("serialportServerPort").get<int32_t>();
        serial.monitorPort = remote.at("serialportMonitorPort").get<int32_t>();
        s.forwards.push_back(serial);

        const bool forwarding = system.at("portforwardingEnable").get<bool>();
        if (forwarding) {
            const json& elements = doc.at("portForwarding");
            if (!elements.is_array())
                throw json::type_error::create(302, std::string("type must be array, but is ") + elements.type_name(),
                                               &elements);
            int index = 3;
            for (std::size_t i = 0; i < elements.size(); ++i) {
                const json& el = elements[i];
                if (!el.at("enable").get<bool>()) continue;
                ForwardEntry e;
                e.index = index;
                e.name = el.at("application").get<std::string>();
                e.application = el.at("protocol").get<std::string>();
                e.localPort = el.at("externalPort").get<int32_t>();
                e.serverPort = el.at("serverPort").get<int32_t>();
                e.monitorPort = el.at("monitorPort").get<int32_t>();
                e.element = static_cast<int>(i);
                s.forwards.push_back(std::move(e));
                ++index;
            }
        }
        logEntries(logger, s.forwards);
        return 0;
    } catch (const json::exception& e) {
        logJsonError(logger, e);
        return -1;
    }
}

int SettingCfg::save(const std::string& path, ILogger& logger, const SysSetting& s) {
    try {
        // Reread just before writing, so that whatever else changed in the file is kept.
        json doc = parseFile(path);
        json& remote = doc["orvaneProRemote"];
        for (const ForwardEntry& e : s.forwards) {
            if (e.index == 0) {
                remote["gatewayServerPort"] = e.serverPort;
                remote["gatewayMonitorPort"] = e.monitorPort;
            } else if (e.index == 1) {
                remote["sshMonitorPort"] = e.monitorPort;
            } else if (e.index == 2) {
                remote["serialportMonitorPort"] = e.monitorPort;
            }
        }
        // Each configured entry goes back to the element it was read from.
        if (auto it = doc.find("portForwarding"); it != doc.end() && it->is_array()) {
            json& elements = *it;
            for (const ForwardEntry& e : s.forwards) {
                if (e.element < 0 || static_cast<std::size_t>(e.element) >= elements.size()) continue;
                json& el = elements[static_cast<std::size_t>(e.element)];
                // An element that is no longer the entry's (the list was edited since the load)
                // keeps its own ports; the reload that follows the edit reads the list anew.
                if (!el.is_object() || !el.contains("application") || el["application"] != e.name) continue;
                el["serverPort"] = e.serverPort;
                el["monitorPort"] = e.monitorPort;
                const json id = el.contains("id") ? el["id"] : json(e.element);
                log_info(logger, "Update port forwarding: ", id.dump(), "; serverPort: ", e.serverPort,
                         ", monitorPort: ", e.monitorPort);
            }
        }
        log_warn(logger, "Update Configuration file: ", path);
        const std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
        int err = 0;
        if (orvane::platform::replaceFile(path, text.data(), text.size(), &err) != orvane::platform::ReplaceError::None) {
            log_error(logger, "Fail to write the configuration file ", path, ": ", std::strerror(err));
            return 0;
        }
        orvane::platform::CommandRunner::get().syncFs();
    } catch (const json::exception& e) {
        logJsonError(logger, e);
    }
    return 0;
}

}  // namespace cloud_daemon::infrastructure::setting
