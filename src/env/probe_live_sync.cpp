#include "env/probe_live_sync.h"

#include "env/env_guard.h"
#include "live/live_data.h"

void syncCmdStatusFromEnv(ProbeLiveData& block, const EnvGuard& env) {
    block.calibRet = env.calibStatus.load();
    block.calibSourceIdx = static_cast<int32_t>(env.calibProbeId.load());
    block.diagnSourceIdx = static_cast<int32_t>(env.diagnoseProbeId.load());
    block.diagnRet = env.diagnoseStatus.load();
    block.diagNum = static_cast<int32_t>(env.diagnoseResult.load());
    block.pingSourceIdx = static_cast<int32_t>(env.pingProbeId.load());
    block.pingRet = env.pingStatus.load();
    block.restoreSourceIdx = static_cast<int32_t>(env.restoreProbeId.load());
    block.restoreRet = env.restoreStatus.load();
    block.configSourceIdx = env.configProbeIndex.load();
    block.configRet = env.configStatus.load();
    block.available = env.probeCmdPending.load() == 0;
}
