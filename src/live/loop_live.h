#pragma once
// Run-time records of the four control-loop kinds, as the live store holds them. The loop classes
// (src/loop/) name them as their nested LiveData, e.g. LoopSetpoint::LiveData.
// The variant index is the loop kind: 0 none, 1 setpoint, 2 PID, 3 interval.
#include <cmath>
#include <cstdint>
#include <limits>
#include <variant>

struct LoopNoneLiveData {};

struct LoopSetpointLiveData {
    float input = std::numeric_limits<float>::quiet_NaN();  // process value
    int32_t output = 0;                                    // 0 off, 1 on
};

struct LoopPIDLiveData {
    float input = std::numeric_limits<float>::quiet_NaN();
    float output = std::numeric_limits<float>::quiet_NaN();
};

struct LoopIntervalLiveData {
    int32_t output = 0;
};

using LoopLiveVariant = std::variant<LoopNoneLiveData, LoopSetpointLiveData, LoopPIDLiveData, LoopIntervalLiveData>;

inline constexpr int kLoopCount = 10;
