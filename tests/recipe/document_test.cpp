// The parameter.json document against an independent JSON library: layout, key order, every
// default as the configuration tables give it, round trips, another writer's output, cut-off
// documents.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "recipe/recipe_codec.h"

using ojson = nlohmann::ordered_json;

namespace {

std::string writeDocument(const ScadaRecipeData& r) {
    std::string buf(1048576, '\0');
    gIndentLevelForWriteJsonP = 0;
    int n = writeJsonP(r, buf.data(), 1048574, nullptr);
    EXPECT_GT(n, 0);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}

// ---- the defaults, typed from the configuration tables -----------------------------------------
const ojson kSystem = {{"model", "RB-820"}, {"pn", 43030},       {"hasAI", false},       {"version", "1.2."},
                       {"name", "Orvane"},  {"lang", "En"},      {"location", "Shanghai"}, {"hwVer", "3.0"},
                       {"swVer", "1.2.2922(20260907)"}, {"timeMode", 2}, {"sn", "2450000"}, {"timezone", 8},
                       {"engUnit", 1},      {"theme", "Light"},  {"firewallEnable", false},
                       {"portforwardingEnable", true}, {"Timestamp", ""}, {"guardPort", 80}};
const ojson kModbusRtu = {{"mode", 1},    {"interface", "/dev/ttymxc3"}, {"baudrate", 9600}, {"parity", 2},
                          {"databits", 8}, {"stopbit", 1}, {"timeout", 500}, {"sampleRate", 5}, {"enable", true}};
const ojson kSensor = {{"id", 0},           {"displayId", 0},   {"pn", 0},          {"sn", 0},
                       {"name", ""},        {"custName", ""},   {"unit", ""},       {"displayUnit", ""},
                       {"modbusAddr", 0},   {"alarmEnable", false}, {"alarmDelay", 10}, {"alarmHigh", 0},
                       {"alarmLow", 0},     {"simulateEnable", false}, {"simulateValue", 0}, {"min", 0},
                       {"max", 0},          {"mA_4", 0},        {"mA_20", 100},     {"precision", 3},
                       {"intercept", 0},    {"slope", 1},       {"calculated", false}, {"enable", false},
                       {"display", false}};
const ojson kFirewall = {{"id", 0},       {"type", 1},        {"enable", false},      {"description", ""},
                         {"protocol", 1}, {"application", "HTTP"}, {"srcIntf", 1},   {"destIntf", 4},
                         {"port", 80},    {"permission", 1},  {"sourceType", 2},      {"destType", 2},
                         {"source", ""},  {"destination", ""}};
const ojson kBluetooth = {{"mode", 1}, {"name", "Marisol"}, {"mac", "49:29:7Y:13:77:10"}, {"enable", false}};
const ojson kWifiHead = {{"mode", 1},           {"interface", "wlan0"},      {"ipaddr", "172.16.0.1"},
                         {"gateway", "172.16.0.1"}, {"ssid", "OrvanePro"}, {"key", "tarn4826"},
                         {"ipaddrStation", "192.168.10.115"}, {"gatewayStation", "192.168.10.1"}};
const ojson kWifiTail = {{"keyStation", "lomba=7$"}, {"security", "WPA2-PSK"}, {"band", "2.4GHz"},
                         {"status", "connected"},    {"enable", false},        {"enableDHCP", true}};
const ojson kCellular = {{"operatorSettings", 1}, {"apn", "JTM2M"}, {"username", ""},
                         {"password", ""},        {"enable", true}, {"billingCycleDay", 1}};
const ojson kLora = {{"role", 1},         {"mode", 2},         {"loraId", 1},      {"region", 0},
                     {"FREQ", 903000000}, {"BW", 250},         {"CR", 1},          {"SF", 9},
                     {"PR", 8},           {"txPower", 20},     {"rxTimeout", 5},   {"txTimeout", 5},
                     {"devOfflineTimeout", 129600}, {"pollWaitResponseTime", 500}, {"pollModePeriod", 5},
                     {"pollMaxRetry", 3}};
const ojson kRegister = {{"name", ""},       {"unit", ""},          {"valueType", 0},    {"valueSize", 0},
                         {"value", 0},       {"integerPart", 0},    {"decimalPart", 0},  {"display", false},
                         {"displayUnit", ""}, {"calculated", false}, {"minValue", 4},     {"maxValue", 20},
                         {"minValueCalculated", 0}, {"maxValueCalculated", 0}, {"decimalPartCalculated", 0},
                         {"nameCalculated", ""}, {"unitCalculated", ""}};
const ojson kDataLog = {{"logInterval", 10}, {"logRetention", 365}, {"enable", true}};
const ojson kPortForwarding = {{"id", 1},           {"application", "Web"}, {"protocol", "http"},
                               {"externalIntf", 1}, {"externalPort", 8080}, {"internalPort", 80},
                               {"serverPort", -1},  {"monitorPort", -1},    {"internalIP", "192.168.0.10"},
                               {"enable", false}};
const ojson kRemote = {{"gatewayServerPort", -1}, {"gatewayMonitorPort", -1}, {"sshMonitorPort", -1},
                       {"serialportServerPort", -1}, {"serialportMonitorPort", -1}};
const ojson kInput = {{"id", 0},        {"enable", false},    {"regName", "Sensor 1"}, {"custName", "CCond"},
                      {"regAddr", -1},  {"regNum", 1},        {"regLen", 2},           {"dataType", "FLOAT"},
                      {"unit", ""},     {"precision", 3},     {"tagName", ""},         {"elementCount", 1}};
const ojson kOutput = {{"id", 0},           {"enable", false},     {"regLen", 2},        {"dataType", "FLOAT"},
                       {"outputName", "Tank1"}, {"outputAddr", -1}, {"virtualName", "V1"}, {"vRegAddr", 5761}};
const ojson kMBTcpServer = {{"slaveId", 1}, {"serverPort", 502}, {"enable", true}};
const ojson kAi = {{"id", 0},          {"displayId", 0},     {"name", ""},          {"modbusAddr", 3},
                   {"reg", 0},         {"regType", "float"}, {"pn", 10000},         {"signalType", 1},
                   {"measureType", ""}, {"mA_4", 0},          {"mA_20", 100},        {"precision", 3},
                   {"custName", ""},   {"unit", ""},         {"alarmLow", 0},       {"alarmHigh", 100},
                   {"enable", false},  {"display", false}};

std::vector<std::string> keysOf(const ojson& o) {
    std::vector<std::string> k;
    for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
    return k;
}

}  // namespace

TEST(Document, DefaultDocumentMatchesTheTables) {
    auto r = std::make_unique<ScadaRecipeData>();
    const std::string text = writeDocument(*r);
    ojson doc = ojson::parse(text);

    std::vector<std::string> expectedKeys(std::begin(kRecipeDocumentKeys), std::end(kRecipeDocumentKeys));
    EXPECT_EQ(keysOf(doc), expectedKeys);
    EXPECT_EQ(expectedKeys.front(), "system");
    EXPECT_EQ(expectedKeys.back(), "ai");

    EXPECT_EQ(doc["system"], kSystem);
    EXPECT_EQ(doc["modbusRtu"], kModbusRtu);
    ASSERT_EQ(doc["sensors"].size(), 128u);
    for (const auto& s : doc["sensors"]) ASSERT_EQ(s, kSensor);
    ASSERT_EQ(doc["firewall"].size(), 16u);
    for (const auto& f : doc["firewall"]) ASSERT_EQ(f, kFirewall);
    EXPECT_EQ(doc["bluetooth"], kBluetooth);

    const ojson& lte = doc["lte"];
    EXPECT_EQ(keysOf(lte), (std::vector<std::string>{"brand", "model", "version", "imsi", "iccid"}));
    EXPECT_EQ(lte["brand"], "Quectel");
    EXPECT_EQ(lte["model"], "EC20F");
    EXPECT_EQ(lte["version"], "EC20CEFAGR06A08M4G");
    EXPECT_EQ(lte["imsi"].get<std::string>().size(), 15u);
    EXPECT_EQ(lte["imsi"].get<std::string>().find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(lte["iccid"].get<std::string>().size(), 20u);

    const ojson& wifi = doc["wifi"];
    std::vector<std::string> wifiKeys = keysOf(kWifiHead);
    wifiKeys.push_back("ssidStation");
    for (auto& k : keysOf(kWifiTail)) wifiKeys.push_back(k);
    EXPECT_EQ(keysOf(wifi), wifiKeys);
    for (auto it = kWifiHead.begin(); it != kWifiHead.end(); ++it) EXPECT_EQ(wifi[it.key()], it.value()) << it.key();
    for (auto it = kWifiTail.begin(); it != kWifiTail.end(); ++it) EXPECT_EQ(wifi[it.key()], it.value()) << it.key();
    EXPECT_EQ(wifi["ssidStation"].get<std::string>().size(), 14u);

    EXPECT_EQ(doc["cellular"], kCellular);
    EXPECT_EQ(doc["lora"], kLora);

    ASSERT_EQ(doc["loraDevice"].size(), 16u);
    for (const auto& d : doc["loraDevice"]) {
        EXPECT_EQ(keysOf(d), (std::vector<std::string>{"loraId", "pn", "sn", "devPn", "devSn", "registers",
                                                        "lastTimestamp", "id", "tankName", "displayId", "precision",
                                                        "enable", "display", "passive"}));
        ASSERT_EQ(d["registers"].size(), 8u);
        for (const auto& reg : d["registers"]) ASSERT_EQ(reg, kRegister);
        EXPECT_EQ(d["precision"], 3);
        EXPECT_EQ(d["tankName"], "");
        EXPECT_EQ(d["passive"], false);
    }
    EXPECT_EQ(doc["dataLog"], kDataLog);

    const ojson& cloud = doc["cloudServer"];
    EXPECT_EQ(keysOf(cloud), (std::vector<std::string>{"cloudPlatform", "serverHost", "serverIP", "serverPort",
                                                        "protocol", "authentication", "username", "password",
                                                        "dataTopic", "alarmTopic", "commandTopic", "fetchInterval",
                                                        "uploadInterval", "enable"}));
    EXPECT_EQ(cloud["cloudPlatform"], 1);
    EXPECT_EQ(cloud["serverPort"], 8883);
    EXPECT_EQ(cloud["protocol"], 3);
    EXPECT_EQ(cloud["authentication"], true);
    EXPECT_EQ(cloud["username"], "kelva");
    EXPECT_EQ(cloud["password"], "Qarvo@5183");
    EXPECT_EQ(cloud["dataTopic"], "kelva/{sn}/livedata");
    EXPECT_EQ(cloud["alarmTopic"], "kelva/{sn}/alarm");
    EXPECT_EQ(cloud["commandTopic"], "kelva/{sn}/command");
    EXPECT_EQ(cloud["fetchInterval"], 60);
    EXPECT_EQ(cloud["uploadInterval"], 60);
    EXPECT_EQ(cloud["enable"], true);

    const ojson& gw = doc["gatewayServer"];
    EXPECT_EQ(keysOf(gw), (std::vector<std::string>{"serverHost", "serverIP", "serverPort", "protocol",
                                                     "authentication", "username", "password", "commandTopic",
                                                     "replyTopic", "heartbeatTopic", "stateTopic", "enable"}));
    EXPECT_EQ(gw["serverPort"], 8883);
    EXPECT_EQ(gw["protocol"], 2);
    EXPECT_EQ(gw["username"], "kelva");
    EXPECT_EQ(gw["password"], "Qarvo@5183");
    EXPECT_EQ(gw["commandTopic"], "kelva/{sn}/command");
    EXPECT_EQ(gw["replyTopic"], "kelva/{sn}/reply");
    EXPECT_EQ(gw["heartbeatTopic"], "kelva/{sn}/heartbeat");
    EXPECT_EQ(gw["stateTopic"], "kelva/{sn}/state");

    ASSERT_EQ(doc["portForwarding"].size(), 10u);
    for (const auto& p : doc["portForwarding"]) ASSERT_EQ(p, kPortForwarding);
    EXPECT_EQ(doc["orvaneProRemote"], kRemote);

    const ojson& wan = doc["wan"];
    const ojson& lan = doc["lan"];
    EXPECT_EQ(keysOf(wan), (std::vector<std::string>{"device", "mac", "ipaddr", "netmask", "gateway", "primayDNS",
                                                      "secondaryDNS", "ipmode"}));
    EXPECT_EQ(keysOf(lan), (std::vector<std::string>{"device", "mac", "ipaddr", "netmask", "gateway", "primayDNS",
                                                      "secondaryDNS", "enableDHCP"}));
    EXPECT_EQ(wan["device"], "eth0");
    EXPECT_EQ(wan["mac"], "ce:2c:ea:83:eb:4e");
    EXPECT_EQ(wan["ipaddr"], "192.168.10.110");
    EXPECT_EQ(wan["netmask"], "255.255.255.0");
    EXPECT_EQ(wan["gateway"], "192.168.10.1");
    EXPECT_EQ(wan["ipmode"], 2);
    EXPECT_EQ(lan["device"], "eth1");
    EXPECT_EQ(lan["mac"], "0a:82:94:01:da:a0");
    EXPECT_EQ(lan["ipaddr"], "192.168.0.1");
    EXPECT_EQ(lan["gateway"], "192.168.0.1");
    EXPECT_EQ(lan["enableDHCP"], true);
    EXPECT_EQ(lan["primayDNS"], wan["primayDNS"]);
    EXPECT_EQ(lan["secondaryDNS"], wan["secondaryDNS"]);

    ASSERT_EQ(doc["MBTcpClient"].size(), 8u);
    for (const auto& c : doc["MBTcpClient"]) {
        EXPECT_EQ(keysOf(c), (std::vector<std::string>{"id", "slaveId", "brand", "model", "communication", "role",
                                                        "name", "serverIP", "serverPort", "byteOrder", "enable", "cpu",
                                                        "path", "inputs", "outputs"}));
        EXPECT_EQ(c["slaveId"], 1);
        EXPECT_EQ(c["brand"], "Walchem");
        EXPECT_EQ(c["model"], "I9");
        EXPECT_EQ(c["communication"], 2);
        EXPECT_EQ(c["role"], "Server");
        EXPECT_EQ(c["name"], "Cooling");
        EXPECT_EQ(c["serverIP"], "192.168.0.11");
        EXPECT_EQ(c["serverPort"], 502);
        EXPECT_EQ(c["byteOrder"], "DCBA");
        EXPECT_EQ(c["enable"], false);
        EXPECT_EQ(c["cpu"], "micro800");
        EXPECT_EQ(c["path"], "");
        ASSERT_EQ(c["inputs"].size(), 128u);
        ASSERT_EQ(c["outputs"].size(), 128u);
        for (const auto& i : c["inputs"]) ASSERT_EQ(i, kInput);
        for (const auto& o : c["outputs"]) ASSERT_EQ(o, kOutput);
    }
    EXPECT_EQ(doc["MBTcpServer"], kMBTcpServer);
    EXPECT_EQ(doc["database"], (ojson{{"fetchInterval", 60}}));
    EXPECT_EQ(keysOf(doc["upgrade"]), (std::vector<std::string>{"url", "notes_name"}));
    const std::string url = doc["upgrade"]["url"];
    EXPECT_EQ(url.rfind("https://", 0), 0u);
    EXPECT_TRUE(url.ends_with("/v4/"));
    EXPECT_EQ(doc["upgrade"]["notes_name"], "release_notes.json");
    ASSERT_EQ(doc["controlloop"].size(), 10u);
    for (const auto& l : doc["controlloop"]) ASSERT_EQ(l, (ojson{{"id", 0}, {"type", 0}}));
    ASSERT_EQ(doc["digital"].size(), 10u);
    for (const auto& d : doc["digital"]) ASSERT_EQ(d, (ojson{{"id", 0}}));
    ASSERT_EQ(doc["ai"].size(), 8u);
    for (const auto& a : doc["ai"]) ASSERT_EQ(a, kAi);
}

TEST(Document, LayoutOfTheStoredText) {
    auto r = std::make_unique<ScadaRecipeData>();
    r->init();
    const std::string text = writeDocument(*r);
    EXPECT_EQ(text.rfind("{\n  \"system\":{\n    \"model\":\"RB-820\",\n    \"pn\":43030,\n    \"hasAI\":false,\n"
                         "    \"version\":\"1.2.\",\n",
                         0),
              0u);
    EXPECT_NE(text.find("    \"guardPort\":80},\n  \"modbusRtu\":{\n"), std::string::npos);
    // An array member's "]" and newline are followed by the separator alone on its line.
    EXPECT_NE(text.find("      \"display\":false}]\n,\n  \"firewall\":[\n    {\n      \"id\":1,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"database\":{\n    \"fetchInterval\":60},\n  \"upgrade\":{\n"), std::string::npos);
    // Ends with the last analog input closed by "}]", then "}" and no newline.
    EXPECT_TRUE(text.ends_with("\n      \"display\":false}]\n}")) << text.substr(text.size() - 40);
    // After init: ids renumbered, analog inputs named and registered.
    ojson doc = ojson::parse(text);
    EXPECT_EQ(doc["sensors"][127]["id"], 128);
    EXPECT_EQ(doc["MBTcpClient"][7]["outputs"][127]["id"], 128);
    EXPECT_EQ(doc["controlloop"][9]["id"], 10);
    EXPECT_EQ(doc["digital"][0]["id"], 1);
    EXPECT_EQ(doc["ai"][2]["name"], "AI3");
    EXPECT_EQ(doc["ai"][7]["reg"], 48015);
}

namespace {

const std::set<std::string> kFloatKeys = {"alarmHigh", "alarmLow", "simulateValue", "min", "max", "mA_4",
                                          "mA_20", "intercept", "slope", "value", "minValue", "maxValue",
                                          "minValueCalculated", "maxValueCalculated", "low", "high", "deadband"};
const std::set<std::string> kWideUnsignedKeys = {"devPn", "devSn", "lastTimestamp", "uploadInterval",
                                                 "signalType"};

std::string randomText(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {"a", "Z", "7", " ", "\"", "\\", "}", "]", "{", "[", ",",
                                                    ":", "\xc3\xa9", "\x01", "\n", "/", "Tank"};
    std::string s;
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> count(0, 4);
    for (int i = count(rng); i > 0; --i) {
        const std::string& p = pieces[pick(rng)];
        if (s.size() + p.size() > 7) break;
        s += p;
    }
    return s;
}

void randomise(ojson& v, const std::string& key, std::mt19937& rng) {
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) randomise(it.value(), it.key(), rng);
    } else if (v.is_array()) {
        for (auto& e : v) randomise(e, key, rng);
    } else if (v.is_string()) {
        v = randomText(rng);
    } else if (v.is_boolean()) {
        v = (rng() & 1) != 0;
    } else if (v.is_number()) {
        if (kFloatKeys.count(key)) {
            v = static_cast<double>(static_cast<int>(rng() % 20001) - 10000) + static_cast<double>(rng() % 8) / 8.0;
        } else if (kWideUnsignedKeys.count(key)) {
            v = static_cast<uint32_t>(rng());
        } else {
            v = static_cast<int>(rng() % 121);
        }
    }
}

ojson randomDocument(std::mt19937& rng) {
    auto defaults = std::make_unique<ScadaRecipeData>();
    ojson doc = ojson::parse(writeDocument(*defaults));
    randomise(doc, "", rng);
    // Control loops of every kind, fully specified.
    ojson loops = ojson::array();
    for (int i = 0; i < 10; ++i) {
        int type = static_cast<int>(rng() % 4);
        if (type == 1) {
            ojson sp = {{"id", i}, {"type", 1}, {"mode", 2}, {"manualOn", true}, {"enable", true},
                        {"low", 1.5},  {"high", 8.25}, {"idxInput", 3}, {"upDirect", true}, {"idxOutput", 4},
                        {"deadband", 0.5}};
            loops.push_back(sp);
        } else {
            loops.push_back({{"id", i + 100}, {"type", type}});
        }
    }
    doc["controlloop"] = loops;
    return doc;
}

}  // namespace

TEST(Document, RoundTripsAndAnotherWritersOutput) {
    {
        auto a = std::make_unique<ScadaRecipeData>();
        a->init();
        auto b = std::make_unique<ScadaRecipeData>();
        for (auto& s : b->sensors) s.pn = 99;  // proves the read overwrote them
        readJsonP(*b, writeDocument(*a));
        EXPECT_TRUE(sameStoredRecipe(*a, *b));
    }
    std::mt19937 rng(20260907);
    for (int round = 0; round < 2; ++round) {
        ojson doc = randomDocument(rng);
        auto a = std::make_unique<ScadaRecipeData>();
        readJsonP(*a, doc.dump(2));
        const std::string ours = writeDocument(*a);
        // Our text carries exactly the values of the document we read.
        EXPECT_EQ(nlohmann::json::parse(ours), nlohmann::json::parse(doc.dump())) << "round " << round;
        // Our text read back gives the same recipe.
        auto b = std::make_unique<ScadaRecipeData>();
        readJsonP(*b, ours);
        EXPECT_TRUE(sameStoredRecipe(*a, *b)) << "round " << round;
        // The other writer: sorted keys, two-space indentation, a blank after each colon.
        auto c = std::make_unique<ScadaRecipeData>();
        const std::string sorted = nlohmann::json::parse(ours).dump(2);
        ASSERT_NE(sorted.find("\"MBTcpClient\": ["), std::string::npos);
        readJsonP(*c, sorted);
        EXPECT_TRUE(sameStoredRecipe(*a, *c)) << "round " << round;
        // Compact form as well.
        auto d = std::make_unique<ScadaRecipeData>();
        readJsonP(*d, nlohmann::json::parse(ours).dump());
        EXPECT_TRUE(sameStoredRecipe(*a, *d)) << "round " << round;
    }
}

TEST(Document, UserTextWithBracketsDoesNotCutTheDocument) {
    auto a = std::make_unique<ScadaRecipeData>();
    a->sensors[0].custName = "Tank}";
    a->sensors[1].custName = "x\"],\"pn\":5,";
    a->system.name = "{[\\";
    a->wan.ipaddr = "10.0.0.9";
    const std::string text = writeDocument(*a);
    auto b = std::make_unique<ScadaRecipeData>();
    readJsonP(*b, text);
    EXPECT_EQ(b->sensors[0].custName, "Tank}");
    EXPECT_EQ(b->sensors[1].custName, "x\"],\"pn\":5,");
    EXPECT_EQ(b->sensors[1].pn, 0u);
    EXPECT_EQ(b->system.name, "{[\\");
    EXPECT_EQ(b->wan.ipaddr, "10.0.0.9");
    EXPECT_TRUE(sameStoredRecipe(*a, *b));
}

TEST(Document, UnescapedTextsOfEarlierFirmwareKeepEverySection) {
    // Texts ending in a backslash, unescaped, in two sections, and a plain backslash in a third:
    // the sections between and after them load as well.
    auto a = std::make_unique<ScadaRecipeData>();
    a->init();
    a->system.name = "@1@";
    a->wifi.keyStation = "@2@";
    a->wifi.security = "WPA3";
    a->cellular.apn = "apn.example";
    a->loraDevice[5].tankName = "Tank 5";
    a->cloudServer.password = "@3@";
    a->cloudServer.dataTopic = "t/data";
    a->mbTcpClient[2].inputs[4].tagName = "@4@";
    a->ai[1].custName = "Inlet";
    std::string text = writeDocument(*a);
    const std::pair<const char*, const char*> stored[] = {
        {"\"@1@\"", "\"ab\\cd\""}, {"\"@2@\"", "\"pw\\\""}, {"\"@3@\"", "\"x\\\""}, {"\"@4@\"", "\"C:\\\""}};
    for (const auto& [mark, old] : stored) text.replace(text.find(mark), std::strlen(mark), old);
    a->system.name = "ab\\cd";
    a->wifi.keyStation = "pw\\";
    a->cloudServer.password = "x\\";
    a->mbTcpClient[2].inputs[4].tagName = "C:\\";
    auto b = std::make_unique<ScadaRecipeData>();
    const RecipeDocumentReadResult res = readRecipeDocument(*b, text);
    EXPECT_TRUE(res.closed);
    EXPECT_EQ(res.keysFound, 24);
    EXPECT_EQ(b->wifi.keyStation, "pw\\");
    EXPECT_EQ(b->wifi.security, "WPA3");
    EXPECT_EQ(b->cloudServer.dataTopic, "t/data");
    EXPECT_TRUE(sameStoredRecipe(*a, *b));
    // Escaped texts of our own writer are still taken as escaped.
    a->wifi.keyStation = "q\"},\"mode\":1,\"x\":\"";
    auto c = std::make_unique<ScadaRecipeData>();
    readJsonP(*c, writeDocument(*a));
    EXPECT_TRUE(sameStoredRecipe(*a, *c));
}

TEST(Document, CutOffDocumentKeepsTheSectionsThatClose) {
    auto a = std::make_unique<ScadaRecipeData>();
    a->system.name = "Plant7";
    a->modbusRtu.baudrate = 19200;
    a->sensors[0].pn = 1234;
    a->lora.SF = 12;
    a->ai[0].custName = "Inlet";
    const std::string text = writeDocument(*a);
    // Cut in the middle of the LoRa device list.
    const size_t cut = text.find("\"loraDevice\"") + 3000;
    auto b = std::make_unique<ScadaRecipeData>();
    RecipeDocumentReadResult res = readRecipeDocument(*b, std::string_view(text).substr(0, cut));
    EXPECT_TRUE(res.hasObject);
    EXPECT_FALSE(res.closed);
    EXPECT_EQ(b->system.name, "Plant7");
    EXPECT_EQ(b->modbusRtu.baudrate, 19200);
    EXPECT_EQ(b->sensors[0].pn, 1234u);
    EXPECT_EQ(b->lora.SF, 12);
    EXPECT_EQ(b->ai[0].custName, "");  // after the cut: default
    EXPECT_EQ(b->loraDevice[0].precision, 3);
    // A cut just after the opening of the system object: nothing taken.
    auto c = std::make_unique<ScadaRecipeData>();
    readJsonP(*c, std::string_view(text).substr(0, 40));
    EXPECT_EQ(c->system.name, "Orvane");
}

TEST(Document, SectionRules) {
    auto r = std::make_unique<ScadaRecipeData>();
    r->init();
    // No controlloop: loops stay as they were.
    readJsonP(*r, "{\"system\":{\"name\":\"N\"}}");
    EXPECT_EQ(r->system.name, "N");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(r->controlloop[i].index(), 0u);
        EXPECT_EQ(getElementId(r->controlloop[i]), i + 1);
    }
    // A setpoint element turns a none slot into a setpoint with its defaults.
    readJsonP(*r, "{\"controlloop\":[{\"type\":1}]}");
    ASSERT_EQ(r->controlloop[0].index(), 1u);
    EXPECT_FLOAT_EQ(std::get<1>(r->controlloop[0]).deadband, 0.1f);
    EXPECT_EQ(std::get<1>(r->controlloop[0]).idxInput, -1);
    EXPECT_EQ(std::get<1>(r->controlloop[0]).id, 1);
    // 12 digital objects fill 10 slots.
    std::string digital = "{\"digital\":[";
    for (int i = 0; i < 12; ++i) digital += std::string(i ? "," : "") + "{\"id\":" + std::to_string(50 + i) + "}";
    readJsonP(*r, digital + "]}");
    EXPECT_EQ(r->digital[9].id, 59);
    // A 70-character url keeps its first 64.
    readJsonP(*r, "{\"upgrade\":{\"url\":\"" + std::string(70, 'u') + "\"}}");
    EXPECT_EQ(r->upgrade.url.view(), std::string(64, 'u'));
    EXPECT_EQ(r->upgrade.notes_name, "release_notes.json");
    // "database" holds fetchInterval; a key nested elsewhere is not taken for it.
    readJsonP(*r, "{\"cloudServer\":{\"fetchInterval\":5},\"database\":{\"fetchInterval\":30}}");
    EXPECT_EQ(r->fetchInterval, 30);
    EXPECT_EQ(r->cloudServer.fetchInterval, 5u);
    // Unknown keys are ignored; the document's own keys win over nested ones of the same name.
    readJsonP(*r, "{\"extra\":{\"system\":{\"name\":\"Wrong\"}},\"system\":{\"lang\":\"De\"}}");
    EXPECT_EQ(r->system.name, "N");
    EXPECT_EQ(r->system.lang, "De");
    // The register field of the analog inputs is written unsigned.
    r->ai[0].reg = 65535;
    ojson doc = ojson::parse(writeDocument(*r));
    EXPECT_EQ(doc["ai"][0]["reg"], 65535);
}

TEST(Document, SystemOverwrite) {
    SystemRecipeData s;
    readJsonP(s, "{\"model\":\"RB-823\",\"pn\":1,\"hasAI\":false,\"swVer\":\"9.9\"}");
    s.overwrite();
    EXPECT_EQ(s.pn, 28150);
    EXPECT_TRUE(s.hasAI);
    EXPECT_EQ(s.swVer, "1.2.2922(20260907)");
    SystemRecipeData t;
    readJsonP(t, "{\"model\":\"XX-1\",\"pn\":1,\"hasAI\":true}");
    t.overwrite();
    EXPECT_EQ(t.pn, 1);
    EXPECT_TRUE(t.hasAI);
}
