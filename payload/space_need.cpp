#include "payload/space_need.h"

namespace {

// Sizes beyond this are no disk's: capping them keeps the rounding and the sums from overflowing,
// and such a need is refused all the same.
const uint64_t LargestSize = (uint64_t)1 << 62;

// Returns: size rounded up to whole clusters of clusterSize bytes, a power of two.
uint64_t RoundToClusters(uint64_t size, uint32_t clusterSize)
{
    if (size > LargestSize)
        size = LargestSize;
    return (size + clusterSize - 1) & ~(uint64_t)(clusterSize - 1);
}

}  // namespace

void AddSpaceChange(SpaceNeed *need, uint64_t oldSize, uint64_t newSize, uint32_t clusterSize)
{
    need->running += (int64_t)RoundToClusters(newSize, clusterSize) -
                     (int64_t)RoundToClusters(oldSize, clusterSize);
    if (need->running > need->peak)
        need->peak = need->running;
}
