#pragma once
// orvane-system's settings: the upgrade server's base URL and the installed software version,
// read once from the shared parameter file, and the fixed work folder of an upgrade.
#include <string>

#include "system_service/interfaces/i_logger.h"

namespace setting {

// The upgrade server used when the parameter file names none (the recipe's default too).
inline constexpr const char* kDefaultUpgradeUrl = "https://upgrade.kelvaworks.com/v4/";
// Keys of the parameter file.
inline constexpr const char* kUpgradeKey = "upgrade";
inline constexpr const char* kUrlKey = "url";
inline constexpr const char* kLocalPathKey = "localPath";  // defined, never looked up
inline constexpr const char* kSystemKey = "system";
inline constexpr const char* kSoftwareVersionKey = "swVer";

class Settings {
public:
    // Reads "upgrade" -> "url", then "system" -> "swVer"; a JSON error is logged and leaves the
    // values not yet read at their defaults.
    Settings(const std::string& path, interfaces::ILogger& logger);

    const std::string& url_path() const { return url_path_; }
    // The work folder: "orvane_update/" in the runtime directory ("/tmp/orvane_update/").
    const std::string& local_folder() const { return local_folder_; }
    const std::string& software_revision() const { return software_revision_; }
    // Writes a new version into the parameter file (whole file replaced atomically, keys kept in
    // their order, then sync). Nothing in the system calls it.
    void software_revision(const std::string& text);

    const std::string& path() const { return path_; }
    // Test-only: another work folder (the production one cannot be configured).
    void set_local_folder_for_test(std::string folder) { local_folder_ = std::move(folder); }

private:
    std::string path_;
    interfaces::ILogger& logger_;
    std::string url_path_;
    std::string local_folder_;
    std::string software_revision_;
};

}  // namespace setting
