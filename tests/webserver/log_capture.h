#pragma once
// The default logger's lines during one test, the web side's modules at warning level (so only
// warnings and errors are written). Made before the component under test logs anything.
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>
#include <string>
#include <vector>

#include "utils/log.h"

struct LogCapture {
    std::ostringstream text;
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();

    LogCapture() {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(text);
        sink->set_pattern("%v");
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
        for (LogModule m : {LogModule::WEB, LogModule::SCADA, LogModule::SENSOR})
            set_log_level_for_test(m, static_cast<int>(LogLevel::WARN));
    }
    ~LogCapture() {
        reset_log_levels_for_test();
        spdlog::set_default_logger(previous);
    }
    std::vector<std::string> lines() {
        std::vector<std::string> all;
        std::istringstream in(text.str());
        for (std::string line; std::getline(in, line);) all.push_back(line);
        return all;
    }
};
