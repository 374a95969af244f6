#include "system_service/setting/settings.h"

#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/atomic_file.h"
#include "platform/command_runner.h"
#include "platform/paths.h"

namespace setting {

namespace {

using json = nlohmann::ordered_json;  // the file is rewritten with its keys in their order

void logJsonError(interfaces::ILogger& logger, const json::exception& e) {
    interfaces::log_error(logger, "message: ", e.what(), "; ", "exception id: ", e.id);
}

json readDocument(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return json::parse(in);  // an unreadable file parses as empty input: parse_error
}

}  // namespace

Settings::Settings(const std::string& path, interfaces::ILogger& logger)
    : path_(path),
      logger_(logger),
      url_path_(kDefaultUpgradeUrl),
      local_folder_(orvane::platform::Paths::runtime("orvane_update/")) {
    try {
        const json doc = readDocument(path_);
        url_path_ = doc.at(kUpgradeKey).at(kUrlKey).get<std::string>();
        software_revision_ = doc.at(kSystemKey).at(kSoftwareVersionKey).get<std::string>();
    } catch (const json::exception& e) {
        logJsonError(logger_, e);
    }
    interfaces::log_info(logger_, "_url_path: ", url_path_, "; ", "_local_folder: ", local_folder_);
}

void Settings::software_revision(const std::string& text) {
    try {
        json doc = readDocument(path_);
        doc[kSystemKey][kSoftwareVersionKey] = text;
        const std::string out = doc.dump(4, ' ', false, json::error_handler_t::replace);
        int err = 0;
        if (orvane::platform::replaceFile(path_, out.data(), out.size(), &err) != orvane::platform::ReplaceError::None) {
            interfaces::log_error(logger_, "Fail to write the configuration file ", path_, ": ", std::strerror(err));
            return;
        }
        orvane::platform::CommandRunner::get().syncFs();
        software_revision_ = text;
    } catch (const json::exception& e) {
        logJsonError(logger_, e);
    }
}

}  // namespace setting
