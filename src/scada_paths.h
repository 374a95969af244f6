#pragma once
// The gateway's file locations. Production values are the documented ones under the install
// root /opt/kelvaworks/; each is derived from the platform roots at the time of the call, so a
// test that points the roots at a temporary tree sees every file move with them.
#include <string>
#include <vector>

#include "platform/paths.h"

namespace scada_paths {

using orvane::platform::Paths;

inline std::string CONFIG_FILE() { return Paths::install("config/recipes/parameter.json"); }
inline std::string CONFIG_FILE_BK() { return Paths::install("config/recipes/parameter.json.mk"); }
inline std::string RECIPE_PATH() { return Paths::install("config/recipes/"); }
inline std::string TEMPLATE_FILE() { return Paths::install("config/recipes/template.json"); }
inline std::string CONFIG_FILE_WEBLINK() { return Paths::install("web/parameter.json"); }
inline std::string WEB_ROOT_PATH() { return Paths::install("web/"); }
inline std::string LOG_FILE() { return Paths::install("log/scada.log"); }
inline std::string RUN_ENABLE_FILE() { return Paths::install("runtime/run_enables.json"); }
inline std::string OPDATA_FILE() { return Paths::install("runtime/opdata.json"); }
inline std::string PROBE_RAWDATA_PATH() { return Paths::install("raw"); }
inline std::string DB_FILE_NFLASH() { return Paths::install("runtime/orvanepro.db"); }
inline std::string DB_FILE_SDCARD() { return Paths::system("run/media/mmcblk0p1/orvanepro.db"); }
inline std::string DB_FILE_SDCARD_DATA() { return Paths::system("run/media/mmcblk0p2/orvanepro.db"); }
inline std::string SD_CARD_DEVICE() { return Paths::system("dev/mmcblk0"); }
inline std::string PROBE_MODULE_SOCKET() { return Paths::runtime("probeSock"); }
inline std::string SYSETM_MODULE_SOCKET() { return Paths::runtime("systemSock"); }
inline std::string INTERFACE_METER_FILE() { return Paths::install("runtime/interfacemeter.json"); }
inline std::string LORA_DEVICE_FILE() { return Paths::install("runtime/lora_devices.json"); }
inline std::string RESET_BUTTON_DEVICE() { return Paths::system("dev/input/event2"); }
// Every folder the gateway replaces files in (configuration, probe definitions, state, data
// usage, and the system files it edits).
inline std::vector<std::string> SAVED_FILE_DIRS() {
    return {RECIPE_PATH(),          Paths::install("config/probes/"), Paths::install("runtime/"),
            Paths::install("data/"), Paths::system("etc/"),            Paths::system("etc/systemd/network/")};
}

}  // namespace scada_paths
