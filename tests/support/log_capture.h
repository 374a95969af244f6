#pragma once
// Collects the messages of spdlog's default logger while alive (the last 8192), with the given
// module levels and every other module silent. Safe while other threads log.
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "utils/log.h"

namespace orvane::test {

struct LogCapture {
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(8192);
    std::shared_ptr<spdlog::logger> previous = spdlog::default_logger();
    explicit LogCapture(std::initializer_list<std::pair<LogModule, LogLevel>> levels) {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink));
        reset_log_levels_for_test();
        for (const auto& [module, level] : levels) set_log_level_for_test(module, static_cast<int>(level));
    }
    ~LogCapture() { reset_log_levels_for_test(), spdlog::set_default_logger(previous); }
    // The messages that contain text (all of them for an empty text), in order.
    std::vector<std::string> lines(const std::string& text = {}) const {
        std::vector<std::string> out;
        for (const auto& m : sink->last_raw()) {
            std::string message(m.payload.data(), m.payload.size());
            if (message.find(text) != std::string::npos) out.push_back(std::move(message));
        }
        return out;
    }
};

}  // namespace orvane::test
