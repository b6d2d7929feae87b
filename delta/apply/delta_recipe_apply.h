#pragma once
// The applier of a delta with a recipe (DeltaFlagRecipe, delta/common/delta_recipe.h): the base's
// streams are inflated into the expanded base, the sections are applied to it, and the result's
// streams are deflated again on their way to the sink. zlib is the one deflater: the publisher's
// tool proves each stream it lists with the zlib version the installer links.
//
// The expanded base is written in order through a sink and then read back by offset: the file
// adapters keep it in a temporary beside the target (DELTA_EXPANDED_SUFFIX).
//
// Memory, beside the applier's (delta/apply/delta_apply.h): two pieces of DeltaStepSize and one
// inflater or deflater at a time (at most about 400 KiB at memLevel 9, windowBits 15).
#include <stdint.h>

#include "delta/apply/delta_apply.h"
#include "delta/common/delta_format.h"

// The expanded base's store: written from its start, then read by offset (expanded.size is
// the header's expandedBaseSize).
struct ExpandedStore {
    const DeltaSink *writer;
    const DeltaBase *reader;
};

// Returns: true when the delta at data has a recipe (GetDeltaHeader must have accepted it).
bool DeltaHasRecipe(const uint8_t *data, uint32_t size);

// Applies the delta at data, which has a recipe, to base without checking the base as a whole:
// the expansion compares the expanded base's CRC-32, and the result's is compared at its end.
// observer (may be null) hears work done of DeltaWorkTotalOf(h) and may stop between pieces.
// Returns: Done; InProgress when stopped; Corrupt (malformed recipe or sections); BaseMismatch
// (the base does not inflate as the recipe says, or the expanded base is not the named one);
// ResultMismatch (the result, or a stream deflated again, is not the named one); ReadFailed;
// WriteFailed; NoMemory.
DeltaResult ApplyRecipeDelta(const uint8_t *data, uint32_t size, const DeltaBase *base,
                             const ExpandedStore *expanded, const DeltaSink *sink,
                             const DeltaObserver *observer);

// Returns: the work a delta's observer hears of in all, without a check of its base: the result's
// size, and with a recipe the base's too (it is read to be expanded).
uint64_t DeltaWorkTotalOf(const DeltaHeader &h);
