#pragma once
// Which of a target's deltas to apply, decided from what is installed before anything is written.
// The installer and the publisher's verify decide through this one function.
#include <stdint.h>
#include "delta/common/delta_format.h"

enum class DeltaChoiceKind : uint8_t {
    Skip,           // the target already holds a delta's result: a run after an interruption
    Apply,          // apply delta number `delta`, whose base is installed
    MoveTemporary,  // the target's temporary already holds the result: only move it into place
    Refuse,         // missing, or neither a base nor a result: modded or damaged
};

struct DeltaChoice {
    DeltaChoiceKind kind;
    uint32_t delta;  // for Apply: the index among the target's deltas
};

// What the check found at a file's name.
struct FileFacts {
    bool present;  // the file exists and was read whole
    FileIdentity identity;
};

// target: the delta's target. headers: the target's deltas, in their order in the package;
// bases[k]: the base of delta k (the target itself unless the header names another file).
// temporary: the target's temporary as found, or null when it was not read.
// Returns: Skip when the target equals any delta's result; else Apply of the first delta whose
// base is present and equal to the one it names; else MoveTemporary when the temporary equals
// the result; else Refuse (so too with no delta at all). A caller may read the temporary only
// once a choice without it refused.
DeltaChoice ChooseDelta(const FileFacts &target, const DeltaHeader *headers, const FileFacts *bases,
                        uint32_t count, const FileFacts *temporary);
