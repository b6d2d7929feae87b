// The read-only memory stream.
#include <string.h>

#include <gtest/gtest.h>

#include "stream/allocator.h"
#include "stream/memory_stream.h"
#include "tests/stream/test_support.h"

namespace {

class MemoryStreamTest : public TrackedTest {
protected:
    const uint8_t bytes[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
};

TEST_F(MemoryStreamTest, NullOrZeroBytesGiveAnEmptyStream)
{
    const void *datas[] = {nullptr, bytes, nullptr};
    const uint32_t sizes[] = {10, 0, 0};
    for (int i = 0; i < 3; i++) {
        Stream *s = openMemoryStream(datas[i], sizes[i]);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(SizeOf(s), 0u);
        uint8_t buffer[4] = {7, 7, 7, 7};
        EXPECT_EQ(Read(s, buffer, 4), 0u);
        EXPECT_EQ(buffer[0], 7);
        s->methods->release(s);
    }
}

TEST_F(MemoryStreamTest, ReadsInOrderAndStopsAtTheEnd)
{
    Stream *s = openMemoryStream(bytes, sizeof bytes);
    ASSERT_NE(s, nullptr);
    uint8_t buffer[16];
    EXPECT_EQ(Read(s, buffer, 0), 0u);
    EXPECT_EQ(Seek(s, 0, SeekOrigin::Current), 0) << "an empty read moves nothing";
    EXPECT_EQ(Read(s, buffer, 4), 4u);
    EXPECT_EQ(memcmp(buffer, bytes, 4), 0);
    EXPECT_EQ(Read(s, buffer, 16), 6u) << "a read past the end delivers up to it";
    EXPECT_EQ(memcmp(buffer, bytes + 4, 6), 0);
    EXPECT_EQ(Read(s, buffer, 16), 0u);
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, LengthsThatWrapPast4GiBAreCut)
{
    Stream *s = openMemoryStream(bytes, sizeof bytes);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> buffer(sizeof bytes);
    Seek(s, 2, SeekOrigin::Begin);
    EXPECT_EQ(Read(s, buffer.data(), UINT32_MAX), 8u);
    EXPECT_EQ(memcmp(buffer.data(), bytes + 2, 8), 0);
    EXPECT_EQ(Seek(s, 0xFFFFFFF0, SeekOrigin::Begin), 0xFFFFFFF0);
    EXPECT_EQ(Read(s, buffer.data(), 0x20), 0u) << "position + length wraps below size";
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, SeekHasNoBoundAndWrapsAt32Bits)
{
    Stream *s = openMemoryStream(bytes, sizeof bytes);
    ASSERT_NE(s, nullptr);
    uint8_t buffer[16];
    EXPECT_EQ(Seek(s, 100, SeekOrigin::Begin), 100);
    EXPECT_EQ(Read(s, buffer, 4), 0u);
    EXPECT_EQ(Seek(s, -95, SeekOrigin::Current), 5) << "a negative offset from Current moves back";
    EXPECT_EQ(Read(s, buffer, 16), 5u);
    EXPECT_EQ(memcmp(buffer, bytes + 5, 5), 0);
    EXPECT_EQ(Seek(s, -3, SeekOrigin::End), 7);
    EXPECT_EQ(Read(s, buffer, 16), 3u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(Seek(s, 0x100000003LL, SeekOrigin::Begin), 3) << "only the low 32 bits count";
    EXPECT_EQ(Seek(s, -4, SeekOrigin::Current), 0xFFFFFFFF);
    EXPECT_EQ(Read(s, buffer, 2), 0u);
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, UnknownOriginChangesNothing)
{
    Stream *s = openMemoryStream(bytes, sizeof bytes);
    ASSERT_NE(s, nullptr);
    Seek(s, 4, SeekOrigin::Begin);
    EXPECT_EQ(Seek(s, 2, (SeekOrigin)3), 4);
    EXPECT_EQ(Seek(s, 2, (SeekOrigin)-1), 4);
    uint8_t b = 0;
    EXPECT_EQ(Read(s, &b, 1), 1u);
    EXPECT_EQ(b, 4);
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, WriteIsRefusedAndFlushDoesNothing)
{
    uint8_t data[4] = {1, 2, 3, 4};
    Stream *s = openMemoryStream(data, sizeof data);
    ASSERT_NE(s, nullptr);
    uint8_t other[4] = {9, 9, 9, 9};
    EXPECT_EQ(s->methods->write(s, other, 4), 0u);
    s->methods->flush(s);
    EXPECT_EQ(Seek(s, 0, SeekOrigin::Current), 0);
    EXPECT_EQ(data[0], 1);
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, GetSizeWritesOnlyTheOutputsGiven)
{
    Stream *s = openMemoryStream(bytes, sizeof bytes);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->methods->getSize(s, nullptr, nullptr), 1);
    uint64_t size = 0;
    EXPECT_EQ(s->methods->getSize(s, &size, nullptr), 1);
    EXPECT_EQ(size, 10u);
    int64_t time = 5;
    EXPECT_EQ(s->methods->getSize(s, nullptr, &time), 1);
    EXPECT_EQ(time, 0);
    s->methods->release(s);
}

TEST_F(MemoryStreamTest, ReleaseOfBorrowedBytesFreesOnlyTheObject)
{
    std::vector<uint8_t> data(bytes, bytes + 10);
    Stream *s = openMemoryStream(data.data(), 10);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(tracker.allocations(), 1u);
    EXPECT_EQ(tracker.requestedSizes()[0], sizeof(MemoryStream));
    s->methods->release(s);
    EXPECT_EQ(tracker.liveBlocks(), 0u);
    EXPECT_EQ(data, std::vector<uint8_t>(bytes, bytes + 10)) << "the owner's bytes are untouched";
}

TEST_F(MemoryStreamTest, ReleaseFreesOwnedBytesWithTheirSize)
{
    uint8_t *owned = (uint8_t *)defaultAllocator.alloc(33, &defaultAllocator);
    ASSERT_NE(owned, nullptr);
    Stream *s = openMemoryStream(owned, 33);
    ASSERT_NE(s, nullptr);
    ((MemoryStream *)s)->owned = 33;
    s->methods->release(s);
    EXPECT_EQ(tracker.liveBlocks(), 0u);  // TearDown checks the sizes told
}

TEST_F(MemoryStreamTest, NoMemoryGivesNull)
{
    tracker.FailNth(1);
    EXPECT_EQ(openMemoryStream(bytes, sizeof bytes), nullptr);
}

}  // namespace
