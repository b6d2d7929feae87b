// The builder's range detection: runs of differing bytes, merged across short gaps, and split to
// fit a chunk.
#include <gtest/gtest.h>

#include <stdint.h>

#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/builder/ranges.h"

namespace {

// The runs in which now differs from one old copy, collected as the builder's comparison collects
// them: the differences over the old length, then the grown tail as one more run.
// Returns: false when the file shrank or the collector gave up.
bool CollectRuns(const std::vector<uint8_t> &old, const uint8_t *now, size_t newSize,
                 uint64_t headerSize, uint64_t budget, std::vector<ByteRange> *ranges,
                 uint64_t *cost = nullptr)
{
    ranges->clear();
    if (newSize < old.size()) {
        return false;
    }
    RangeCollector collector(headerSize, budget, SIZE_MAX);
    bool ok = CollectDifferences(old.data(), now, old.size(), 0, &collector) &&
              (newSize == old.size() || collector.Add(old.size(), newSize));
    ranges->swap(collector.Runs());
    if (cost) {
        *cost = collector.Cost();
    }
    return ok;
}

TEST(Ranges, FindsSeparateRunsAndTheGrownTail)
{
    std::vector<uint8_t> old = Bytes(10000, 1, false);
    std::vector<uint8_t> now = old;
    now[100] ^= 1;
    now[101] ^= 1;
    now[5000] ^= 1;
    now.insert(now.end(), 300, 7);
    std::vector<ByteRange> ranges;
    uint64_t cost = 0;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 30, UINT64_MAX, &ranges, &cost));
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].offset, 100u);
    EXPECT_EQ(ranges[0].length, 2u);
    EXPECT_EQ(ranges[1].offset, 5000u);
    EXPECT_EQ(ranges[1].length, 1u);
    EXPECT_EQ(ranges[2].offset, 10000u);
    EXPECT_EQ(ranges[2].length, 300u);
    EXPECT_EQ(cost, 3 * 30 + 303u);
}

TEST(Ranges, MergesGapsNoLongerThanAHeader)
{
    std::vector<uint8_t> old(1000, 0);
    std::vector<uint8_t> now = old;
    now[10] = 1;
    now[10 + 1 + 25] = 1;           // gap of 25 equal bytes: merged with a 25-byte header
    now[10 + 1 + 25 + 1 + 26] = 1;  // gap of 26: a separate run
    std::vector<ByteRange> ranges;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 25, UINT64_MAX, &ranges));
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].offset, 10u);
    EXPECT_EQ(ranges[0].length, 27u);
    EXPECT_EQ(ranges[1].offset, 63u);
    // A gap in front of the grown tail merges too.
    now.insert(now.end(), 5, 9);
    now[995] = 1;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 25, UINT64_MAX, &ranges));
    EXPECT_EQ(ranges.back().offset, 995u);
    EXPECT_EQ(ranges.back().length, 10u);
}

TEST(Ranges, RefusesShrunkFilesAndGivesUpPastTheBudget)
{
    std::vector<uint8_t> old = Bytes(4000, 2, false);
    std::vector<uint8_t> now = Bytes(4000, 3, false);
    std::vector<ByteRange> ranges;
    EXPECT_FALSE(CollectRuns(old, now.data(), 3999, 19, UINT64_MAX, &ranges));
    EXPECT_FALSE(CollectRuns(old, now.data(), now.size(), 19, 1000, &ranges));
    EXPECT_TRUE(ranges.empty());
    // An old file of 0 bytes grows as one run at offset 0.
    ASSERT_TRUE(CollectRuns({}, now.data(), 10, 19, UINT64_MAX, &ranges));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].length, 10u);
}

TEST(Ranges, SplitsLongRunsIntoPiecesThatFitAChunk)
{
    std::vector<ByteRange> ranges = {{5, 10}, {100, 3}};
    SplitLongRanges(&ranges, 4);
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[1].offset, 9u);
    EXPECT_EQ(ranges[2].offset, 13u);
    EXPECT_EQ(ranges[2].length, 2u);
    EXPECT_EQ(ranges[3].offset, 100u);
}

}  // namespace
