#pragma once
// The default logger's lines, kept for a test, with the web side's modules at warning level (so
// only warnings and errors are written). Made before the component under test logs anything.
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "utils/log.h"

class LogCapture {
public:
    LogCapture() : previous_(spdlog::default_logger()) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(text_);
        sink->set_pattern("%v");
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
        for (LogModule m : {LogModule::WEB, LogModule::SCADA, LogModule::SENSOR})
            set_log_level_for_test(m, static_cast<int>(LogLevel::WARN));
    }
    ~LogCapture() {
        reset_log_levels_for_test();
        spdlog::set_default_logger(previous_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        spdlog::default_logger()->flush();
        std::vector<std::string> all;
        std::istringstream in(text_.str());
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }

private:
    std::ostringstream text_;
    std::shared_ptr<spdlog::logger> previous_;
};
