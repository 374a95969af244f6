#include "supervisor.h"

#include <chrono>

#include "platform/clock.h"
#include "utils/log.h"

using orvane::platform::Clock;

Supervisor::Supervisor(SupervisorActions actions, std::atomic<bool>& exitFlag)
    : a_(std::move(actions)), exitFlag_(exitFlag) {}

void Supervisor::start() { last_ = Clock::get().steadySeconds(); }

Supervisor::Outcome Supervisor::runOnce() {
    int64_t now = Clock::get().steadySeconds();
    int64_t span = now - last_;
    int port = a_.guardPort ? a_.guardPort() : 80;
    bool inUse = a_.portInUse ? a_.portInUse(port) : true;
    SLOG_INFO(SCADA, "check whether port {} is in use:{}, span: {}", port, inUse, span);
    if (inUse) {
        last_ = now;
    } else if (span > kGuardPortGraceSeconds) {
        exitFlag_.store(true);
        // An exit reason: shown at the default level.
        SLOG_WARN(SCADA, "Port {} does not exist. exit", port);
        Clock::get().sleepFor(std::chrono::seconds(1));
        return Outcome::GuardPortLost;
    }

    int64_t held = a_.readHoldSeconds ? a_.readHoldSeconds(1000) : 0;
    if (held > kResetHoldSeconds) {
        if (a_.hardwarePasswordReset) a_.hardwarePasswordReset();
        SLOG_INFO(SCADA, "RESET_PWD_HD {} seconds", held);
    }

    Clock::get().sleepFor(std::chrono::seconds(1));

    if (exitFlag_.load()) {
        SLOG_INFO(SCADA, "Core::init() exit");
        Clock::get().sleepFor(std::chrono::seconds(1));
        return Outcome::ExitRequested;
    }
    if (a_.saveHistory) a_.saveHistory();
    if (a_.broadcastControllerOutputs) a_.broadcastControllerOutputs();
    return Outcome::Continue;
}
