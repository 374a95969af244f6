#pragma once
// The recipe: the in-memory form of parameter.json. Plain records with fixed capacities; every
// default below is what a freshly constructed ScadaRecipeData holds before any file is read.
// Records are large (ScadaRecipeData is several hundred KiB): never put one on a thread stack.
//
// Field order inside each record is the stored record order; the JSON key order of the writers
// is kept in the descriptor tables of recipe_codec.cpp.
#include <array>
#include <cstdint>

#include "recipe/control_loop_recipe.h"
#include "utils/fss.h"

// One probe definition of the probe library; defined by the sensors code (sensors/probe_meta.h).
struct ProbeMeta;

using text8 = fss::basic_str<char, 8>;
using text16 = fss::basic_str<char, 16>;
using text32 = fss::basic_str<char, 32>;
using text64 = fss::basic_str<char, 64>;

inline constexpr int kProbeItemCount = 128;
inline constexpr int kFirewallRuleCount = 16;
inline constexpr int kPortForwardingCount = 10;
inline constexpr int kLoraDeviceCount = 16;
inline constexpr int kLoraRegisterCount = 8;
inline constexpr int kMBTcpClientCount = 8;
inline constexpr int kMBTcpClientIoCount = 128;
inline constexpr int kSpareEntryCount = 128;
inline constexpr int kControlLoopCount = 10;
inline constexpr int kDigitalCount = 10;
inline constexpr int kAnalogInputCount = 8;

inline constexpr const char* kSoftwareVersion = "1.2.2922(20260907)";

// ---- system ---------------------------------------------------------------------------------
struct SystemRecipeData {
    text16 model = "RB-820";
    int32_t pn = 43030;
    bool hasAI = false;
    text32 swVer = kSoftwareVersion;
    text16 version = "1.2.";
    text16 name = "Orvane";
    text16 lang = "En";
    text16 location = "Shanghai";
    text16 hwVer = "3.0";
    int16_t timeMode = 2;
    text16 sn = "2450000";
    int16_t timezone = 8;
    int16_t engUnit = 1;
    text16 theme = "Light";
    bool firewallEnable = false;
    bool portforwardingEnable = true;
    text32 Timestamp = "";
    int32_t guardPort = 80;

    // Forces swVer to this software's version and, for a model of the model table, its part
    // number and analog-input flag. A model outside the table keeps pn and hasAI.
    void overwrite();
};

// ---- acquisition: probe bus and probes ------------------------------------------------------
struct ModbusRtuRecipeData {
    int16_t mode = 1;
    text16 interface = "/dev/ttymxc3";
    int32_t baudrate = 9600;
    int16_t parity = 2;
    int16_t databits = 8;
    int16_t stopbit = 1;
    int16_t timeout = 500;
    int16_t sampleRate = 5;
    bool enable = true;
};

// Steady-clock seconds (platform clock); the construction time of a probe item.
int64_t recipeSteadySeconds();

struct ProbeMeasureRecipeItem {
    int16_t id = 0;
    int16_t displayId = 0;
    uint32_t pn = 0;
    uint32_t sn = 0;
    text32 name;
    text32 custName;
    text16 unit;
    text16 displayUnit;
    int16_t modbusAddr = 0;
    int16_t precision = 3;
    float intercept = 0.0f;
    float slope = 1.0f;
    bool alarmEnable = false;
    int16_t alarmDelay = 10;
    float alarmHigh = 0.0f;
    float alarmLow = 0.0f;
    bool simulateEnable = false;
    float simulateValue = 0.0f;
    float max = 0.0f;
    float min = 0.0f;
    float mA_4 = 0.0f;
    float mA_20 = 100.0f;
    bool calculated = false;
    bool enable = false;
    bool display = false;

    // ---- run-time fields, never written to the file ----
    // The probe definition this item is bound to (borrowed; the library outlives the items).
    // Never null once the sensors code has registered its empty definition with
    // setNoneObject(): unbound items point at that object. Until the registration, items are
    // built with nullptr; RecipeDataGuard::init() and buildReferenceForSensor() repair nulls.
    const ProbeMeta* probeMeta = noneObject();
    int32_t measureType = 0;   // MEASURE_TYPE value of the bound reading
    int32_t probeType = 0;     // PROBE_TYPE value of the bound probe
    int16_t readingIndex = -1; // index of the reading in the definition's Readings, -1 unbound
    int64_t lastAttemptTime = recipeSteadySeconds();  // last bus attempt, steady seconds
    int16_t failureCount = 0;  // consecutive failed passes
    int16_t brushAddr = -1;    // Modbus address of the brush, -1 unset
    text32 runtimeText;

    // The shared empty probe definition (the sensors code's ProbeMeasureRecipeItem none object).
    static const ProbeMeta* noneObject() noexcept;
    // Called once by the sensors code (before the owner object is built) with its static
    // empty ProbeMeta.
    static void setNoneObject(const ProbeMeta* meta) noexcept;
};

// ---- network and connectivity ---------------------------------------------------------------
struct FirewallRuleItem {
    int16_t id = 0;
    int16_t type = 1;
    bool enable = false;
    text32 description;
    int16_t protocol = 1;
    text32 application = "HTTP";
    int16_t srcIntf = 1;
    int16_t destIntf = 4;
    int32_t port = 80;
    int16_t permission = 1;
    int16_t sourceType = 2;
    int16_t destType = 2;
    text32 source;
    text32 destination;
};

struct BluetoothRecipeData {
    int16_t mode = 1;
    text32 name = "Marisol";
    text32 mac = "49:29:7Y:13:77:10";
    bool enable = false;
};

struct ModemInfoRecipeData {
    text16 brand = "Quectel";
    text16 model = "EC20F";
    text32 version = "EC20CEFAGR06A08M4G";
    text32 imsi = "460011234567890";
    text32 iccid = "89860012345678901234";
};

struct WifiRecipeData {
    int16_t mode = 1;
    text32 interface = "wlan0";
    text32 ipaddr = "172.16.0.1";
    text32 gateway = "172.16.0.1";
    text32 ssid = "OrvanePro";
    text32 key = "tarn4826";
    text32 ipaddrStation = "192.168.10.115";
    text32 gatewayStation = "192.168.10.1";
    text32 ssidStation = "OrvaneStation1";
    text32 keyStation = "lomba=7$";
    text32 security = "WPA2-PSK";
    text32 band = "2.4GHz";
    text32 status = "connected";
    bool enable = false;
    bool enableDHCP = true;
};

struct CellularRecipeData {
    int16_t operatorSettings = 1;
    text32 apn = "JTM2M";
    text32 username;
    text32 password;
    bool enable = true;
    int16_t billingCycleDay = 1;
};

struct CloudServerRecipeData {
    int16_t cloudPlatform = 1;
    text32 serverHost = "mqtt.kelvaworks.com";
    text16 serverIP = "203.0.113.10";
    int32_t serverPort = 8883;
    int32_t protocol = 3;
    bool authentication = true;
    text32 username = "kelva";
    text32 password = "Qarvo@5183";
    text32 dataTopic = "kelva/{sn}/livedata";
    text32 alarmTopic = "kelva/{sn}/alarm";
    text32 commandTopic = "kelva/{sn}/command";
    uint32_t fetchInterval = 60;
    uint32_t uploadInterval = 60;
    bool enable = true;
};

struct GatewayServerRecipeData {
    text32 serverHost = "remote.kelvaworks.com";
    text16 serverIP = "203.0.113.20";
    int32_t serverPort = 8883;
    int16_t protocol = 2;
    bool authentication = true;
    text32 username = "kelva";
    text32 password = "Qarvo@5183";
    text32 commandTopic = "kelva/{sn}/command";
    text32 replyTopic = "kelva/{sn}/reply";
    text32 heartbeatTopic = "kelva/{sn}/heartbeat";
    text32 stateTopic = "kelva/{sn}/state";
    bool enable = true;
};

struct PortForwardingItem {
    int16_t id = 1;
    text32 application = "Web";
    text32 protocol = "http";
    int16_t externalIntf = 1;
    int32_t externalPort = 8080;
    int32_t internalPort = 80;
    int32_t serverPort = -1;
    int32_t monitorPort = -1;
    text32 internalIP = "192.168.0.10";
    bool enable = false;
};

struct RemoteAccessRecipeData {
    int32_t gatewayServerPort = -1;
    int32_t gatewayMonitorPort = -1;
    int32_t sshMonitorPort = -1;
    int32_t serialportServerPort = -1;
    int32_t serialportMonitorPort = -1;
};

struct WanRecipeData {
    text16 device = "eth0";
    text32 mac = "ce:2c:ea:83:eb:4e";
    text32 ipaddr = "192.168.10.110";
    text32 netmask = "255.255.255.0";
    text32 gateway = "192.168.10.1";
    text32 primayDNS = "8.8.8.8";
    text32 secondaryDNS = "8.8.4.4";
    int32_t ipmode = 2;
};

struct LanRecipeData {
    text32 device = "eth1";
    text32 mac = "0a:82:94:01:da:a0";
    text32 ipaddr = "192.168.0.1";
    text32 netmask = "255.255.255.0";
    text32 gateway = "192.168.0.1";
    text32 primayDNS = "8.8.8.8";
    text32 secondaryDNS = "8.8.4.4";
    bool enableDHCP = true;
};

// ---- acquisition: LoRa --------------------------------------------------------------------------
struct LoraRecipe {
    int16_t role = 1;
    int16_t mode = 2;
    int16_t loraId = 1;
    int16_t region = 0;
    int32_t FREQ = 903000000;
    int32_t BW = 250;
    int16_t CR = 1;
    int16_t SF = 9;
    int16_t PR = 8;
    int16_t txPower = 20;
    int16_t rxTimeout = 5;
    int16_t txTimeout = 5;
    int32_t devOfflineTimeout = 129600;
    int32_t pollWaitResponseTime = 500;
    int32_t pollModePeriod = 5;
    int16_t pollMaxRetry = 3;
};

struct LoraRegisterItem {
    text16 name;
    text8 unit;
    int8_t valueType = 0;
    int8_t valueSize = 0;
    float value = 0.0f;
    int8_t integerPart = 0;
    int8_t decimalPart = 0;
    bool display = false;
    text8 displayUnit;
    bool calculated = false;
    float minValue = 4.0f;
    float maxValue = 20.0f;
    float minValueCalculated = 0.0f;
    float maxValueCalculated = 0.0f;
    int8_t decimalPartCalculated = 0;
    text16 nameCalculated;
    text8 unitCalculated;
};

struct LoraDeviceRecipeItem {
    int16_t loraId = 0;
    uint32_t pn = 0;
    uint32_t sn = 0;
    uint32_t devPn = 0;
    uint32_t devSn = 0;
    std::array<LoraRegisterItem, kLoraRegisterCount> registers{};
    uint32_t lastTimestamp = 0;
    int16_t id = 0;
    text16 tankName;
    int16_t displayId = 0;
    int16_t precision = 3;
    bool enable = false;
    bool display = false;
    bool passive = false;
};

struct DataLogRecipeData {
    int32_t logInterval = 10;
    int32_t logRetention = 365;
    bool enable = true;
};

// ---- acquisition: Modbus TCP / EtherNet-IP clients and server -------------------------------
struct MBTcpClientInputItem {
    int16_t id = 0;
    bool enable = false;
    text16 regName = "Sensor 1";
    text32 custName = "CCond";
    int32_t regAddr = -1;
    int16_t regNum = 1;
    int16_t regLen = 2;
    text16 dataType = "FLOAT";
    text16 unit;
    int16_t precision = 3;
    text32 tagName;
    int16_t elementCount = 1;
};

struct MBTcpClientOutputItem {
    int16_t id = 0;
    bool enable = false;
    int16_t regLen = 2;
    text16 dataType = "FLOAT";
    text16 virtualName = "V1";
    int32_t vRegAddr = 5761;
    text32 outputName = "Tank1";
    int32_t outputAddr = -1;
};

// The client's own settings, without its input and output lists.
struct MBTcpClientItemBase {
    int16_t id = 0;
    int16_t slaveId = 1;
    text16 brand = "Walchem";
    text16 model = "I9";
    int16_t communication = 2;
    text16 role = "Server";
    text16 name = "Cooling";
    text16 serverIP = "192.168.0.11";
    int32_t serverPort = 502;
    text8 byteOrder = "DCBA";
    bool enable = false;
    text16 cpu = "micro800";
    text16 path;
};

struct MBTcpClientItem : MBTcpClientItemBase {
    std::array<MBTcpClientInputItem, kMBTcpClientIoCount> inputs{};
    std::array<MBTcpClientOutputItem, kMBTcpClientIoCount> outputs{};
};

struct MBTcpServerRecipeData {
    int16_t slaveId = 1;
    int32_t serverPort = 502;
    bool enable = true;
};

// Entries held beside the Modbus TCP server block; copied with it, numbered by resetID(), never
// stored in the document.
struct SpareEntryItem {
    int16_t id = 0;
    int16_t value1 = 201;
    int16_t value2 = 2;
    text32 name = "Tank1";
};

struct UpgradeRecipeData {
    text64 url = "https://upgrade.kelvaworks.com/v4/";
    text32 notes_name = "release_notes.json";
};

struct DigitalRecipeItem {
    int32_t id = 0;
};

struct AIRecipeItem {
    int16_t id = 0;
    int16_t displayId = 0;
    int16_t modbusAddr = 3;
    uint16_t reg = 0;
    text16 regType = "float";
    int32_t pn = 10000;
    uint32_t signalType = 1;
    text16 measureType;
    text16 name;
    float mA_4 = 0.0f;
    float mA_20 = 100.0f;
    int16_t precision = 3;
    text32 custName;
    text16 unit;
    float alarmLow = 0.0f;
    float alarmHigh = 100.0f;
    bool enable = false;
    bool display = false;
};

// ---- the whole recipe -----------------------------------------------------------------------
struct ScadaRecipeData {
    SystemRecipeData system;
    std::array<ProbeMeasureRecipeItem, kProbeItemCount> sensors{};
    ModbusRtuRecipeData modbusRtu;
    std::array<FirewallRuleItem, kFirewallRuleCount> firewall{};
    BluetoothRecipeData bluetooth;
    ModemInfoRecipeData lte;
    WifiRecipeData wifi;
    CellularRecipeData cellular;
    LoraRecipe lora;
    std::array<LoraDeviceRecipeItem, kLoraDeviceCount> loraDevice{};
    DataLogRecipeData dataLog;
    CloudServerRecipeData cloudServer;
    GatewayServerRecipeData gatewayServer;
    std::array<PortForwardingItem, kPortForwardingCount> portForwarding{};
    RemoteAccessRecipeData orvaneProRemote;
    WanRecipeData wan;
    LanRecipeData lan;
    std::array<MBTcpClientItem, kMBTcpClientCount> mbTcpClient{};
    MBTcpServerRecipeData mbTcpServer;
    std::array<SpareEntryItem, kSpareEntryCount> spareEntries{};
    int32_t fetchInterval = 60;
    UpgradeRecipeData upgrade;
    std::array<LoopRecipeVariant, kControlLoopCount> controlloop{};
    std::array<DigitalRecipeItem, kDigitalCount> digital{};
    std::array<AIRecipeItem, kAnalogInputCount> ai{};

    // resetID(), the analog-input registers, and the probe-bus serial port: the first of
    // /dev/ttymxc3, /dev/ttyACM0, /dev/ttyACM1 that exists (under the platform's system root).
    void init();
    // Renumbers every id from 1 by position; analog inputs are also renamed "AI<n>".
    void resetID();
    // all: display ids become positions; otherwise only display ids below 1 are set.
    void resetDisplayId(bool all);
    // reg of analog input k := 48001 + 2k.
    void init_ai_board();
};

// Field-by-field equality of what the document stores (run-time fields and the spare entries
// are not compared; floats compare by value, NaN equal to NaN).
bool sameStoredRecipe(const ScadaRecipeData& a, const ScadaRecipeData& b);
