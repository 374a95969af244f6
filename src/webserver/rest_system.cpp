// Management routes of the REST API: network, Wi-Fi, date, ping, accounts, system, cloud,
// cellular, serial, firewall, forwarding, reboot and upgrade. Not served yet: each answers as an
// unknown route.
#include "webserver/rest_api.h"

RestHandled RestAPI::_getLanSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setLanSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getWanSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setWanSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getWirelessSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setWirelessSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setDHCPDSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setSysDateTime(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_pingHost(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_pingOutput(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_auth(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getSysSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setSysSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getSystemUpgradeInfo(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_systemUpgradeStatus(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_reboot(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_restart(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getCellularSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setCellularSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLteSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getCloudSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setCloudSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getModbusRTUSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setModbusRTUSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getFirewallRules(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setFirewallRules(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getPortForwardingRules(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setPortForwardingRules(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }

bool RestAPI::_systemUpgrade(std::string_view) { return false; }
