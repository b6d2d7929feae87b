#include "stream/decoder_allocator.h"

#include <string.h>

#include "stream/allocator.h"

enum : uint32_t { SizePrefix = 4 };

// Returns: the block, 4 bytes past a prefix holding its size; null when there is no memory or
// the size with its prefix does not fit 32 bits.
static void *DecoderAlloc(void *, size_t size)
{
    if (size > UINT32_MAX - SizePrefix)
        return 0;
    uint32_t size32 = (uint32_t)size;
    uint8_t *block = (uint8_t *)defaultAllocator.alloc(size32 + SizePrefix, &defaultAllocator);
    if (!block)
        return 0;
    memcpy(block, &size32, SizePrefix);
    return block + SizePrefix;
}

static void DecoderFree(void *, void *address)
{
    if (!address)
        return;
    uint8_t *block = (uint8_t *)address - SizePrefix;
    uint32_t size32;
    memcpy(&size32, block, SizePrefix);
    defaultAllocator.free(size32 + SizePrefix, block, &defaultAllocator);
}

ISzAlloc decoderAllocator = {
    DecoderAlloc, /* Alloc */
    DecoderFree,  /* Free */
};
