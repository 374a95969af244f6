#pragma once
// Configuration records of the four control-loop kinds, as stored in the "controlloop" array of
// parameter.json. The variant index is the loop kind and equals the record's "type" value:
// 0 none, 1 setpoint, 2 PID, 3 interval.
//
// The loop classes (LoopNone, LoopSetpoint, LoopPID, LoopInterval) live with the loop manager and
// name these records as their nested RecipeData:
//     class LoopSetpoint { public: using RecipeData = LoopSetpointRecipeData; ... };
// so LoopSetpoint::RecipeData and LoopSetpointRecipeData are one type.
#include <cstdint>
#include <variant>

struct LoopNoneRecipeData {
    int32_t id = 0;
    int32_t type = 0;
};

struct LoopSetpointRecipeData {
    int32_t id = 0;
    int32_t type = 1;
    int32_t mode = 1;
    bool manualOn = false;
    bool enable = false;
    float low = 0.0f;
    float high = 0.0f;
    bool upDirect = false;
    float deadband = 0.1f;
    int32_t idxInput = -1;
    int32_t idxOutput = -1;
};

struct LoopPIDRecipeData {
    int32_t id = 0;
    int32_t type = 2;
};

struct LoopIntervalRecipeData {
    int32_t id = 0;
    int32_t type = 3;
};

using LoopRecipeVariant =
    std::variant<LoopNoneRecipeData, LoopSetpointRecipeData, LoopPIDRecipeData, LoopIntervalRecipeData>;

inline constexpr int kLoopKindCount = 4;

// Id of whichever alternative the slot holds.
inline int32_t getElementId(const LoopRecipeVariant& v) {
    return std::visit([](const auto& r) { return r.id; }, v);
}
inline void setElementId(LoopRecipeVariant& v, int32_t id) {
    std::visit([id](auto& r) { r.id = id; }, v);
}
inline int32_t getElementType(const LoopRecipeVariant& v) {
    return std::visit([](const auto& r) { return r.type; }, v);
}
