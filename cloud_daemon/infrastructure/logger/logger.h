#pragma once
// orvane-lte's logger: named "CloudDaemon"; the file is flushed as the library's buffering decides.
#include <string>

#include "cloud_daemon/domain/interfaces/i_logger.h"

namespace cloud_daemon::infrastructure::logger {

class Logger : public orvane::daemon_logger::Logger {
public:
    static constexpr const char* kName = "CloudDaemon";
    explicit Logger(const std::string& path) : orvane::daemon_logger::Logger(path, {kName, false}) {}
};

}  // namespace cloud_daemon::infrastructure::logger
