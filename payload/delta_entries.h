#pragma once
// The deltas on disk: the QPATCHDELTA resources (resources/resource.h) checked against the game
// folder before the first byte, then applied, each through a temporary beside its target that
// replaces the target in one step (delta/apply/delta_file_win32.h).
//
// A delta's base is its own target, or another file it names. With any named base the deltas run
// before the chunks, so that every base is read before a chunk may replace it; a target that is
// itself a named base keeps its result in its temporary until every delta has been written, and
// only then is it moved into place, in package order. So a cycle (two files that swap contents)
// goes through the temporaries, and after a kill a rerun finds each target new, or its base
// still there, or its temporary complete.
#include <stdint.h>
#include "payload/install_result.h"
#include "payload/space_need.h"
#include "payload/walk.h"

// What the worker does with one delta entry.
enum : uint8_t {
    DeltaLeave = 0,          // the target is new already, or another delta of it is chosen
    DeltaApply = 1,          // write the result from the base, then move it into place
    DeltaMoveTemporary = 2,  // the temporary holds the result already: only move it
    DeltaMoveLater = 0x80,   // set by the worker: the move waits for the end of the deltas
};

// What the check decided, handed by the worker to ApplyDeltas; zero-initialised before the check.
struct DeltaPlan {
    uint8_t *actions;  // one per delta entry in walk order (malloc'd)
    uint32_t entries;
    bool namedBases;      // a delta names its base: the deltas run before the chunks
    NameUnit *baseNames;  // the named bases, each with its zero, one after another (malloc'd)
    uint32_t baseUnits;   // units in baseNames
    // The file whose content is neither a delta's base nor its result, for the message; set when
    // CheckDeltaTargets or ApplyDeltas returns WrongBase.
    NameUnit wrongBase[NameBufferUnits];
};

// Frees what the plan holds; the plan is then empty.
void ReleaseDeltaPlan(DeltaPlan *plan);

// Returns: true when the executable carries delta resources.
bool HasDeltas();

// Returns: the bytes CheckDeltaTargets will read: every delta target and named base present now,
// each as often as the check reads it. The bar counts them before the payload, so that it moves
// while a large base is read; 0 without deltas.
uint64_t DeltaCheckBytes();

// Reads every delta target, and every named base, once, in pieces, and chooses for each target
// (ChooseDelta) what the worker does; a target already new is left alone, which lets a run after
// an interruption finish the job. Adds to need the temporaries beside their targets. Nothing is
// written or created. Each piece read moves the bar (progressBytes), up to checkBytes beyond
// where it stood.
// Returns: Ok with the choices in *plan; WrongBase when a target is missing or holds neither a
// base nor the result, or a named base is not the one the delta was made from; CannotCreate when
// a target cannot be opened for writing or a named base for reading (in use, read-only); Corrupt
// for a damaged delta resource, a base name that leaves the game folder, or no memory; Cancelled.
InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize, uint64_t checkBytes,
                                DeltaPlan *plan);

// Applies what the plan chose, in order, and accounts the rest as done; then moves the results
// kept back. On any failure or a cancel the temporary being written is deleted and its target
// keeps its old content; complete temporaries kept back stay for the next run.
// Returns: Ok; WrongBase when a base changed since the check; Corrupt; CannotCreate;
// WriteFailed; Cancelled.
InstallResult ApplyDeltas(DeltaPlan *plan);
