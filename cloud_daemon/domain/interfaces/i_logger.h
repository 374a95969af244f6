#pragma once
// The daemon's logging interface (shared implementation, see daemon_logger.h).
#include "cloud_daemon/infrastructure/logger/daemon_logger.h"

namespace cloud_daemon::domain::interfaces {
using ILogger = orvane::daemon_logger::ILogger;
using orvane::daemon_logger::log_error;
using orvane::daemon_logger::log_info;
using orvane::daemon_logger::log_warn;
}  // namespace cloud_daemon::domain::interfaces
