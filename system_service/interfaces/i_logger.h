#pragma once
// orvane-system's logging interface: the daemon logger shared with orvane-lte.
#include "cloud_daemon/infrastructure/logger/daemon_logger.h"

namespace interfaces {
using ILogger = orvane::daemon_logger::ILogger;
using orvane::daemon_logger::log_error;
using orvane::daemon_logger::log_info;
using orvane::daemon_logger::log_warn;
}  // namespace interfaces
