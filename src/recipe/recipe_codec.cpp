// Record codecs of the recipe. Each record has one descriptor table (JSON key + member, in
// written order) that drives its writer, its reader and its comparison.
#include "recipe/recipe_codec.h"

#include <cmath>
#include <cstring>
#include <tuple>
#include <type_traits>

using json_detail::Cursor;
using json_detail::writeObjectPublic;

namespace {

template <class T, class M>
struct Field {
    const char* key;
    M T::*ptr;
};
template <class T, class M>
constexpr Field<T, M> fld(const char* key, M T::*ptr) {
    return {key, ptr};
}

template <class R>
struct Fields;

#define FIELDS(R, ...)                                                    \
    template <>                                                           \
    struct Fields<R> {                                                    \
        static constexpr auto list() { return std::make_tuple(__VA_ARGS__); } \
    };

// ---- descriptor tables (key order = written order) --------------------------------------------
using SR = SystemRecipeData;
FIELDS(SR, fld("model", &SR::model), fld("pn", &SR::pn), fld("hasAI", &SR::hasAI), fld("version", &SR::version),
       fld("name", &SR::name), fld("lang", &SR::lang), fld("location", &SR::location), fld("hwVer", &SR::hwVer),
       fld("swVer", &SR::swVer), fld("timeMode", &SR::timeMode), fld("sn", &SR::sn), fld("timezone", &SR::timezone),
       fld("engUnit", &SR::engUnit), fld("theme", &SR::theme), fld("firewallEnable", &SR::firewallEnable),
       fld("portforwardingEnable", &SR::portforwardingEnable), fld("Timestamp", &SR::Timestamp),
       fld("guardPort", &SR::guardPort))

using MR = ModbusRtuRecipeData;
FIELDS(MR, fld("mode", &MR::mode), fld("interface", &MR::interface), fld("baudrate", &MR::baudrate),
       fld("parity", &MR::parity), fld("databits", &MR::databits), fld("stopbit", &MR::stopbit),
       fld("timeout", &MR::timeout), fld("sampleRate", &MR::sampleRate), fld("enable", &MR::enable))

using PI = ProbeMeasureRecipeItem;
FIELDS(PI, fld("id", &PI::id), fld("displayId", &PI::displayId), fld("pn", &PI::pn), fld("sn", &PI::sn),
       fld("name", &PI::name), fld("custName", &PI::custName), fld("unit", &PI::unit),
       fld("displayUnit", &PI::displayUnit), fld("modbusAddr", &PI::modbusAddr), fld("alarmEnable", &PI::alarmEnable),
       fld("alarmDelay", &PI::alarmDelay), fld("alarmHigh", &PI::alarmHigh), fld("alarmLow", &PI::alarmLow),
       fld("simulateEnable", &PI::simulateEnable), fld("simulateValue", &PI::simulateValue), fld("min", &PI::min),
       fld("max", &PI::max), fld("mA_4", &PI::mA_4), fld("mA_20", &PI::mA_20), fld("precision", &PI::precision),
       fld("intercept", &PI::intercept), fld("slope", &PI::slope), fld("calculated", &PI::calculated),
       fld("enable", &PI::enable), fld("display", &PI::display))

using FW = FirewallRuleItem;
FIELDS(FW, fld("id", &FW::id), fld("type", &FW::type), fld("enable", &FW::enable),
       fld("description", &FW::description), fld("protocol", &FW::protocol), fld("application", &FW::application),
       fld("srcIntf", &FW::srcIntf), fld("destIntf", &FW::destIntf), fld("port", &FW::port),
       fld("permission", &FW::permission), fld("sourceType", &FW::sourceType), fld("destType", &FW::destType),
       fld("source", &FW::source), fld("destination", &FW::destination))

using BT = BluetoothRecipeData;
FIELDS(BT, fld("mode", &BT::mode), fld("name", &BT::name), fld("mac", &BT::mac), fld("enable", &BT::enable))

using MI = ModemInfoRecipeData;
FIELDS(MI, fld("brand", &MI::brand), fld("model", &MI::model), fld("version", &MI::version), fld("imsi", &MI::imsi),
       fld("iccid", &MI::iccid))

using WF = WifiRecipeData;
FIELDS(WF, fld("mode", &WF::mode), fld("interface", &WF::interface), fld("ipaddr", &WF::ipaddr),
       fld("gateway", &WF::gateway), fld("ssid", &WF::ssid), fld("key", &WF::key),
       fld("ipaddrStation", &WF::ipaddrStation), fld("gatewayStation", &WF::gatewayStation),
       fld("ssidStation", &WF::ssidStation), fld("keyStation", &WF::keyStation), fld("security", &WF::security),
       fld("band", &WF::band), fld("status", &WF::status), fld("enable", &WF::enable),
       fld("enableDHCP", &WF::enableDHCP))

using CE = CellularRecipeData;
FIELDS(CE, fld("operatorSettings", &CE::operatorSettings), fld("apn", &CE::apn), fld("username", &CE::username),
       fld("password", &CE::password), fld("enable", &CE::enable), fld("billingCycleDay", &CE::billingCycleDay))

using CS = CloudServerRecipeData;
FIELDS(CS, fld("cloudPlatform", &CS::cloudPlatform), fld("serverHost", &CS::serverHost),
       fld("serverIP", &CS::serverIP), fld("serverPort", &CS::serverPort), fld("protocol", &CS::protocol),
       fld("authentication", &CS::authentication), fld("username", &CS::username), fld("password", &CS::password),
       fld("dataTopic", &CS::dataTopic), fld("alarmTopic", &CS::alarmTopic), fld("commandTopic", &CS::commandTopic),
       fld("fetchInterval", &CS::fetchInterval), fld("uploadInterval", &CS::uploadInterval),
       fld("enable", &CS::enable))

using GS = GatewayServerRecipeData;
FIELDS(GS, fld("serverHost", &GS::serverHost), fld("serverIP", &GS::serverIP), fld("serverPort", &GS::serverPort),
       fld("protocol", &GS::protocol), fld("authentication", &GS::authentication), fld("username", &GS::username),
       fld("password", &GS::password), fld("commandTopic", &GS::commandTopic), fld("replyTopic", &GS::replyTopic),
       fld("heartbeatTopic", &GS::heartbeatTopic), fld("stateTopic", &GS::stateTopic), fld("enable", &GS::enable))

using PF = PortForwardingItem;
FIELDS(PF, fld("id", &PF::id), fld("application", &PF::application), fld("protocol", &PF::protocol),
       fld("externalIntf", &PF::externalIntf), fld("externalPort", &PF::externalPort),
       fld("internalPort", &PF::internalPort), fld("serverPort", &PF::serverPort),
       fld("monitorPort", &PF::monitorPort), fld("internalIP", &PF::internalIP), fld("enable", &PF::enable))

using RA = RemoteAccessRecipeData;
FIELDS(RA, fld("gatewayServerPort", &RA::gatewayServerPort), fld("gatewayMonitorPort", &RA::gatewayMonitorPort),
       fld("sshMonitorPort", &RA::sshMonitorPort), fld("serialportServerPort", &RA::serialportServerPort),
       fld("serialportMonitorPort", &RA::serialportMonitorPort))

using WN = WanRecipeData;
FIELDS(WN, fld("device", &WN::device), fld("mac", &WN::mac), fld("ipaddr", &WN::ipaddr), fld("netmask", &WN::netmask),
       fld("gateway", &WN::gateway), fld("primayDNS", &WN::primayDNS), fld("secondaryDNS", &WN::secondaryDNS),
       fld("ipmode", &WN::ipmode))

using LN = LanRecipeData;
FIELDS(LN, fld("device", &LN::device), fld("mac", &LN::mac), fld("ipaddr", &LN::ipaddr), fld("netmask", &LN::netmask),
       fld("gateway", &LN::gateway), fld("primayDNS", &LN::primayDNS), fld("secondaryDNS", &LN::secondaryDNS),
       fld("enableDHCP", &LN::enableDHCP))

using LR = LoraRecipe;
FIELDS(LR, fld("role", &LR::role), fld("mode", &LR::mode), fld("loraId", &LR::loraId), fld("region", &LR::region),
       fld("FREQ", &LR::FREQ), fld("BW", &LR::BW), fld("CR", &LR::CR), fld("SF", &LR::SF), fld("PR", &LR::PR),
       fld("txPower", &LR::txPower), fld("rxTimeout", &LR::rxTimeout), fld("txTimeout", &LR::txTimeout),
       fld("devOfflineTimeout", &LR::devOfflineTimeout), fld("pollWaitResponseTime", &LR::pollWaitResponseTime),
       fld("pollModePeriod", &LR::pollModePeriod), fld("pollMaxRetry", &LR::pollMaxRetry))

using RG = LoraRegisterItem;
FIELDS(RG, fld("name", &RG::name), fld("unit", &RG::unit), fld("valueType", &RG::valueType),
       fld("valueSize", &RG::valueSize), fld("value", &RG::value), fld("integerPart", &RG::integerPart),
       fld("decimalPart", &RG::decimalPart), fld("display", &RG::display), fld("displayUnit", &RG::displayUnit),
       fld("calculated", &RG::calculated), fld("minValue", &RG::minValue), fld("maxValue", &RG::maxValue),
       fld("minValueCalculated", &RG::minValueCalculated), fld("maxValueCalculated", &RG::maxValueCalculated),
       fld("decimalPartCalculated", &RG::decimalPartCalculated), fld("nameCalculated", &RG::nameCalculated),
       fld("unitCalculated", &RG::unitCalculated))

using LD = LoraDeviceRecipeItem;
FIELDS(LD, fld("loraId", &LD::loraId), fld("pn", &LD::pn), fld("sn", &LD::sn), fld("devPn", &LD::devPn),
       fld("devSn", &LD::devSn), fld("registers", &LD::registers), fld("lastTimestamp", &LD::lastTimestamp),
       fld("id", &LD::id), fld("tankName", &LD::tankName), fld("displayId", &LD::displayId),
       fld("precision", &LD::precision), fld("enable", &LD::enable), fld("display", &LD::display),
       fld("passive", &LD::passive))

using DL = DataLogRecipeData;
FIELDS(DL, fld("logInterval", &DL::logInterval), fld("logRetention", &DL::logRetention), fld("enable", &DL::enable))

using CI = MBTcpClientInputItem;
FIELDS(CI, fld("id", &CI::id), fld("enable", &CI::enable), fld("regName", &CI::regName), fld("custName", &CI::custName),
       fld("regAddr", &CI::regAddr), fld("regNum", &CI::regNum), fld("regLen", &CI::regLen),
       fld("dataType", &CI::dataType), fld("unit", &CI::unit), fld("precision", &CI::precision),
       fld("tagName", &CI::tagName), fld("elementCount", &CI::elementCount))

using CO = MBTcpClientOutputItem;
FIELDS(CO, fld("id", &CO::id), fld("enable", &CO::enable), fld("regLen", &CO::regLen), fld("dataType", &CO::dataType),
       fld("outputName", &CO::outputName), fld("outputAddr", &CO::outputAddr), fld("virtualName", &CO::virtualName),
       fld("vRegAddr", &CO::vRegAddr))

using CB = MBTcpClientItemBase;
#define CLIENT_BASE_FIELDS                                                                                   \
    fld("id", &CB::id), fld("slaveId", &CB::slaveId), fld("brand", &CB::brand), fld("model", &CB::model),    \
        fld("communication", &CB::communication), fld("role", &CB::role), fld("name", &CB::name),            \
        fld("serverIP", &CB::serverIP), fld("serverPort", &CB::serverPort), fld("byteOrder", &CB::byteOrder), \
        fld("enable", &CB::enable), fld("cpu", &CB::cpu), fld("path", &CB::path)
FIELDS(CB, CLIENT_BASE_FIELDS)

using CL = MBTcpClientItem;
FIELDS(CL, CLIENT_BASE_FIELDS, fld("inputs", &CL::inputs), fld("outputs", &CL::outputs))

using SV = MBTcpServerRecipeData;
FIELDS(SV, fld("slaveId", &SV::slaveId), fld("serverPort", &SV::serverPort), fld("enable", &SV::enable))

using UP = UpgradeRecipeData;
FIELDS(UP, fld("url", &UP::url), fld("notes_name", &UP::notes_name))

using DG = DigitalRecipeItem;
FIELDS(DG, fld("id", &DG::id))

using AI = AIRecipeItem;
FIELDS(AI, fld("id", &AI::id), fld("displayId", &AI::displayId), fld("name", &AI::name),
       fld("modbusAddr", &AI::modbusAddr), fld("reg", &AI::reg), fld("regType", &AI::regType), fld("pn", &AI::pn),
       fld("signalType", &AI::signalType), fld("measureType", &AI::measureType), fld("mA_4", &AI::mA_4),
       fld("mA_20", &AI::mA_20), fld("precision", &AI::precision), fld("custName", &AI::custName),
       fld("unit", &AI::unit), fld("alarmLow", &AI::alarmLow), fld("alarmHigh", &AI::alarmHigh),
       fld("enable", &AI::enable), fld("display", &AI::display))

using L0 = LoopNoneRecipeData;
FIELDS(L0, fld("id", &L0::id), fld("type", &L0::type))
using L1 = LoopSetpointRecipeData;
FIELDS(L1, fld("id", &L1::id), fld("type", &L1::type), fld("mode", &L1::mode), fld("manualOn", &L1::manualOn),
       fld("enable", &L1::enable), fld("low", &L1::low), fld("high", &L1::high), fld("idxInput", &L1::idxInput),
       fld("upDirect", &L1::upDirect), fld("idxOutput", &L1::idxOutput), fld("deadband", &L1::deadband))
using L2 = LoopPIDRecipeData;
FIELDS(L2, fld("id", &L2::id), fld("type", &L2::type))
using L3 = LoopIntervalRecipeData;
FIELDS(L3, fld("id", &L3::id), fld("type", &L3::type))

#undef FIELDS

template <class R, class Fn>
void forEachField(Fn&& fn) {
    std::apply([&](auto... f) { (fn(f), ...); }, Fields<R>::list());
}

template <class T>
struct IsRecordArray : std::false_type {};
template <class R, size_t K>
struct IsRecordArray<std::array<R, K>> : std::true_type {};

template <class T>
struct IsFss : std::false_type {};
template <uint32_t N>
struct IsFss<fss::basic_str<char, N>> : std::true_type {};

// ---- writing --------------------------------------------------------------------------------------

template <class R>
void writeRecord(Cursor& c, const R& r, const char* name);

template <class R, size_t K>
void writeArray(Cursor& c, const std::array<R, K>& arr, const char* name) {
    int& level = gIndentLevelForWriteJsonP;
    c.indent(level);
    c.key(name);
    c.put(std::string_view("[\n"));
    ++level;
    for (size_t i = 0; i < K && !c.overflow(); ++i) {
        if (i) c.put(std::string_view(",\n"));
        writeRecord(c, arr[i], nullptr);
    }
    --level;
    c.put(std::string_view("]\n"));
}

template <class V>
void writeMember(Cursor& c, const char* key, const V& v) {
    if constexpr (IsRecordArray<V>::value) {
        writeArray(c, v, key);
    } else {
        c.indent(gIndentLevelForWriteJsonP);
        c.key(key);
        if constexpr (std::is_same_v<V, bool>) {
            c.boolean(v);
        } else if constexpr (std::is_same_v<V, float>) {
            c.real(v);
        } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
            c.integer(static_cast<long long>(v));
        } else if constexpr (std::is_integral_v<V>) {
            c.unsignedInteger(static_cast<unsigned long long>(v));
        } else if constexpr (IsFss<V>::value) {
            c.text(v.c_str());
        } else {
            static_assert(sizeof(V) == 0, "no writer for this member type");
        }
    }
}

template <class R>
void writeRecord(Cursor& c, const R& r, const char* name) {
    int& level = gIndentLevelForWriteJsonP;
    c.indent(level);
    c.key(name);
    c.put(std::string_view("{\n"));
    ++level;
    bool first = true;
    forEachField<R>([&](auto f) {
        if (c.overflow()) return;
        if (!first) c.put(std::string_view(",\n"));
        first = false;
        writeMember(c, f.key, r.*(f.ptr));
    });
    c.put('}');
    --level;
}

void writeVariant(Cursor& c, const LoopRecipeVariant& v, const char* name) {
    std::visit([&](const auto& rec) { writeRecord(c, rec, name); }, v);
}

// ---- reading --------------------------------------------------------------------------------------

template <class R>
void readRecord(R& r, std::string_view text, JsonTextRule rule);

template <class V>
void readMember(V& v, JsonMembers::Value value) {
    if constexpr (IsRecordArray<V>::value) {
        if (value.text.empty()) return;
        forEachJsonArrayElementP(
            value.text, static_cast<int>(v.size()),
            [&](int i, std::string_view el) { readRecord(v[static_cast<size_t>(i)], el, value.rule); }, value.rule);
    } else if constexpr (IsFss<V>::value) {
        readJsonP(v, value.text, value.rule);
    } else {
        readJsonP(v, value.text);
    }
}

template <class R>
void readRecordFrom(R& r, const JsonMembers& idx) {
    forEachField<R>([&](auto f) { readMember(r.*(f.ptr), idx.find(f.key)); });
}

// A record inside a value whose rule is known (a section of a document, an element of an array).
template <class R>
void readRecord(R& r, std::string_view text, JsonTextRule rule) {
    if (text.empty()) return;
    JsonMembers idx(text, rule);
    if (!idx.closed()) return;
    readRecordFrom(r, idx);
}

// A record on its own (a text from outside): each member judged by itself.
template <class R>
void readRecord(R& r, std::string_view text) {
    if (text.empty()) return;
    JsonMembers idx(text);
    if (!idx.closed()) return;
    readRecordFrom(r, idx);
}

// ---- comparison -----------------------------------------------------------------------------------

template <class R>
bool equalRecord(const R& a, const R& b);

template <class V>
bool equalMember(const V& a, const V& b) {
    if constexpr (IsRecordArray<V>::value) {
        for (size_t i = 0; i < a.size(); ++i)
            if (!equalRecord(a[i], b[i])) return false;
        return true;
    } else if constexpr (std::is_same_v<V, float>) {
        return a == b || (std::isnan(a) && std::isnan(b));
    } else {
        return a == b;
    }
}

template <class R>
bool equalRecord(const R& a, const R& b) {
    bool same = true;
    forEachField<R>([&](auto f) { same = same && equalMember(a.*(f.ptr), b.*(f.ptr)); });
    return same;
}

bool equalVariant(const LoopRecipeVariant& a, const LoopRecipeVariant& b) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&](const auto& ra) {
            using T = std::decay_t<decltype(ra)>;
            return equalRecord(ra, std::get<T>(b));
        },
        a);
}

}  // namespace

#define RECIPE_CODEC_DEFINE(R)                                                                  \
    int writeJsonP(const R& value, char* dst, int room, const char* name) {                    \
        return writeObjectPublic(dst, room, [&](Cursor& c) { writeRecord(c, value, name); });  \
    }                                                                                           \
    void readJsonP(R& value, std::string_view text) { readRecord(value, text); }                \
    bool sameStored(const R& a, const R& b) { return equalRecord(a, b); }

RECIPE_CODEC_DEFINE(SystemRecipeData)
RECIPE_CODEC_DEFINE(ModbusRtuRecipeData)
RECIPE_CODEC_DEFINE(ProbeMeasureRecipeItem)
RECIPE_CODEC_DEFINE(FirewallRuleItem)
RECIPE_CODEC_DEFINE(BluetoothRecipeData)
RECIPE_CODEC_DEFINE(ModemInfoRecipeData)
RECIPE_CODEC_DEFINE(WifiRecipeData)
RECIPE_CODEC_DEFINE(CellularRecipeData)
RECIPE_CODEC_DEFINE(CloudServerRecipeData)
RECIPE_CODEC_DEFINE(GatewayServerRecipeData)
RECIPE_CODEC_DEFINE(PortForwardingItem)
RECIPE_CODEC_DEFINE(RemoteAccessRecipeData)
RECIPE_CODEC_DEFINE(WanRecipeData)
RECIPE_CODEC_DEFINE(LanRecipeData)
RECIPE_CODEC_DEFINE(LoraRecipe)
RECIPE_CODEC_DEFINE(LoraRegisterItem)
RECIPE_CODEC_DEFINE(LoraDeviceRecipeItem)
RECIPE_CODEC_DEFINE(DataLogRecipeData)
RECIPE_CODEC_DEFINE(MBTcpClientInputItem)
RECIPE_CODEC_DEFINE(MBTcpClientOutputItem)
RECIPE_CODEC_DEFINE(MBTcpClientItemBase)
RECIPE_CODEC_DEFINE(MBTcpClientItem)
RECIPE_CODEC_DEFINE(MBTcpServerRecipeData)
RECIPE_CODEC_DEFINE(UpgradeRecipeData)
RECIPE_CODEC_DEFINE(DigitalRecipeItem)
RECIPE_CODEC_DEFINE(AIRecipeItem)
RECIPE_CODEC_DEFINE(LoopNoneRecipeData)
RECIPE_CODEC_DEFINE(LoopSetpointRecipeData)
RECIPE_CODEC_DEFINE(LoopPIDRecipeData)
RECIPE_CODEC_DEFINE(LoopIntervalRecipeData)

#undef RECIPE_CODEC_DEFINE

// ---- control-loop variant ---------------------------------------------------------------------------

template <class... Ts>
int writeJsonP(const std::variant<Ts...>& value, char* dst, int room, const char* name) {
    return writeObjectPublic(dst, room, [&](Cursor& c) { writeVariant(c, value, name); });
}

namespace {

void readVariantFrom(LoopRecipeVariant& slot, const JsonMembers& idx) {
    std::string_view typeView = idx.find("type").text;
    if (typeView.empty()) return;
    long long type = 0;
    if (!parseJsonIntegerP(typeView, type) || type < 0) return;
    if (type != static_cast<long long>(slot.index())) {
        const int32_t id = getElementId(slot);
        const auto t = static_cast<int32_t>(type);
        switch (type) {
            case 1: slot = LoopSetpointRecipeData{.id = id, .type = t}; break;
            case 2: slot = LoopPIDRecipeData{id, t}; break;
            case 3: slot = LoopIntervalRecipeData{id, t}; break;
            default: slot = LoopNoneRecipeData{id, t}; break;  // 0, and 4 or more
        }
    }
    std::visit([&](auto& rec) { readRecordFrom(rec, idx); }, slot);
}

}  // namespace

static void readVariant(LoopRecipeVariant& value, std::string_view text, JsonTextRule rule) {
    if (text.empty()) return;
    JsonMembers idx(text, rule);
    if (!idx.closed()) return;
    readVariantFrom(value, idx);
}

template <class... Ts>
void readJsonP(std::variant<Ts...>& value, std::string_view text) {
    if (text.empty()) return;
    JsonMembers idx(text);
    if (!idx.closed()) return;
    readVariantFrom(value, idx);
}

template int writeJsonP<LoopNoneRecipeData, LoopSetpointRecipeData, LoopPIDRecipeData, LoopIntervalRecipeData>(
    const LoopRecipeVariant&, char*, int, const char*);
template void readJsonP<LoopNoneRecipeData, LoopSetpointRecipeData, LoopPIDRecipeData, LoopIntervalRecipeData>(
    LoopRecipeVariant&, std::string_view);

bool sameStored(const LoopRecipeVariant& a, const LoopRecipeVariant& b) { return equalVariant(a, b); }

// ---- the document -------------------------------------------------------------------------------------

int writeJsonP(const ScadaRecipeData& r, char* dst, int room, const char* /*name*/) {
    Cursor c(dst, room);
    int& level = gIndentLevelForWriteJsonP;
    const int saved = level;
    c.indent(level);
    c.put(std::string_view("{\n"));
    ++level;
    auto sep = [&] { c.put(std::string_view(",\n")); };
    writeRecord(c, r.system, "system");
    sep();
    writeRecord(c, r.modbusRtu, "modbusRtu");
    sep();
    writeArray(c, r.sensors, "sensors");
    sep();
    writeArray(c, r.firewall, "firewall");
    sep();
    writeRecord(c, r.bluetooth, "bluetooth");
    sep();
    writeRecord(c, r.lte, "lte");
    sep();
    writeRecord(c, r.wifi, "wifi");
    sep();
    writeRecord(c, r.cellular, "cellular");
    sep();
    writeRecord(c, r.lora, "lora");
    sep();
    writeArray(c, r.loraDevice, "loraDevice");
    sep();
    writeRecord(c, r.dataLog, "dataLog");
    sep();
    writeRecord(c, r.cloudServer, "cloudServer");
    sep();
    writeRecord(c, r.gatewayServer, "gatewayServer");
    sep();
    writeArray(c, r.portForwarding, "portForwarding");
    sep();
    writeRecord(c, r.orvaneProRemote, "orvaneProRemote");
    sep();
    writeRecord(c, r.wan, "wan");
    sep();
    writeRecord(c, r.lan, "lan");
    sep();
    writeArray(c, r.mbTcpClient, "MBTcpClient");
    sep();
    writeRecord(c, r.mbTcpServer, "MBTcpServer");
    sep();
    // "database": an object with the one member fetchInterval.
    c.indent(level);
    c.key("database");
    c.put(std::string_view("{\n"));
    ++level;
    writeMember(c, "fetchInterval", r.fetchInterval);
    c.put('}');
    --level;
    sep();
    writeRecord(c, r.upgrade, "upgrade");
    sep();
    c.indent(level);
    c.key("controlloop");
    c.put(std::string_view("[\n"));
    ++level;
    for (size_t i = 0; i < r.controlloop.size(); ++i) {
        if (i) sep();
        writeVariant(c, r.controlloop[i], nullptr);
    }
    --level;
    c.put(std::string_view("]\n"));
    sep();
    writeArray(c, r.digital, "digital");
    sep();
    writeArray(c, r.ai, "ai");
    c.put('}');
    level = saved;
    c.terminate();
    return c.result();
}

void readJsonP(ScadaRecipeData& r, std::string_view text) { readRecipeDocument(r, text); }

RecipeDocumentReadResult readRecipeDocument(ScadaRecipeData& r, std::string_view text) {
    RecipeDocumentReadResult res;
    if (text.empty()) return res;
    // The top-level object. A document cut off before its closing brace is read as far as it
    // goes: its sections whose blocks close are taken, the others keep their values. Each section
    // is judged on its own: one stored by earlier firmware with unescaped texts is read under the
    // old rule, and the sections after it are found all the same.
    JsonMembers idx(text);
    res.hasObject = idx.hasObject();
    res.closed = idx.closed();
    for (const char* key : kRecipeDocumentKeys)
        if (idx.has(key)) ++res.keysFound;
    auto section = [&](auto& rec, const char* key) {
        const JsonMembers::Value v = idx.find(key);
        readRecord(rec, v.text, v.rule);
    };
    section(r.system, "system");
    section(r.modbusRtu, "modbusRtu");
    readMember(r.sensors, idx.find("sensors"));
    readMember(r.firewall, idx.find("firewall"));
    section(r.bluetooth, "bluetooth");
    section(r.lte, "lte");
    section(r.wifi, "wifi");
    section(r.cellular, "cellular");
    section(r.lora, "lora");
    readMember(r.loraDevice, idx.find("loraDevice"));
    section(r.dataLog, "dataLog");
    section(r.cloudServer, "cloudServer");
    section(r.gatewayServer, "gatewayServer");
    readMember(r.portForwarding, idx.find("portForwarding"));
    section(r.orvaneProRemote, "orvaneProRemote");
    section(r.wan, "wan");
    section(r.lan, "lan");
    readMember(r.mbTcpClient, idx.find("MBTcpClient"));
    section(r.mbTcpServer, "MBTcpServer");
    {
        const JsonMembers::Value db = idx.find("database");
        if (!db.text.empty()) {
            JsonMembers members(db.text, db.rule);
            if (members.closed()) readJsonP(r.fetchInterval, members.find("fetchInterval").text);
        }
    }
    section(r.upgrade, "upgrade");
    {
        const JsonMembers::Value loops = idx.find("controlloop");
        if (!loops.text.empty())
            forEachJsonArrayElementP(
                loops.text, kControlLoopCount,
                [&](int i, std::string_view el) { readVariant(r.controlloop[static_cast<size_t>(i)], el, loops.rule); },
                loops.rule);
    }
    readMember(r.digital, idx.find("digital"));
    readMember(r.ai, idx.find("ai"));
    return res;
}

bool sameStoredRecipe(const ScadaRecipeData& a, const ScadaRecipeData& b) {
    if (!equalRecord(a.system, b.system) || !equalRecord(a.modbusRtu, b.modbusRtu) ||
        !equalMember(a.sensors, b.sensors) || !equalMember(a.firewall, b.firewall) ||
        !equalRecord(a.bluetooth, b.bluetooth) || !equalRecord(a.lte, b.lte) || !equalRecord(a.wifi, b.wifi) ||
        !equalRecord(a.cellular, b.cellular) || !equalRecord(a.lora, b.lora) ||
        !equalMember(a.loraDevice, b.loraDevice) || !equalRecord(a.dataLog, b.dataLog) ||
        !equalRecord(a.cloudServer, b.cloudServer) || !equalRecord(a.gatewayServer, b.gatewayServer) ||
        !equalMember(a.portForwarding, b.portForwarding) || !equalRecord(a.orvaneProRemote, b.orvaneProRemote) ||
        !equalRecord(a.wan, b.wan) || !equalRecord(a.lan, b.lan) || !equalMember(a.mbTcpClient, b.mbTcpClient) ||
        !equalRecord(a.mbTcpServer, b.mbTcpServer) || a.fetchInterval != b.fetchInterval ||
        !equalRecord(a.upgrade, b.upgrade) || !equalMember(a.digital, b.digital) || !equalMember(a.ai, b.ai))
        return false;
    for (size_t i = 0; i < a.controlloop.size(); ++i)
        if (!equalVariant(a.controlloop[i], b.controlloop[i])) return false;
    return true;
}
