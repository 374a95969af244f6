// Field-side routes of the REST API: probes, analog inputs, controllers, control loops, LoRa,
// register addresses, live data, trends and uploads. Not served yet: each answers as an unknown
// route.
#include "webserver/rest_api.h"

RestHandled RestAPI::_getMeasureType(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeMeta(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeSettingsAll(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setProbeSettingsBatch(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setProbeSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeCalibLog(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getScanStatus(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_startScan(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_stopScan(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probePing(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeDiagnose(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeRestore(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_replaceProbe(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeCalibrate(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeChangeAddr(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeSetValue(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeConfigAddr(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeConfig(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_probeChangeAddrBatch(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeChangeAddrResult(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getCustomProbeMeta(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_addKelvaProbe(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_addCustomProbe(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getAnalogInput(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setAnalogInput(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getAnalogInputs(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getControllerSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setControllerSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getControllerInputRegSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setControllerInputRegSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setControllerInputRegArray(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getControllerOutputRegSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setControllerOutputRegSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_addControllerOutput(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getControlLoops(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setControlLoop(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLoraSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setLoraSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLoraDevices(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_setLoraDeviceSettings(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getMBRegAddr(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLoRaMBRegAddr(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getSystemLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getProbeLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLoraLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getLteLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getControllerLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_getAnalogLiveData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_get_livedata(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_trendData(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
RestHandled RestAPI::_upload(const RestRequest&, fss::stringHuge&) { return RestHandled::Unknown; }
