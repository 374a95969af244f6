#pragma once
// Writer of probe-definition files: one ProbeMeta as the JSON object that the definition reader
// (readJson) takes, under the same keys, with the gateway's writer layout at level 0. The text
// ends at the object's closing brace.
#include <string>

struct ProbeMeta;

std::string probeDefinitionText(const ProbeMeta& def);
