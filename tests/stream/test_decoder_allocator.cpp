// The LZMA decoder's allocation interface over defaultAllocator.
#include <string.h>

#include <gtest/gtest.h>

#include "stream/decoder_allocator.h"
#include "tests/stream/test_support.h"

namespace {

class DecoderAllocatorTest : public TrackedTest {};

TEST_F(DecoderAllocatorTest, EveryBlockCarriesItsSizeToFree)
{
    const size_t sizes[] = {0, 1, 3, 100, 70000};
    std::vector<void *> blocks;
    for (size_t size : sizes) {
        void *p = decoderAllocator.Alloc(&decoderAllocator, size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 4, 0u) << "probabilities are 16-bit";
        memset(p, 0x3C, size);  // the whole size is usable
        blocks.push_back(p);
        EXPECT_EQ(tracker.requestedSizes().back(), size + 4);
    }
    EXPECT_EQ(tracker.liveBlocks(), 5u);
    for (size_t i = blocks.size(); i-- > 0;)
        decoderAllocator.Free(&decoderAllocator, blocks[i]);  // the tracker checks each size
}

TEST_F(DecoderAllocatorTest, NoMemoryGivesNull)
{
    tracker.FailNth(1);
    EXPECT_EQ(decoderAllocator.Alloc(&decoderAllocator, 64), nullptr);
    EXPECT_EQ(tracker.liveBlocks(), 0u);
}

TEST_F(DecoderAllocatorTest, SizesWhosePrefixWouldWrapAreRefused)
{
    size_t huge[] = {(size_t)UINT32_MAX, (size_t)UINT32_MAX - 3, (size_t)-1};
    for (size_t size : huge)
        EXPECT_EQ(decoderAllocator.Alloc(&decoderAllocator, size), nullptr);
    EXPECT_EQ(tracker.allocations(), 0u) << "nothing wrapped into a short request";
}

TEST_F(DecoderAllocatorTest, NullIsIgnored)
{
    decoderAllocator.Free(&decoderAllocator, nullptr);
    EXPECT_EQ(tracker.badFrees(), 0u);
}

}  // namespace
