#pragma once
#include "stream/stream.h"

// A read-only stream over bytes that somebody else owns (owned = 0) or that it frees itself.
struct MemoryStream {
    const StreamMethods *methods;
    uint32_t owned;  // bytes of data freed on release; 0 for borrowed bytes
    uint32_t size;   // number of bytes
    const uint8_t *data;
    uint32_t position;  // may stand beyond size
};

// Opens a read-only stream over size bytes at data, which it borrows: they must outlive it.
// A null data or a size of 0 gives an empty stream.
// Returns: the stream, or null when defaultAllocator has no memory.
Stream *openMemoryStream(const void *data, uint32_t size);
