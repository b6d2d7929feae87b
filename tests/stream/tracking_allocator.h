#pragma once
// A tracking allocator swapped into defaultAllocator for the life of the object: it checks that
// every free is told the exact size it was given, fills new memory with a non-zero pattern,
// can fail the Nth allocation or any allocation above a size, and counts what is live.
#include <stdint.h>

#include <map>
#include <vector>

#include "stream/allocator.h"

class TrackingAllocator {
public:
    TrackingAllocator();
    ~TrackingAllocator();  // restores the hooks it replaced

    // The nth allocation from now (1 = the next one) fails; 0 = none.
    void FailNth(uint64_t n) { failAt_ = n ? allocations_ + n : 0; }
    // Every allocation asking for more than size bytes fails.
    void RefuseAbove(uint32_t size) { refuseAbove_ = size; }

    uint64_t allocations() const { return allocations_; }  // attempts, failed ones included
    uint64_t failures() const { return failures_; }
    uint64_t liveBlocks() const { return live_.size(); }
    uint64_t liveBytes() const { return liveBytes_; }
    uint64_t peakBytes() const { return peakBytes_; }
    uint64_t badFrees() const { return badFrees_; }  // unknown block or wrong size
    const std::vector<uint32_t> &requestedSizes() const { return requested_; }
    void ResetPeak() { peakBytes_ = liveBytes_; }

private:
    static void *Alloc(uint32_t size, const Allocator *self);
    static void Free(uint32_t size, void *block, const Allocator *self);

    Allocator saved_;
    uint64_t allocations_ = 0;
    uint64_t failures_ = 0;
    uint64_t failAt_ = 0;
    uint32_t refuseAbove_ = UINT32_MAX;
    uint64_t liveBytes_ = 0;
    uint64_t peakBytes_ = 0;
    uint64_t badFrees_ = 0;
    std::map<void *, uint32_t> live_;
    std::vector<uint32_t> requested_;
};
