#pragma once
// One pass of the supervisor loop of orvane-scada: guard-port watchdog, reset button, history
// writing and controller-output broadcast. The owner object supplies the actions, so the pass
// runs unchanged under a simulated clock in tests.
#include <atomic>
#include <cstdint>
#include <functional>

struct SupervisorActions {
    std::function<int()> guardPort;                   // the system section's guard port
    std::function<bool(int)> portInUse;               // true when the port is bound
    std::function<int64_t(int)> readHoldSeconds;      // reset button, timeout in ms
    std::function<void()> hardwarePasswordReset;      // administrator password to default
    std::function<void()> saveHistory;                // write the due history rows
    std::function<void()> broadcastControllerOutputs;
};

class Supervisor {
public:
    enum class Outcome { Continue, ExitRequested, GuardPortLost };
    static constexpr int64_t kGuardPortGraceSeconds = 30;
    static constexpr int64_t kResetHoldSeconds = 10;

    Supervisor(SupervisorActions actions, std::atomic<bool>& exitFlag);
    // Records "now" as the last moment the guard port was seen.
    void start();
    Outcome runOnce();

private:
    SupervisorActions a_;
    std::atomic<bool>& exitFlag_;
    int64_t last_ = 0;
};
