#pragma once
// The deltas on disk: the QPATCHDELTA resources (resources/resource.h) checked against the game
// folder before the first byte, then applied after the chunks, each through a temporary beside
// its target that replaces the target in one step (delta/apply/delta_file_win32.h).
#include <stdint.h>
#include "payload/install_result.h"
#include "payload/space_need.h"
#include "payload/walk.h"

// What the check decided, handed by the worker to ApplyDeltas; zero-initialised before the check.
struct DeltaPlan {
    uint8_t *apply;    // one byte per delta entry in walk order: 1 to apply it (malloc'd)
    uint32_t entries;  // bytes in apply
    // The target whose installed content is neither a delta's base nor its result, for the
    // message; set when CheckDeltaTargets or ApplyDeltas returns WrongBase.
    NameUnit wrongBase[NameBufferUnits];
};

// Frees what the plan holds; the plan is then empty.
void ReleaseDeltaPlan(DeltaPlan *plan);

// Returns: true when the executable carries delta resources.
bool HasDeltas();

// Reads every delta target once, in pieces, and chooses for it (ChooseDelta) the delta to apply,
// none when it already holds the result, which lets a run after an interruption finish the job.
// Adds to need the temporary each chosen delta writes beside its target while both exist.
// Nothing is written or created.
// Returns: Ok with the choices in *plan; WrongBase when a target is missing or holds neither a
// base nor the result; CannotCreate when a target cannot be opened for writing (in use,
// read-only); Corrupt for a damaged delta resource or no memory for the choice; Cancelled.
InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize, DeltaPlan *plan);

// Applies the deltas the plan chose, in order, and accounts the others as done. On any failure
// or a cancel the delta's temporary is deleted and its target keeps its old content.
// Returns: Ok; WrongBase when a target changed since the check; Corrupt; CannotCreate;
// WriteFailed; Cancelled.
InstallResult ApplyDeltas(DeltaPlan *plan);
