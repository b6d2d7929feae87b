#pragma once
// The deltas on disk: the QPATCHDELTA resources (resources/resource.h) checked against the game
// folder before the first byte, then applied after the chunks, each through a temporary beside
// its target that replaces the target in one step, so a target is either old or new, never half
// written, whatever stops the run.
#include <stdint.h>
#include "payload/install_result.h"
#include "payload/readiness.h"
#include "payload/walk.h"

// The temporary a delta writes, the target's name followed by this.
#define DELTA_TEMPORARY_SUFFIX L".qpatch-new"

// The target whose installed content is neither a delta's base nor its result, for the message;
// set by CheckDeltaTargets or ApplyDeltas when they return WrongBase.
extern NameUnit wrongBaseName[NameBufferUnits];

// Returns: true when the executable carries delta resources.
bool HasDeltas();

// Reads every delta target once, in pieces, and chooses for each target the delta whose base is
// installed; a target that already holds the result is left alone, which lets a run after an
// interruption finish the job. Adds to need the temporary each chosen delta writes beside its
// target while both exist. Nothing is written or created.
// Returns: Ok; WrongBase when a target is missing or holds neither a base nor the result;
// CannotCreate when a target cannot be opened for writing (in use, read-only); Corrupt for a
// damaged delta resource or no memory for the choice; Cancelled.
InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize);

// Applies the deltas CheckDeltaTargets chose, in order, and accounts the others as done. Each is
// written to its temporary, flushed and moved over the target; on any failure or a cancel the
// temporary is deleted and the target keeps its old content.
// Returns: Ok; WrongBase when a target changed since the check; Corrupt; CannotCreate;
// WriteFailed; Cancelled.
InstallResult ApplyDeltas();
