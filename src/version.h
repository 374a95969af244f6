#pragma once
// The gateway's version text: printed by "-v" and the default software revision.
#define ORVANE_SCADA_VERSION "1.2.2922(20260907)"
