#pragma once
// Helpers shared by the stream tests: sample data, encoding, a counting source, reading out.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

#include "stream/stream.h"
#include "tests/stream/tracking_allocator.h"
#include "stream/encode/block_encoder.h"

// A test whose allocations all go through a tracking allocator; it must end with nothing live
// and every free told the right size.
class TrackedTest : public testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_EQ(tracker.liveBlocks(), 0u) << "leaked blocks";
        EXPECT_EQ(tracker.badFrees(), 0u);
    }
    TrackingAllocator tracker;
};

// Calls through a stream's table.
inline void Release(Stream *s)
{
    s->methods->release(s);
}
inline uint32_t Read(Stream *s, void *buffer, uint32_t length)
{
    return s->methods->read(s, buffer, length);
}
inline int64_t Seek(Stream *s, int64_t offset, SeekOrigin origin)
{
    return s->methods->seek(s, offset, origin);
}
inline int64_t Tell(Stream *s)
{
    return Seek(s, 0, SeekOrigin::Current);
}

// Returns: the size getSize stores; checks that it succeeds and stores a modification time of 0.
uint64_t SizeOf(Stream *s);

// Game-like, compressible bytes in which every 16-byte stretch differs from every other,
// so that bytes served from the wrong block or offset never pass for the right ones.
std::vector<uint8_t> MakeData(size_t size, uint32_t seed = 1);

// Returns: the block-compressed stream of data in blockSize blocks (level 1, fast).
std::vector<uint8_t> EncodeData(const std::vector<uint8_t> &data, uint32_t blockSize);

// What a counting source saw; it outlives the source.
struct SourceLog {
    int reads = 0;
    int seeks = 0;
    int releases = 0;
    uint64_t bytesRead = 0;
    bool seekLies = false;  // seek answers one byte off
};

// A source that passes every call to inner (which it owns) and counts them in log.
Stream *openCountingStream(Stream *inner, SourceLog *log);

// Returns: a block stream over a memory stream of bytes through a counting source; null on failure
// (the sources are then released).
Stream *OpenOverBytes(const std::vector<uint8_t> &bytes, SourceLog *log);

// Returns: every byte up to the end read in pieces of piece bytes; stops at the first 0.
std::vector<uint8_t> ReadAll(Stream *s, uint32_t piece);

// Returns: the bytes that one read of length at position delivered (empty on failure).
std::vector<uint8_t> ReadAt(Stream *s, int64_t position, uint32_t length);

// The header of a stream by hand.
std::vector<uint8_t> Header(uint64_t uncompressedSize, uint32_t blockSize);
void PutU32(std::vector<uint8_t> &out, uint32_t value);
