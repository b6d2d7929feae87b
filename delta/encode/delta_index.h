#pragma once
// Indexes of a delta's base, which answer "the longest match of these bytes in the base": a
// suffix array of the whole base (libdivsufsort), or for a very large base a table of sampled
// positions. Used by the scan of delta/encode/delta_match.cpp.
#include <stdint.h>

#include <memory>

#include "delta/encode/delta_encode.h"

struct Match {
    uint64_t pos = 0;
    uint64_t length = 0;
};

// Returns: how many of the first limit bytes of a and b are equal.
uint64_t CommonPrefix(const uint8_t *a, const uint8_t *b, uint64_t limit);

class BaseIndex {
public:
    virtual ~BaseIndex() = default;
    // Returns: the longest match of the avail bytes at p found in the base (length 0 for none);
    // of equally long ones, one near base position `near` where the index can tell.
    virtual Match Longest(const uint8_t *p, uint64_t avail, uint64_t near) const = 0;
};

// Indexes the base whole up to options.fullIndexLimit (and below 2 GiB), sampled beyond.
// Returns: the index, or null when there is no memory for it.
std::unique_ptr<BaseIndex> IndexBase(const uint8_t *old, uint64_t oldSize,
                                     const DeltaOptions &options);
