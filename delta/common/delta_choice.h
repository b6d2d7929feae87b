#pragma once
// Which of a target's deltas to apply, decided from what is installed before anything is written.
// The installer and the publisher's verify decide through this one function.
#include <stdint.h>
#include "delta/common/delta_format.h"

enum class DeltaChoiceKind : uint8_t {
    Skip,    // the target already holds a delta's result: a run after an interruption
    Apply,   // apply delta number `delta`, whose base is installed
    Refuse,  // missing, or neither a base nor a result: modded or damaged
};

struct DeltaChoice {
    DeltaChoiceKind kind;
    uint32_t delta;  // for Apply: the index among the target's deltas
};

// present: the target exists and *installed is its identity. headers: the target's deltas, in
// their order in the package.
// Returns: Skip when installed equals any delta's result; else Apply of the first delta whose base
// it equals; else Refuse (so too for a missing target or no delta at all).
DeltaChoice ChooseDelta(bool present, const FileIdentity &installed, const DeltaHeader *headers,
                        uint32_t count);
