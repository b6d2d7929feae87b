#pragma once
// The stream library's allocator: every allocation of the library passes through one record,
// and every release is told the exact size that was asked for.
#include <stdint.h>

struct Allocator {
    // alloc: Returns a block of at least size bytes, or null.
    void *(*alloc)(uint32_t size, const Allocator *self);
    // free: takes back a block from alloc; size is exactly what alloc was asked for.
    void (*free)(uint32_t size, void *block, const Allocator *self);
};

// The process-wide allocator (malloc/free, keeping up to two large blocks given back for reuse).
// One thread at a time: the installer's worker is its only user while it runs. Tests may swap
// its hooks for a tracking allocator; they must restore them before returning.
extern Allocator defaultAllocator;
