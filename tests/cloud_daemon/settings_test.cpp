// orvane-lte's settings on temporary parameter files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cloud_daemon/infrastructure/setting/setting_cfg.h"
#include "platform/command_runner.h"
#include "recording_logger.h"
#include "support/temp_dir.h"

using cloud_daemon::domain::entities::ForwardEntry;
using cloud_daemon::domain::entities::SysSetting;
using cloud_daemon::infrastructure::setting::SettingCfg;
using json = nlohmann::json;
using orvane::platform::CommandRunner;
using orvane::platform::RecordingCommandRunner;
using orvane::test::readFile;
using orvane::test::RecordingLogger;
using orvane::test::writeFile;

namespace {

json baseDocument() {
    return json::parse(R"json({
      "system": {"pn": 1001, "sn": "GW2301234", "portforwardingEnable": true, "swVer": "x"},
      "cloudServer": {"fetchInterval": 10, "uploadInterval": 60, "serverHost": "cloud.example", "serverPort": 1883,
                      "username": "cu", "password": "cp", "dataTopic": "kelva/{sn}/livedata",
                      "alarmTopic": "kelva/{sn}/alarm", "commandTopic": "kelva/{sn}/command"},
      "gatewayServer": {"serverHost": "gw.example", "serverPort": 8883, "username": "gu", "password": "gp",
                        "commandTopic": "gw/{sn}/cmd", "replyTopic": "gw/{sn}/reply",
                        "heartbeatTopic": "gw/{sn}/hb", "stateTopic": "gw/{sn}/state"},
      "orvaneProRemote": {"gatewayServerPort": 11001, "gatewayMonitorPort": 11002, "sshMonitorPort": 11003,
                          "serialportServerPort": 11004, "serialportMonitorPort": 11005},
      "portForwarding": [
        {"id": 1, "enable": false, "application": "Web", "protocol": "http", "externalPort": 8080,
         "serverPort": -1, "monitorPort": -1},
        {"id": 2, "enable": true, "application": "PLC", "protocol": "tcp", "externalPort": 502,
         "serverPort": 12002, "monitorPort": 13002},
        {"id": 3, "enable": true, "application": "HMI", "protocol": "http", "externalPort": 8081,
         "serverPort": 12003, "monitorPort": 13003}],
      "wifi": {"ssid": "kept"}
    })json");
}

class SettingsTest : public testing::Test {
protected:
    void SetUp() override { CommandRunner::setForTest(&runner_); }
    void TearDown() override { CommandRunner::setForTest(nullptr); }
    int load(const json& doc) {
        writeFile(path_, doc.dump(2));
        return SettingCfg::load(path_, log_, s_);
    }
    std::vector<ForwardEntry> entries() const { return {s_.forwards.begin(), s_.forwards.end()}; }

    orvane::test::TempDir dir_{"lte-settings"};
    std::string path_ = dir_.file("parameter.json");
    RecordingCommandRunner runner_;
    RecordingLogger log_;
    SysSetting s_;
};

TEST_F(SettingsTest, ReadsEveryKeyAndTheEntries) {
    json doc = baseDocument();
    doc["cloudServer"]["fetchInterval"] = 12.9;  // numbers may be floats or booleans
    doc["cloudServer"]["uploadInterval"] = true;
    doc["cloudServer"]["dataTopic"] = "kelva/{sn}/{sn}";  // every {sn} replaced
    ASSERT_EQ(load(doc), 0);
    EXPECT_EQ(std::tie(s_.pn, s_.sn, s_.fetchInterval, s_.uploadInterval, s_.cloud.host, s_.cloud.port, s_.cloud.password),
              std::make_tuple(1001u, "GW2301234", 12u, 1u, "cloud.example", 1883u, "cp"));
    EXPECT_EQ(std::tie(s_.dataTopic, s_.cloudCommandTopic, s_.gateway.port, s_.stateTopic),
              std::make_tuple("kelva/GW2301234/GW2301234", "kelva/GW2301234/command", 8883u, "gw/GW2301234/state"));
    const std::vector<ForwardEntry> want = {
        {0, "_OrvanePro", "HTTP", 80, 11001, 11002, -1},
        {1, "_SSHTunnel", "SSH", 22, 1234, 11003, -1},  // the last five characters of the serial number
        {2, "_SerialProbe", "SSH", 1077, 11004, 11005, -1},
        {3, "PLC", "tcp", 502, 12002, 13002, 1},  // the disabled first element is skipped
        {4, "HMI", "http", 8081, 12003, 13003, 2},
    };
    EXPECT_EQ(entries(), want);
}

TEST_F(SettingsTest, EdgeCases) {
    // Name, edit, result, entries, an error line logged (or none at all).
    const std::tuple<const char*, void (*)(json&), int, size_t, const char*> cases[] = {
        {"short serial number", [](json& d) { d["system"]["sn"] = "AB"; }, 0, 4,
         "Fail to get the SSH port according to the serial number AB, reason : "},
        {"forwarding off: elements not read", [](json& d) {
             d["system"]["portforwardingEnable"] = false;
             d["portForwarding"] = "not even an array";
         }, 0, 3, ""},
        {"missing alarm topic", [](json& d) { d["cloudServer"].erase("alarmTopic"); }, -1, 0,
         "message: [json.exception.out_of_range.403] key 'alarmTopic' not found; exception id: 403"},
        {"enable as number", [](json& d) { d["portForwarding"][1]["enable"] = 1; }, -1, 3,
         "type must be boolean, but is number"},
    };
    for (const auto& [name, edit, result, entries, logged] : cases) {
        SCOPED_TRACE(name);
        log_.clear();
        s_ = {};
        json doc = baseDocument();
        edit(doc);
        EXPECT_EQ(load(doc), result);
        EXPECT_EQ(s_.forwards.size(), entries);
        EXPECT_EQ(log_.count(5, logged), *logged ? 1u : 0u);
    }
}

TEST_F(SettingsTest, UnreadableFileIsAParseErrorAndASaveOverAnUnparseableOneLeavesIt) {
    EXPECT_EQ(SettingCfg::load(dir_.file("missing.json"), log_, s_), -1);
    EXPECT_EQ(log_.count(5, "parse_error"), 1u);
    ASSERT_EQ(load(baseDocument()), 0);
    writeFile(path_, "{ broken");
    EXPECT_EQ(SettingCfg::save(path_, log_, s_), 0);
    EXPECT_EQ(readFile(path_), "{ broken");
    EXPECT_EQ(log_.count(5, "parse_error"), 2u);
    EXPECT_EQ(runner_.syncCount(), 0);
}

TEST_F(SettingsTest, SaveWritesPortsToTheirElementsKeepsEverythingElseAndLeavesAMovedElement) {
    ASSERT_EQ(load(baseDocument()), 0);
    for (ForwardEntry& e : s_.forwards) {
        e.serverPort = 20000 + e.index;
        e.monitorPort = 30000 + e.index;
    }
    // Changed by the gateway after the load: kept.
    json onDisk = baseDocument();
    onDisk["wifi"]["ssid"] = "changed meanwhile";
    writeFile(path_, onDisk.dump(4));
    EXPECT_EQ(SettingCfg::save(path_, log_, s_), 0);

    json want = onDisk;
    want["orvaneProRemote"]["gatewayServerPort"] = 20000;
    want["orvaneProRemote"]["gatewayMonitorPort"] = 30000;
    want["orvaneProRemote"]["sshMonitorPort"] = 30001;
    want["orvaneProRemote"]["serialportMonitorPort"] = 30002;  // its server port is not written
    want["portForwarding"][1]["serverPort"] = 20003;           // entry 3 came from element 1
    want["portForwarding"][1]["monitorPort"] = 30003;
    want["portForwarding"][2]["serverPort"] = 20004;
    want["portForwarding"][2]["monitorPort"] = 30004;
    EXPECT_EQ(readFile(path_), want.dump(2));  // sorted keys, 2-space indentation
    EXPECT_EQ(runner_.syncCount(), 1);

    // An element that is no longer the entry's is left: "HMI" now stands where "PLC" was read.
    for (ForwardEntry& e : s_.forwards) e.serverPort = e.monitorPort = -1;
    onDisk = baseDocument();
    onDisk["portForwarding"].erase(0);
    writeFile(path_, onDisk.dump(2));
    EXPECT_EQ(SettingCfg::save(path_, log_, s_), 0);
    const json saved = json::parse(readFile(path_));
    EXPECT_EQ(saved["portForwarding"], onDisk["portForwarding"]);
    EXPECT_EQ(saved["orvaneProRemote"]["gatewayServerPort"], -1);
}

}  // namespace
