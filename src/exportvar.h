#pragma once
// Named-variable registration: fills the register table with every variable that the Modbus TCP
// server, the Modbus TCP client and the REST API reach through it, bound by reference to the
// recipe record, the live record, three sample constants and the HMI command block. Register
// addresses follow from each block's base and the order of registration; Modbus clients address
// the variables by them, so neither may change.
//
// Run once at start-up on the main thread, before any component thread exists (so the records
// are read without their mutexes). The table must already know where the recipe and live
// records lie (VarEngine::attachStore / attachLive), so each entry is read under the right mutex.
// A registration that does not fit throws std::runtime_error from VarEngine::registerVal.
#include <cstdint>

class VarEngine;
class RecipeDataGuard;
class LiveDataGuard;
struct ScadaRecipeData;
struct ScadaLiveData;
struct HmiCommandBlock;

// The sample constants registered first (writable; nothing else uses them).
extern float gExportFloatRef;      // 123.45
extern uint32_t gExportIntRef1;    // 0x01020304
extern uint32_t gExportIntRef2;    // 0x01020304

struct ExportVarStores {
    VarEngine& vars;
    ScadaRecipeData& recipe;
    ScadaLiveData& live;
    HmiCommandBlock& hmi;
};

// Tells the table where the recipe and live records lie and which mutexes guard them. Call
// before the fill functions.
void attachStores(VarEngine& vars, RecipeDataGuard& recipe, LiveDataGuard& live);

void fillGeneralVar(const ExportVarStores& s);
void fillProbeVar(const ExportVarStores& s);
void fillAnalogInput(const ExportVarStores& s);
void fillLoraVar(const ExportVarStores& s);
void fillCellularVar(const ExportVarStores& s);
void fillWiFiVar(const ExportVarStores& s);
void fillController(const ExportVarStores& s);
void fillHMIVar(const ExportVarStores& s);

// The eight fill functions in order, then VarEngine::sortRegTab.
void fillAllVars(const ExportVarStores& s);
