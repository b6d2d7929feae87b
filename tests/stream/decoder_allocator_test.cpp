// The LZMA decoder's allocation interface over defaultAllocator.
#include <string.h>

#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "stream/allocator.h"
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

// The default allocator keeps large blocks given back: a kept block is lent again only to a
// request it holds (under ASan, filling every block proves it) and at least half fills.
TEST(DefaultAllocator, KeptBlocksAreLentOnlyToRequestsTheyHoldAndHalfFill)
{
    Allocator *a = &defaultAllocator;
    void *big = a->alloc(600000, a);
    ASSERT_NE(big, nullptr);
    a->free(600000, big, a);
    void *quarter = a->alloc(150000, a);
    EXPECT_NE(quarter, big) << "a quarter-full block would waste the kept one";
    void *again = a->alloc(500000, a);
    EXPECT_EQ(again, big);
    memset(again, 1, 500000);
    a->free(150000, quarter, a);
    a->free(500000, again, a);  // kept as 500000 bytes from now on
    const uint32_t sizes[] = {499000, 500001, 70000, 65536, 140000, 32768, 1, 0, 260000, 520000};
    std::vector<std::pair<void *, uint32_t>> live;
    for (int round = 0; round < 3; ++round) {
        for (uint32_t size : sizes) {
            void *p = a->alloc(size, a);
            ASSERT_TRUE(p != nullptr || size == 0);
            memset(p, 0x5A, size);
            live.push_back({p, size});
            if (live.size() == 3) {  // give back out of order, as files and blocks do
                for (auto &block : live)
                    a->free(block.second, block.first, a);
                live.clear();
            }
        }
    }
    for (auto &block : live)
        a->free(block.second, block.first, a);
}
