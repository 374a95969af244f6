#pragma once
// Edits of the recipe probe list made when probes are added, removed or renamed. They work on a
// copy of the 128 items; EnvGuard copies the list out of the recipe store and back.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "env/cmd_packs.h"

struct ProbeMeta;
struct ProbeMeasureRecipeItem;
using ProbeRecipeItems = std::array<ProbeMeasureRecipeItem, 128>;

namespace probe_list {

// Definition of a part number (the empty definition when none); never null.
using MetaLookup = std::function<std::shared_ptr<const ProbeMeta>(long long pn)>;

// 1 + the largest displayId among entries with enable and display set; 1 when none.
int nextDisplayId(const ProbeRecipeItems& items);

// Adds the probes of a batch: items with address 0, part number <= 0, or an address already in
// the list are skipped. Each reading of the definition takes the first free entry (address 0).
void addBatch(ProbeRecipeItems& items, const ChangeAddrBatch& batch, const MetaLookup& lookup);

// -1: part number 0 or address outside 1..247. 0 otherwise (also when the address is in use,
// in which case nothing is added).
int addManual(ProbeRecipeItems& items, const ManualAddProbePack& pack, const MetaLookup& lookup);

// Clears entry index (0..127), closes the gap in the display ids, and clears the "temperature"
// and "cleanliness" entries of the same probe (same part number, serial number and address).
// False for another index (nothing changed).
bool remove(ProbeRecipeItems& items, int index);

}  // namespace probe_list
