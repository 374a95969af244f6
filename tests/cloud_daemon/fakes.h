#pragma once
// Fakes of the daemon's interfaces for the publisher and gateway-service tests.
#include <deque>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cloud_daemon/domain/interfaces/i_cloud_sender.h"
#include "cloud_daemon/domain/interfaces/i_data_collector.h"
#include "cloud_daemon/domain/interfaces/i_system_sender.h"

namespace orvane::test {

class FakeCollector : public cloud_daemon::domain::interfaces::IDataCollector {
public:
    int scan() override {
        ++scans;
        if (scanError) throw std::runtime_error("Error connecting to UNIX socket at /tmp/probeSock: refused");
        return 0;
    }
    int get_data(uint32_t start, uint32_t span, uint32_t interval) override {
        history.emplace_back(start, span, interval);
        if (historyError) throw std::runtime_error("Error connecting to UNIX socket at /tmp/probeSock: refused");
        return 0;
    }
    std::string livedata_string(uint32_t, const std::string& sn) override {
        ++documents;
        return "{\"data\":[" + std::to_string(documents) + "],\"sn\":\"" + sn + "\"}";
    }
    std::string alarm_string(uint32_t, const std::string&) override {
        std::string a;
        a.swap(alarm);
        return a;
    }
    uint32_t last_timestamp() override { return lastTimestamp; }
    cloud_daemon::domain::entities::CellularSnapshot lte_information() override { return snapshot; }

    int scans = 0;
    int documents = 0;
    bool scanError = false;
    bool historyError = false;
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> history;
    std::string alarm;
    uint32_t lastTimestamp = 0;
    cloud_daemon::domain::entities::CellularSnapshot snapshot;
};

class FakeSystemSender : public cloud_daemon::domain::interfaces::ISystemSender {
public:
    int send_system_update(cloud_daemon::domain::entities::SystemUpgradeMethod m, const std::string& file) override {
        orders.emplace_back(static_cast<int>(m), file);
        return 0;
    }
    std::vector<std::pair<int, std::string>> orders;
};

class FakeLink : public cloud_daemon::domain::interfaces::ICloudSender {
public:
    bool is_connected() override { return up; }
    std::string take_message() override {
        std::string m;
        m.swap(message);
        return m;
    }
    int publish(const std::string& topic, const std::string& payload) override {
        ++attempts;
        if (!up) return -1;
        sent.emplace_back(topic, payload);
        return 0;
    }
    bool up = true;
    int attempts = 0;
    std::string message;
    std::vector<std::pair<std::string, std::string>> sent;
};

}  // namespace orvane::test
