#pragma once
// Collects the messages written through spdlog's default logger while alive, with the given
// module levels (every other module silent). Safe while other threads log.
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "utils/log.h"

namespace orvane::test {

class LogCapture {
public:
    explicit LogCapture(std::initializer_list<std::pair<LogModule, LogLevel>> levels) {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>("capture", sink_));
        spdlog::default_logger()->set_level(spdlog::level::trace);
        reset_log_levels_for_test();
        for (const auto& [module, level] : levels) set_log_level_for_test(module, static_cast<int>(level));
    }
    ~LogCapture() { reset_log_levels_for_test(), spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The messages that contain text, in order.
    std::vector<std::string> lines(const std::string& text) const { return sink_->lines(text); }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        std::vector<std::string> lines(const std::string& text) {
            std::lock_guard lock(mutex_);
            std::vector<std::string> out;
            for (const std::string& m : messages)
                if (m.find(text) != std::string::npos) out.push_back(m);
            return out;
        }
        void sink_it_(const spdlog::details::log_msg& msg) override { messages.emplace_back(msg.payload.data(), msg.payload.size()); }
        void flush_() override {}
        std::vector<std::string> messages;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    std::shared_ptr<spdlog::logger> previous_ = spdlog::default_logger();
};

}  // namespace orvane::test
