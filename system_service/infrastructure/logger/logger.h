#pragma once
// orvane-system's logger: named "Orvane-system"; warnings and worse reach the file at once.
#include <string>

#include "system_service/interfaces/i_logger.h"

namespace infrastructure::logger {

class Logger : public orvane::daemon_logger::Logger {
public:
    static constexpr const char* kName = "Orvane-system";
    explicit Logger(const std::string& path) : orvane::daemon_logger::Logger(path, {kName, true}) {}
};

}  // namespace infrastructure::logger
