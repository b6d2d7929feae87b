#include "stream/allocator.h"

#include <stdlib.h>

// A block stream asks for its cache and table once per file and for each stored block once per
// block, sizes that come back at once. The last two large blocks given back are kept and lent
// again to a request they hold and at least half fill, so that a run of files does not map,
// fault in and unmap fresh pages for each file and block. A kept block's size is the one it was
// last asked for, never more than it holds; at most two are kept, so memory stays flat.
enum : uint32_t { KeptSlots = 2, KeptMinimum = 64 * 1024 };
static void *keptBlock[KeptSlots];
static uint32_t keptSize[KeptSlots];  // 0 for an empty slot

static void *DefaultAlloc(uint32_t size, const Allocator *)
{
    for (uint32_t i = 0; i < KeptSlots && size >= KeptMinimum / 2; ++i) {
        if (keptSize[i] >= size && keptSize[i] / 2 <= size) {
            keptSize[i] = 0;
            return keptBlock[i];
        }
    }
    return malloc(size);
}

static void DefaultFree(uint32_t size, void *block, const Allocator *)
{
    uint32_t smaller = keptSize[0] <= keptSize[1] ? 0 : 1;
    if (size >= KeptMinimum && size > keptSize[smaller]) {
        void *displaced = keptSize[smaller] ? keptBlock[smaller] : nullptr;
        keptBlock[smaller] = block;
        keptSize[smaller] = size;
        block = displaced;
    }
    free(block);
}

Allocator defaultAllocator = {
    DefaultAlloc, /* alloc */
    DefaultFree,  /* free */
};
