#include "stream/allocator.h"

#include <stdlib.h>

static void *DefaultAlloc(uint32_t size, const Allocator *)
{
    return malloc(size);
}

static void DefaultFree(uint32_t, void *block, const Allocator *)
{
    free(block);
}

Allocator defaultAllocator = {
    DefaultAlloc,  /* alloc */
    DefaultFree,   /* free */
};
