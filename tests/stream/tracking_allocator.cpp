#include "tests/stream/tracking_allocator.h"

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

static TrackingAllocator *active;

TrackingAllocator::TrackingAllocator() : saved_(defaultAllocator)
{
    EXPECT_EQ(active, nullptr) << "one tracking allocator at a time";
    active = this;
    defaultAllocator.alloc = Alloc;
    defaultAllocator.free = Free;
}

TrackingAllocator::~TrackingAllocator()
{
    defaultAllocator = saved_;
    active = nullptr;
    for (auto &block : live_)
        free(block.first);
}

void *TrackingAllocator::Alloc(uint32_t size, const Allocator *)
{
    TrackingAllocator *t = active;
    t->allocations_++;
    t->requested_.push_back(size);
    if (t->allocations_ == t->failAt_ || size > t->refuseAbove_) {
        t->failures_++;
        return nullptr;
    }
    void *block = malloc(size ? size : 1);
    if (!block) {
        t->failures_++;
        return nullptr;
    }
    memset(block, 0xA5, size);
    t->live_[block] = size;
    t->liveBytes_ += size;
    if (t->liveBytes_ > t->peakBytes_)
        t->peakBytes_ = t->liveBytes_;
    return block;
}

void TrackingAllocator::Free(uint32_t size, void *block, const Allocator *)
{
    TrackingAllocator *t = active;
    auto it = t->live_.find(block);
    if (it == t->live_.end()) {
        t->badFrees_++;
        ADD_FAILURE() << "free of a block that is not live";
        return;
    }
    if (it->second != size) {
        t->badFrees_++;
        ADD_FAILURE() << "free told " << size << " bytes for a block of " << it->second;
    }
    memset(block, 0xDD, it->second);
    t->liveBytes_ -= it->second;
    t->live_.erase(it);
    free(block);
}
