#pragma once
// Reads orvane-lte's settings from parameter.json and writes its tunnel ports back into it.
#include <string>

#include <nlohmann/json.hpp>

#include "cloud_daemon/domain/entities/sys_setting.h"
#include "cloud_daemon/domain/interfaces/i_logger.h"

namespace cloud_daemon::infrastructure::setting {

class SettingCfg {
public:
    using ILogger = domain::interfaces::ILogger;
    using SysSetting = domain::entities::SysSetting;

    // 0 when every key was read; -1 after a logged JSON error (fields read before it keep their
    // new values).
    static int load(const std::string& path, ILogger& logger, SysSetting& settings);
    // Rereads the file, writes the entries' ports into it (other keys kept) and replaces it
    // atomically, sorted keys and 2-space indentation, then syncs. Returns 0; a failure is
    // logged and leaves the file as it was.
    static int save(const std::string& path, ILogger& logger, const SysSetting& settings);
    // The string at section/key with every "{sn}" replaced by sn. Throws nlohmann::json errors.
    static std::string read_topic(const nlohmann::json& section, const std::string& key, const std::string& sn);
};

}  // namespace cloud_daemon::infrastructure::setting
