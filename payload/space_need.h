#pragma once
// The disk space a patch needs, added up entry by entry before the first byte is written.
#include <stdint.h>

// What the check found out about the payload's disk space, in bytes rounded to whole clusters.
struct SpaceNeed {
    int64_t running;  // the change so far, entry by entry
    int64_t peak;     // the largest the change has been: what the disk must have free
};

// Adds the change of one target from oldSize to newSize bytes, each rounded up to clusterSize
// (a power of two); sizes beyond 2^62 count as 2^62.
void AddSpaceChange(SpaceNeed *need, uint64_t oldSize, uint64_t newSize, uint32_t clusterSize);
