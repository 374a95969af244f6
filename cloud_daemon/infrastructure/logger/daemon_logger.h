#pragma once
// The stream-style logger of the two daemons (orvane-lte and orvane-system): one implementation,
// given each daemon's logger name and flush policy, exposed under each daemon's namespace.
//
//   logger.info() << "Count " << 3;
//   logger.log_line_completed();
//
// The line being built and its level belong to the calling thread: threads that log through one
// logger at the same time never mix their parts.
#include <cstdint>
#include <sstream>
#include <string>

namespace orvane::daemon_logger {

class ILogger {
public:
    virtual ~ILogger() = default;

    // Each makes its level (1 trace ... 6 critical) the level of the line being built.
    virtual ILogger& trace() = 0;
    virtual ILogger& debug() = 0;
    virtual ILogger& info() = 0;
    virtual ILogger& warn() = 0;
    virtual ILogger& error() = 0;
    virtual ILogger& critical() = 0;
    // Appends the stream's text to the line being built.
    virtual void log_string(const std::stringstream& part) = 0;
    // Writes the line being built at its level and starts a new, empty line.
    virtual void log_line_completed() = 0;

    // Writes a value as a std::ostream prints it.
    template <typename T>
    friend ILogger& operator<<(ILogger& logger, const T& value) {
        std::stringstream scratch;
        scratch << value;
        logger.log_string(scratch);
        return logger;
    }
};

// One whole line: log_info(logger, "Count ", 3).
template <typename... A>
void log_line(ILogger& (ILogger::*level)(), ILogger& logger, const A&... parts) {
    ILogger& l = (logger.*level)();
    ((l << parts), ...);
    logger.log_line_completed();
}
template <typename... A>
void log_info(ILogger& logger, const A&... parts) { log_line(&ILogger::info, logger, parts...); }
template <typename... A>
void log_warn(ILogger& logger, const A&... parts) { log_line(&ILogger::warn, logger, parts...); }
template <typename... A>
void log_error(ILogger& logger, const A&... parts) { log_line(&ILogger::error, logger, parts...); }

struct LoggerOptions {
    std::string name;             // logger name in every line
    bool flushOnWarning = false;  // flush the file at once for warning and above
    bool console = true;          // also write to standard output
};

class Logger : public ILogger {
public:
    static constexpr const char* kDefaultPath = "logs/rotating.txt";
    static constexpr std::size_t kMaxFileSize = 1048576;
    static constexpr std::size_t kMaxFiles = 2;  // the file and one backup

    // Builds the console and rotating-file sinks (an empty path: kDefaultPath) and makes the
    // logger the process's default. A file that cannot be opened leaves the console alone, with
    // a line on standard error.
    Logger(const std::string& path, const LoggerOptions& options);
    // Shuts the logging library down (flushes and releases every logger).
    ~Logger() override;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    ILogger& trace() override { return select(1); }
    ILogger& debug() override { return select(2); }
    ILogger& info() override { return select(3); }
    ILogger& warn() override { return select(4); }
    ILogger& error() override { return select(5); }
    ILogger& critical() override { return select(6); }
    void log_string(const std::stringstream& part) override;
    void log_line_completed() override;

    const std::string& path() const { return path_; }

private:
    ILogger& select(int level);

    const uint64_t id_;  // tells this logger's per-thread lines from another's
    std::string path_;
    std::string name_;
};

}  // namespace orvane::daemon_logger
