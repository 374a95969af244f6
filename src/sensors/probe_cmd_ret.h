#pragma once
// Result of a probe command: status -1 no result yet, 0 failure, 1 success, and a message.
#include <cstdint>

#include "utils/fss.h"

struct ProbeCmdRetPack {
    int16_t status = -1;
    fss::basic_str<char, 128> msg;
};
