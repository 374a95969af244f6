#pragma once
// Mirrors EnvGuard's probe command status words into a probe live-data block. The web API
// applies it to its own copy of the block each time it serves the block; the words are read
// with atomic loads, no lock is taken.
struct ProbeLiveData;
class EnvGuard;

void syncCmdStatusFromEnv(ProbeLiveData& block, const EnvGuard& env);
