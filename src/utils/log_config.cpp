#include "utils/log.h"

// Placeholder; replaced by the real implementation.
void loadLogConfig() {}
