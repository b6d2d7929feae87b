// Progress arithmetic: the entry share, the percent and its rises.
#include <gtest/gtest.h>
#include <random>
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "payload/walk.h"

namespace {

#if defined(__SIZEOF_INT128__)
uint64_t ReferenceShare(uint32_t dataSize, uint64_t decoded, uint64_t decodedSize)
{
    if (decoded >= decodedSize) {
        return dataSize;
    }
    return (uint64_t)((unsigned __int128)dataSize * decoded / decodedSize);
}

TEST(EntryShare, MatchesA128BitReferenceOverTheWholeRange)
{
    const uint64_t top = ~0ull;
    const uint64_t edges[][3] = {
        {0xFFFFFFFFu, top - 1, top},
        {0xFFFFFFFFu, top - 1000, top - 1},
        {0xFFFFFFFFu, 1ull << 63, top},
        {0xFFFFFFFFu, (1ull << 63) - 1, 1ull << 63},
        {1, top - 1, top},
        {0x80000000u, 0xFFFFFFFFull, 0x100000000ull},
        {0xFFFFFFFFu, 0x100000000ull, 0x100000001ull},
        {12345, 1, top},
        {0, 5, 10},
    };
    for (const auto &e : edges) {
        EXPECT_EQ(ReferenceShare((uint32_t)e[0], e[1], e[2]),
                  EntryShare((uint32_t)e[0], e[1], e[2]))
            << e[0] << " " << e[1] << " " << e[2];
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        int bits = 1 + (int)(random() % 64);
        uint64_t decodedSize = random() >> (64 - bits);
        if (decodedSize == 0) {
            continue;
        }
        uint64_t decoded = random() % decodedSize;
        uint32_t dataSize = (uint32_t)(random() >> (32 + random() % 32));
        ASSERT_EQ(ReferenceShare(dataSize, decoded, decodedSize),
                  EntryShare(dataSize, decoded, decodedSize))
            << dataSize << " " << decoded << " " << decodedSize;
    }
}
#endif

TEST(EntryShare, WorkedExamples)
{
    // dataSize 1,000 decoding to 4,000 bytes in one piece: the clamp gives the whole 1,000.
    EXPECT_EQ(1000u, EntryShare(1000, 4000, 4000));
    // dataSize 2,000 decoding to 8,000 bytes as 4,096 + 3,904: +1,024, then +976.
    EXPECT_EQ(1024u, EntryShare(2000, 4096, 8000));
    EXPECT_EQ(2000u, EntryShare(2000, 8000, 8000));
    // Once decoded has reached the declared size, the share is dataSize exactly.
    EXPECT_EQ(7u, EntryShare(7, 9, 8));
    EXPECT_EQ(0u, EntryShare(7, 0, 8));
}

TEST(EntryShare, FirstEntryOfThePresentPayload)
{
    // 53 header bytes; 196,544 stored bytes decoding to 627,712 in 153 pieces of 4,096 + one of
    // 1,024.
    const uint64_t header = 53, dataSize = 196544, decodedSize = 627712;
    EXPECT_EQ(1335u, header + EntryShare(dataSize, 4096, decodedSize));
    const int32_t divisor = 84601;  // the present payload: 8,460,108 / 100
    int firstStep = 0;
    uint64_t atFirstStep = 0;
    uint64_t decoded = 0;
    for (int piece = 1; piece <= 154; ++piece) {
        decoded += piece <= 153 ? 4096 : 1024;
        uint64_t bytes = header + EntryShare(dataSize, decoded, decodedSize);
        if (!firstStep && PercentOf(bytes, divisor) == 1) {
            firstStep = piece;
            atFirstStep = bytes;
        }
        if (piece == 154) {
            EXPECT_EQ(decodedSize, decoded);
            EXPECT_EQ(header + dataSize, bytes);
        }
    }
    EXPECT_EQ(66, firstStep);
    EXPECT_EQ(84698u, atFirstStep);
}

TEST(PercentOf, TruncatesAndCapsAtFull)
{
    EXPECT_EQ(0, PercentOf(99, 100));
    EXPECT_EQ(1, PercentOf(100, 100));
    EXPECT_EQ(100, PercentOf(10000, 100));
    EXPECT_EQ(100, PercentOf(199, 1));  // would be 199 uncapped
    EXPECT_EQ(100, PercentOf(~0ull, 1));
    EXPECT_EQ(42, PercentOf(42ull * 0x7FFFFFFF, 0x7FFFFFFF));
}

TEST(PercentOf, DivisorNotAboveZeroMeansATinyPayload)
{
    EXPECT_EQ(0, PercentOf(0, 0));
    EXPECT_EQ(100, PercentOf(1, 0));
    EXPECT_EQ(100, PercentOf(99, 0));
    EXPECT_EQ(0, PercentOf(0, -5));
    EXPECT_EQ(100, PercentOf(3, -5));
}

class RiseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        progressBytes = 0;
        progressDivisor = 1;
        progressPercent = 0;
    }
};

// What progressDivisor holds until the worker sets it, read before any test writes it: a dynamic
// initialisation, which comes after the constant one of progress_math.cpp.
const int32_t divisorBeforeTheWorker = progressDivisor;

TEST_F(RiseTest, StartsWithDivisorOne)
{
    EXPECT_EQ(1, divisorBeforeTheWorker);
}

TEST_F(RiseTest, OneUpdateFromThreeToFiveRisesByTwoOnce)
{
    progressDivisor = 100;
    progressBytes = 350;
    EXPECT_EQ(3, RaiseProgressPercent());
    EXPECT_EQ(3, progressPercent);
    progressBytes = 520;
    EXPECT_EQ(2, RaiseProgressPercent());
    EXPECT_EQ(5, progressPercent);
    progressBytes = 599;
    EXPECT_EQ(0, RaiseProgressPercent());
    EXPECT_EQ(5, progressPercent);
    progressBytes = 600;
    EXPECT_EQ(1, RaiseProgressPercent());
    EXPECT_EQ(6, progressPercent);
}

TEST_F(RiseTest, PercentNeverFalls)
{
    progressDivisor = 10;
    progressBytes = 500;
    EXPECT_EQ(50, RaiseProgressPercent());
    progressBytes = 100;
    EXPECT_EQ(0, RaiseProgressPercent());
    EXPECT_EQ(50, progressPercent);
}

// Runs a payload of total bytes through the accounting as the walk and the writers would:
// a 20-byte header, then data in pieces of 4,096, per entry of entrySize bytes.
// Returns: the sum of all rises, i.e. the bar's final position.
int32_t RunPayload(uint64_t total, uint64_t entrySize)
{
    progressBytes = 0;
    progressPercent = 0;
    progressDivisor = (int32_t)(total / 100);
    int32_t bar = 0;
    uint64_t left = total;
    while (left != 0) {
        uint64_t header = left > 20 ? 20 : left - 1;  // every entry keeps a data byte
        progressBytes += header;
        left -= header;
        uint64_t data = left < entrySize ? left : entrySize;
        left -= data;
        while (data != 0) {
            uint64_t piece = data < (uint64_t)WriterStepSize ? data : (uint64_t)WriterStepSize;
            progressBytes += piece;
            data -= piece;
            int32_t rise = RaiseProgressPercent();
            EXPECT_GE(rise, 0);
            bar += rise;
            EXPECT_LE(bar, 100);
        }
    }
    EXPECT_EQ(total, progressBytes);
    return bar;
}

TEST_F(RiseTest, EveryPayloadSizeEndsWithAFullBarAndNeverPassesIt)
{
    for (uint64_t total :
         {21ull, 50ull, 99ull, 100ull, 199ull, 4096ull, 9999ull, 10000ull, 409600ull, 8460108ull}) {
        for (uint64_t entrySize : {1ull, 1000ull, 100000ull}) {
            EXPECT_EQ(100, RunPayload(total, entrySize)) << total << " " << entrySize;
        }
    }
}

TEST_F(RiseTest, LargePayloadRisesOnePointAtATime)
{
    progressDivisor = 84601;
    int32_t steps = 0;
    for (uint64_t bytes = 0; bytes <= 8460108; bytes += 4096 + 53) {
        progressBytes = bytes;
        int32_t rise = RaiseProgressPercent();
        EXPECT_LE(rise, 1);
        steps += rise;
    }
    progressBytes = 8460108;
    steps += RaiseProgressPercent();
    EXPECT_EQ(100, steps);
}

}  // namespace
