#include "cloud_daemon/infrastructure/logger/daemon_logger.h"

#include <atomic>
#include <iostream>
#include <memory>
#include <unordered_map>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace orvane::daemon_logger {

namespace {

std::atomic<uint64_t> g_nextId{1};

struct Line {
    std::ostringstream text;
    int level = 0;
};

// The lines being built by this thread, one per logger.
Line& lineOf(uint64_t id) {
    thread_local std::unordered_map<uint64_t, Line> lines;
    return lines[id];
}

}  // namespace

Logger::Logger(const std::string& path, const LoggerOptions& options)
    : id_(g_nextId.fetch_add(1)), path_(path.empty() ? kDefaultPath : path), name_(options.name) {
    std::vector<spdlog::sink_ptr> sinks;
    if (options.console) {
        auto console = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
        console->set_level(spdlog::level::trace);
        sinks.push_back(console);
    }
    try {
        // max_files counts the backups: one backup beside the file makes two files.
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path_, kMaxFileSize, kMaxFiles - 1, false);
        file->set_level(spdlog::level::trace);
        sinks.push_back(file);
    } catch (const std::exception& e) {
        std::cerr << "Cannot open the log file " << path_ << ": " << e.what() << std::endl;
    }
    auto logger = std::make_shared<spdlog::logger>(name_, sinks.begin(), sinks.end());
    logger->set_pattern("[%Y-%m-%d %H:%M:%S] [%n: %t] [%^%l%$]: %v");
    if (options.flushOnWarning) logger->flush_on(spdlog::level::warn);
    spdlog::drop(name_);
    spdlog::register_logger(logger);
    spdlog::set_default_logger(logger);
}

Logger::~Logger() { spdlog::shutdown(); }

ILogger& Logger::select(int level) {
    lineOf(id_).level = level;
    return *this;
}

void Logger::log_string(const std::stringstream& part) { lineOf(id_).text << part.str(); }

void Logger::log_line_completed() {
    Line& line = lineOf(id_);
    static constexpr spdlog::level::level_enum kLevels[] = {spdlog::level::trace, spdlog::level::debug,
                                                            spdlog::level::info,  spdlog::level::warn,
                                                            spdlog::level::err,   spdlog::level::critical};
    if (line.level >= 1 && line.level <= 6) {
        if (auto* l = spdlog::default_logger_raw()) l->log(kLevels[line.level - 1], line.text.str());
    }
    line.text.str({});
    line.text.clear();
}

}  // namespace orvane::daemon_logger
