// The block-compressed stream reader.
#include <string.h>

#include <gtest/gtest.h>

#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "tests/stream/test_support.h"
#include "tests/stream/tracking_allocator.h"

namespace {

class BlockStreamTest : public TrackedTest {
protected:
    std::vector<uint8_t> Slice(const std::vector<uint8_t> &v, size_t at, size_t n)
    {
        return std::vector<uint8_t>(v.begin() + at, v.begin() + at + n);
    }

    SourceLog log;
};

// Stored blocks of data cut into blockSize pieces, each encoded with its own options.
std::vector<std::vector<uint8_t>> StoredBlocks(const std::vector<uint8_t> &data, uint32_t blockSize,
                                               const std::vector<BlockEncoderOptions> &options)
{
    std::vector<std::vector<uint8_t>> blocks;
    for (size_t at = 0, i = 0; at < data.size(); at += blockSize, i++) {
        size_t n = std::min<size_t>(blockSize, data.size() - at);
        std::vector<uint8_t> stored;
        EXPECT_TRUE(
            EncodeStoredBlock(data.data() + at, (uint32_t)n, options[i % options.size()], stored));
        blocks.push_back(stored);
    }
    return blocks;
}

std::vector<uint8_t> Assemble(uint64_t size, uint32_t blockSize,
                              const std::vector<std::vector<uint8_t>> &blocks)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(AssembleBlockStream(size, blockSize, blocks, out));
    return out;
}

// --- The format: sizes, last blocks, damaged tables and blocks -----------------------------

TEST_F(BlockStreamTest, EmptyStreamOpensFromItsHeader)
{
    std::vector<uint8_t> bytes = Header(0, 4096);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SizeOf(s), 0u);
    uint8_t buffer[8];
    EXPECT_EQ(Read(s, buffer, sizeof buffer), 0u);
    EXPECT_EQ(Seek(s, 0, SeekOrigin::Begin), 0);
    EXPECT_EQ(Seek(s, 1, SeekOrigin::Begin), -1);
    EXPECT_EQ(Seek(s, 0, SeekOrigin::End), 0);
    EXPECT_EQ(Read(s, buffer, sizeof buffer), 0u);
    Release(s);
    EXPECT_EQ(log.releases, 1);
}

TEST_F(BlockStreamTest, WholeStreamReadsBackInAnyPieceSize)
{
    const uint32_t blockSize = 1024;
    const size_t sizes[] = {1, 1023, 1024, 3 * 1024, 3 * 1024 + 1, 7 * 1024 - 5};
    for (size_t size : sizes) {
        std::vector<uint8_t> data = MakeData(size, (uint32_t)size);
        std::vector<uint8_t> bytes = EncodeData(data, blockSize);
        const uint32_t pieces[] = {1, 100, 1024, 4096, (uint32_t)size};
        for (uint32_t piece : pieces) {
            Stream *s = OpenOverBytes(bytes, &log);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(SizeOf(s), size);
            EXPECT_EQ(ReadAll(s, piece), data) << "size " << size << " piece " << piece;
            Release(s);
        }
    }
}

TEST_F(BlockStreamTest, OneReadIntoAnExactBufferStaysInsideIt)
{
    // Exact multiples end with a full block that is decoded straight into the caller's buffer;
    // the heap buffer is exactly the stream's size so that any overrun is caught.
    const uint32_t blockSize = 2048;
    const size_t sizes[] = {4 * 2048, 4 * 2048 - 7};
    for (size_t size : sizes) {
        std::vector<uint8_t> data = MakeData(size, 3);
        std::vector<uint8_t> bytes = EncodeData(data, blockSize);
        Stream *s = OpenOverBytes(bytes, &log);
        ASSERT_NE(s, nullptr);
        std::vector<uint8_t> out(size);
        EXPECT_EQ(Read(s, out.data(), (uint32_t)size + 100), size);
        EXPECT_EQ(out, data);
        Release(s);
    }
}

TEST_F(BlockStreamTest, LastBlockThatDecodesPastTheEndDeliversOnlyUpToIt)
{
    // Every stored block holds a whole 1024-byte block, but the header claims 100 bytes less.
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(3 * 1024, 4);
    std::vector<uint8_t> bytes = EncodeData(data, blockSize);
    std::vector<uint8_t> header = Header(3 * 1024 - 100, blockSize);
    std::copy(header.begin(), header.end(), bytes.begin());
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SizeOf(s), 3u * 1024 - 100);
    std::vector<uint8_t> out = ReadAll(s, 700);
    EXPECT_EQ(out, Slice(data, 0, 3 * 1024 - 100));
    std::vector<uint8_t> exact(3 * 1024 - 100);
    Seek(s, 0, SeekOrigin::Begin);
    EXPECT_EQ(Read(s, exact.data(), 5000), exact.size());
    EXPECT_EQ(exact, out);
    Release(s);
}

TEST_F(BlockStreamTest, BlocksHoldingMoreThanBlockSizeNeverOverrunTheDestination)
{
    // Stored blocks that decode to twice the block size: the decoder must stop at the block.
    std::vector<uint8_t> data = MakeData(4 * 512, 5);
    BlockEncoderOptions options;
    options.blockSize = 1024;
    options.level = 1;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(EncodeBlockStream(data.data(), data.size(), options, bytes));
    bytes[8] = 0x00, bytes[9] = 0x02;  // blockSize 512 over 1024-byte blocks
    bytes[0] = 0x00, bytes[1] = 0x04;  // 1024 bytes: two blocks
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> out(1024);
    EXPECT_EQ(Read(s, out.data(), 1024), 1024u);
    EXPECT_EQ(Slice(out, 0, 512), Slice(data, 0, 512));
    EXPECT_EQ(Slice(out, 512, 512), Slice(data, 1024, 512)) << "block 1 is the second stored block";
    Release(s);
}

TEST_F(BlockStreamTest, ShortHeaderFailsWithoutAllocating)
{
    std::vector<uint8_t> bytes = Header(10, 4096);
    bytes.resize(11);
    Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
    ASSERT_NE(memory, nullptr);
    Stream *source = openCountingStream(memory, &log);
    uint64_t before = tracker.allocations();
    EXPECT_EQ(openBlockStream(source), nullptr);
    EXPECT_EQ(tracker.allocations(), before);
    EXPECT_EQ(log.releases, 0);
    Release(source);
    EXPECT_EQ(openBlockStream(nullptr), nullptr);
}

TEST_F(BlockStreamTest, ShortTableLeavesTheSourceWithTheCaller)
{
    std::vector<uint8_t> bytes = Header(3 * 1024, 1024);
    PutU32(bytes, 100);
    PutU32(bytes, 100);
    bytes.push_back(1);
    Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
    ASSERT_NE(memory, nullptr);
    Stream *source = openCountingStream(memory, &log);
    EXPECT_EQ(openBlockStream(source), nullptr);
    EXPECT_EQ(log.releases, 0);
    EXPECT_EQ(tracker.liveBlocks(), 1u) << "only the memory stream is left";
    Release(source);
}

TEST_F(BlockStreamTest, DamagedBlocksFailOnlyTheReadsThatNeedThem)
{
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(4 * 1024, 6);
    std::vector<std::vector<uint8_t>> good = StoredBlocks(data, blockSize, {BlockEncoderOptions()});
    struct Case {
        const char *name;
        std::vector<uint8_t> block2;
    };
    std::vector<uint8_t> truncated(good[2].begin(), good[2].begin() + good[2].size() / 2);
    std::vector<uint8_t> shortOutput;
    ASSERT_TRUE(EncodeStoredBlock(data.data() + 2048, 600, BlockEncoderOptions(), shortOutput));
    std::vector<uint8_t> badProps = good[2];
    badProps[0] = 225;  // lc/lp/pb out of range
    const Case cases[] = {
        {"no bytes", {}},
        {"four bytes", {good[2].begin(), good[2].begin() + 4}},
        {"properties only", {good[2].begin(), good[2].begin() + 5}},
        {"half the data", truncated},
        {"decodes to 600 bytes", shortOutput},
        {"bad properties", badProps},
    };
    for (const Case &c : cases) {
        std::vector<std::vector<uint8_t>> blocks = good;
        blocks[2] = c.block2;
        std::vector<uint8_t> bytes = Assemble(data.size(), blockSize, blocks);
        Stream *s = OpenOverBytes(bytes, &log);
        ASSERT_NE(s, nullptr) << c.name;
        EXPECT_EQ(ReadAt(s, 0, 2048), Slice(data, 0, 2048)) << c.name;
        uint8_t buffer[100];
        Seek(s, 2100, SeekOrigin::Begin);
        EXPECT_EQ(Read(s, buffer, 100), 0u) << c.name;
        EXPECT_EQ(Tell(s), 2100) << "a failed read leaves the position";
        EXPECT_EQ(ReadAt(s, 3 * 1024 + 1, 1023), Slice(data, 3 * 1024 + 1, 1023)) << c.name;
        EXPECT_EQ(ReadAt(s, 10, 4000).size(), 0u) << "a read across the damaged block fails";
        Release(s);
    }
}

TEST_F(BlockStreamTest, StoredBytesRunningPastTheSourceFailTheRead)
{
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(3 * 1024, 7);
    std::vector<uint8_t> bytes = EncodeData(data, blockSize);
    bytes.resize(bytes.size() - 1);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAt(s, 0, 2048), Slice(data, 0, 2048));
    EXPECT_EQ(ReadAt(s, 2048, 10).size(), 0u);
    Release(s);

    std::vector<uint8_t> huge = EncodeData(data, blockSize);
    huge[12 + 4] = huge[12 + 5] = huge[12 + 6] = huge[12 + 7] = 0xFF;  // block 1: 4 GiB stored
    tracker.RefuseAbove(64 << 20);
    s = OpenOverBytes(huge, &log);
    ASSERT_NE(s, nullptr);
    size_t before = tracker.requestedSizes().size();
    EXPECT_EQ(ReadAt(s, 1024, 10).size(), 0u);
    for (size_t i = before; i < tracker.requestedSizes().size(); i++)
        EXPECT_LE(tracker.requestedSizes()[i], huge.size())
            << "asks only for what the source holds";
    EXPECT_EQ(ReadAt(s, 0, 10), Slice(data, 0, 10)) << "blocks before the damaged one still decode";
    Release(s);
}

TEST_F(BlockStreamTest, SourcePositionedAfterOtherDataIsReadFromThere)
{
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(5 * 1024 - 9, 8);
    std::vector<uint8_t> bytes(37, 0xEE);
    std::vector<uint8_t> encoded = EncodeData(data, blockSize);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
    ASSERT_NE(memory, nullptr);
    memory->methods->seek(memory, 37, SeekOrigin::Begin);
    Stream *s = openBlockStream(memory);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SizeOf(s), data.size());
    EXPECT_EQ(ReadAt(s, 3 * 1024 + 5, 300), Slice(data, 3 * 1024 + 5, 300)) << "found by seeking";
    EXPECT_EQ(ReadAt(s, 1000, 100), Slice(data, 1000, 100));
    EXPECT_EQ(ReadAt(s, 0, (uint32_t)data.size()), data);
    Release(s);
}

TEST_F(BlockStreamTest, BlocksMayDifferInPropertiesAndEndMarkers)
{
    const uint32_t blockSize = 4096;
    std::vector<uint8_t> data = MakeData(8 * 4096 - 1000, 9);
    std::vector<BlockEncoderOptions> options(8);
    const int lclppb[8][3] = {{3, 0, 2}, {0, 4, 0}, {8, 0, 4}, {4, 2, 1},
                              {0, 0, 0}, {1, 1, 1}, {3, 0, 2}, {2, 3, 4}};
    const uint32_t dictionaries[8] = {4096, 65536, 1 << 20, 3 << 12, 4096, 1 << 24, 4096, 12345};
    for (int i = 0; i < 8; i++) {
        options[i].blockSize = blockSize;
        options[i].lc = lclppb[i][0];
        options[i].lp = lclppb[i][1];
        options[i].pb = lclppb[i][2];
        options[i].dictionarySize = dictionaries[i];
        options[i].endMarker = i % 3 == 1 || i == 7;
        options[i].level = i % 2 ? 1 : 5;
    }
    std::vector<std::vector<uint8_t>> blocks = StoredBlocks(data, blockSize, options);
    EXPECT_EQ(blocks[2][0], (4 * 5 + 0) * 9 + 8) << "the properties byte varies";
    std::vector<uint8_t> bytes = Assemble(data.size(), blockSize, blocks);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAll(s, 3000), data);
    for (int i = 7; i >= 0; i--)
        EXPECT_EQ(ReadAt(s, i * 4096 + 1, 2000), Slice(data, i * 4096 + 1, 2000)) << "block " << i;
    Release(s);
}

TEST_F(BlockStreamTest, RealBlockSizeDecodesEachBlockOnceInPiecesOf4096)
{
    std::vector<uint8_t> data = MakeData(2 * 524288 + 300000, 10);
    std::vector<uint8_t> bytes = EncodeData(data, 524288);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    int readsAfterOpen = log.reads;
    EXPECT_EQ(ReadAll(s, 4096), data);
    EXPECT_EQ(log.reads - readsAfterOpen, 3) << "one source read per block";
    EXPECT_EQ(log.seeks, 1) << "only the position query of construction";
    Release(s);
}

// --- Seeking ---------------------------------------------------------------------------------

TEST_F(BlockStreamTest, SeekStaysWithinTheDataAndKnowsThreeOrigins)
{
    std::vector<uint8_t> data = MakeData(3000, 11);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    int seeksAfterOpen = log.seeks;
    EXPECT_EQ(Seek(s, 100, SeekOrigin::Begin), 100);
    EXPECT_EQ(Seek(s, 50, SeekOrigin::Current), 150);
    EXPECT_EQ(Seek(s, -150, SeekOrigin::Current), 0);
    EXPECT_EQ(Seek(s, -10, SeekOrigin::End), 2990);
    EXPECT_EQ(Seek(s, 0, SeekOrigin::End), 3000) << "the end itself is allowed";
    const struct {
        int64_t offset;
        int origin;
    } refused[] = {{3001, 0},      {-1, 0},        {1, 2},        {-3001, 2},     {1, 1},
                   {-3001, 1},     {0, 3},         {0, -1},       {INT64_MAX, 1}, {INT64_MIN, 1},
                   {INT64_MAX, 2}, {INT64_MIN, 2}, {INT64_MIN, 0}};
    for (auto r : refused) {
        EXPECT_EQ(Seek(s, r.offset, (SeekOrigin)r.origin), -1) << r.offset << " from " << r.origin;
        EXPECT_EQ(Tell(s), 3000);
    }
    uint8_t buffer[10];
    EXPECT_EQ(Read(s, buffer, 10), 0u) << "a read at the end";
    EXPECT_EQ(Seek(s, -4, SeekOrigin::End), 2996);
    EXPECT_EQ(Read(s, buffer, 10), 4u) << "a read past the end is cut";
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), Slice(data, 2996, 4));
    EXPECT_EQ(s->methods->write(s, buffer, 10), 0u);
    s->methods->flush(s);
    EXPECT_EQ(log.seeks, seeksAfterOpen + 1) << "seeking touches no source; the read did once";
    Release(s);
}

// --- The cache and the sequential rule -----------------------------------------------------

TEST_F(BlockStreamTest, CacheServesRereadsAndEarlierBlocksDecodeAgain)
{
    std::vector<uint8_t> data = MakeData(4 * 1024, 12);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAt(s, 0, 1024), Slice(data, 0, 1024));
    EXPECT_EQ(ReadAt(s, 1024, 100), Slice(data, 1024, 100));
    int reads = log.reads, seeks = log.seeks;
    EXPECT_EQ(seeks, 1) << "the next block is read where the source stands";
    EXPECT_EQ(ReadAt(s, 1050, 900), Slice(data, 1050, 900));
    EXPECT_EQ(ReadAt(s, 1024, 1), Slice(data, 1024, 1));
    EXPECT_EQ(log.reads, reads) << "served from the cache without decoding";
    EXPECT_EQ(ReadAt(s, 10, 10), Slice(data, 10, 10));
    EXPECT_EQ(log.reads, reads + 1);
    EXPECT_EQ(log.seeks, seeks + 1) << "an earlier block needs a seek of the source";
    Release(s);
}

TEST_F(BlockStreamTest, ReadAcrossManyBlocksEqualsSmallPieces)
{
    std::vector<uint8_t> data = MakeData(8 * 1024 - 100, 13);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    const struct {
        uint32_t at, length;
    } spans[] = {{1500, 3 * 1024}, {1024, 4 * 1024}, {0, 8 * 1024}, {3000, 5000}, {1, 7 * 1024}};
    for (auto span : spans) {
        size_t n = std::min<size_t>(span.length, data.size() - span.at);
        int reads = log.reads;
        std::vector<uint8_t> whole = ReadAt(s, span.at, span.length);
        EXPECT_EQ(whole, Slice(data, span.at, n)) << span.at;
        EXPECT_LE(log.reads - reads, (int)((span.at + n - 1) / 1024 - span.at / 1024 + 1))
            << "each block of the span decodes at most once";
        std::vector<uint8_t> pieces;
        Seek(s, span.at, SeekOrigin::Begin);
        uint8_t piece[37];
        for (size_t got = 0; got < n;) {
            uint32_t k = Read(s, piece, (uint32_t)std::min<size_t>(37, n - got));
            ASSERT_NE(k, 0u);
            pieces.insert(pieces.end(), piece, piece + k);
            got += k;
        }
        EXPECT_EQ(pieces, whole);
    }
    Release(s);
}

TEST_F(BlockStreamTest, BlocksDecodedIntoTheCallersBufferNeverPassForTheCache)
{
    // A read from inside block 0 to the exact end of block 2 decodes blocks 1 and 2 straight into
    // the caller's buffer; the cache still holds block 0.
    std::vector<uint8_t> data = MakeData(6 * 1024, 14);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    const int64_t backInto[] = {2 * 1024 + 5, 1024 + 700, 2 * 1024, 5};
    for (int64_t back : backInto) {
        Stream *s = OpenOverBytes(bytes, &log);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(ReadAt(s, 10, 3 * 1024 - 10), Slice(data, 10, 3 * 1024 - 10));
        EXPECT_EQ(ReadAt(s, back, 100), Slice(data, back, 100)) << "back into " << back;
        EXPECT_EQ(ReadAt(s, 3 * 1024, 100), Slice(data, 3 * 1024, 100)) << "and on";
        Release(s);
    }
    // The same at the end of a stream that is an exact multiple of the block size.
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAt(s, 3 * 1024 + 1, 3 * 1024 - 1), Slice(data, 3 * 1024 + 1, 3 * 1024 - 1));
    EXPECT_EQ(ReadAt(s, 5 * 1024 + 1, 1023), Slice(data, 5 * 1024 + 1, 1023));
    EXPECT_EQ(ReadAt(s, 4 * 1024, 10), Slice(data, 4 * 1024, 10));
    Release(s);
}

TEST_F(BlockStreamTest, AfterAFailedLoadTheSourceIsSoughtAgain)
{
    // Block 2 has bad properties in front of block 3's stored bytes; its failed load leaves the
    // source at block 3. Asking for block 2 again must not decode block 3's bytes in its place.
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(4 * 1024, 15);
    std::vector<std::vector<uint8_t>> blocks =
        StoredBlocks(data, blockSize, {BlockEncoderOptions()});
    blocks[2] = blocks[3];
    blocks[2][0] = 225;
    std::vector<uint8_t> bytes = Assemble(data.size(), blockSize, blocks);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAll(s, 1024), Slice(data, 0, 2048));
    uint8_t buffer[1024];
    EXPECT_EQ(Read(s, buffer, 1024), 0u);
    EXPECT_EQ(Read(s, buffer, 1024), 0u) << "block 2 is still damaged";
    EXPECT_EQ(ReadAt(s, 3 * 1024, 1024), Slice(data, 3 * 1024, 1024));
    EXPECT_EQ(ReadAt(s, 1000, 100), Slice(data, 1000, 100));
    Release(s);
}

TEST_F(BlockStreamTest, AFailedDecodeIntoTheCacheForgetsTheBlockItHeld)
{
    // Block 2 decodes to 600 bytes only, written over the cache that held block 1.
    const uint32_t blockSize = 1024;
    std::vector<uint8_t> data = MakeData(4 * 1024, 19);
    std::vector<std::vector<uint8_t>> blocks =
        StoredBlocks(data, blockSize, {BlockEncoderOptions()});
    ASSERT_TRUE(EncodeStoredBlock(data.data() + 2048, 600, BlockEncoderOptions(), blocks[2]));
    std::vector<uint8_t> bytes = Assemble(data.size(), blockSize, blocks);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAt(s, 1024 + 5, 10), Slice(data, 1024 + 5, 10));
    EXPECT_EQ(ReadAt(s, 2048, 10).size(), 0u);
    EXPECT_EQ(ReadAt(s, 1024 + 5, 10), Slice(data, 1024 + 5, 10));
    Release(s);
}

TEST_F(BlockStreamTest, ASourceThatMissesTheOffsetFailsTheLoad)
{
    std::vector<uint8_t> data = MakeData(3 * 1024, 16);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ReadAt(s, 2048, 10), Slice(data, 2048, 10));
    log.seekLies = true;
    EXPECT_EQ(ReadAt(s, 0, 10).size(), 0u);
    log.seekLies = false;
    EXPECT_EQ(ReadAt(s, 0, 10), Slice(data, 0, 10));
    Release(s);
}

// --- Headers that cannot be served -----------------------------------------------------------

TEST_F(BlockStreamTest, ImpossibleHeadersAreRefusedWithNothingAllocated)
{
    const struct {
        uint64_t size;
        uint32_t blockSize;
    } headers[] = {
        {0, 0},
        {100, 0},
        {UINT64_MAX, 1},                     // blockCount beyond 32 bits
        {UINT64_MAX, 0x80000000u},           // 2^33 blocks
        {1ull << 32, 1},                     // 2^32 blocks
        {0x3FFFFFFFull, 1},                  // table of 4 GiB - 4
        {1, 0xFFFFFFF0u},                    // fields and cache pass 4 GiB
        {0, UINT32_MAX},                     // an empty stream with a 4 GiB cache
        {0x20000000ull << 31, 0x80000000u},  // table 2 GiB + cache 2 GiB
    };
    tracker.RefuseAbove(64 << 20);  // a wrongly accepted header costs no real memory
    for (auto h : headers) {
        std::vector<uint8_t> bytes = Header(h.size, h.blockSize);
        bytes.resize(bytes.size() + 64);
        Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
        ASSERT_NE(memory, nullptr);
        uint64_t before = tracker.allocations();
        EXPECT_EQ(openBlockStream(memory), nullptr) << h.size << " / " << h.blockSize;
        EXPECT_EQ(tracker.allocations(), before) << h.size << " / " << h.blockSize;
        Release(memory);
    }
}

TEST_F(BlockStreamTest, LargeHeadersAskForTheirWholeRegion)
{
    // Regions that fit 32 bits are asked for whole; a refusal leaves nothing behind.
    tracker.RefuseAbove(64 << 20);
    const struct {
        uint64_t size;
        uint32_t blockSize;
    } headers[] = {{0x30000000ull, 1}, {0, 0xF0000000u}, {3ull << 40, 0x40000000u}};
    for (auto h : headers) {
        std::vector<uint8_t> bytes = Header(h.size, h.blockSize);
        Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
        ASSERT_NE(memory, nullptr);
        EXPECT_EQ(openBlockStream(memory), nullptr);
        uint64_t count = (h.size + h.blockSize - 1) / h.blockSize;
        uint64_t asked = tracker.requestedSizes().back();
        EXPECT_GE(asked, 4 * count + h.blockSize);
        EXPECT_LT(asked, 4 * count + h.blockSize + 256);
        Release(memory);
    }
}

// --- Allocation failure at every point -------------------------------------------------------

TEST_F(BlockStreamTest, EveryAllocationFailureIsAFailureNeverACrashOrLeak)
{
    std::vector<uint8_t> data = MakeData(5 * 1024 - 300, 17);
    std::vector<uint8_t> bytes = EncodeData(data, 1024);
    uint64_t total = 0;
    {
        uint64_t start = tracker.allocations();
        Stream *s = OpenOverBytes(bytes, &log);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(ReadAt(s, 100, 4000), Slice(data, 100, 4000));
        EXPECT_EQ(ReadAt(s, 0, 1024 + 7), Slice(data, 0, 1024 + 7));
        Release(s);
        total = tracker.allocations() - start;
    }
    ASSERT_GT(total, 8u);
    for (uint64_t n = 1; n <= total + 1; n++) {
        tracker.FailNth(n);
        uint64_t failuresBefore = tracker.failures();
        Stream *s = OpenOverBytes(bytes, &log);
        bool ok = s != nullptr;
        if (s) {
            std::vector<uint8_t> a = ReadAt(s, 100, 4000);
            std::vector<uint8_t> b = ReadAt(s, 0, 1024 + 7);
            ok = a == Slice(data, 100, 4000) && b == Slice(data, 0, 1024 + 7);
            if (!ok) {
                EXPECT_TRUE(a.empty() || a == Slice(data, 100, 4000)) << n;
                EXPECT_TRUE(b.empty() || b == Slice(data, 0, 1024 + 7)) << n;
            }
            Release(s);
        }
        bool failed = tracker.failures() > failuresBefore;
        EXPECT_EQ(ok, !failed) << "allocation " << n;
        EXPECT_EQ(tracker.liveBlocks(), 0u) << "allocation " << n;
    }
    tracker.FailNth(0);
}

TEST_F(BlockStreamTest, MemoryIsOneRegionPlusOneBlockWhileDecoding)
{
    std::vector<uint8_t> data = MakeData(6 * 4096, 18);
    std::vector<uint8_t> bytes = EncodeData(data, 4096);
    Stream *s = OpenOverBytes(bytes, &log);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(tracker.liveBlocks(), 2u) << "memory stream and reader";
    uint32_t region = tracker.requestedSizes().back();
    EXPECT_GE(region, 6 * 4 + 4096u);
    EXPECT_LT(region, 6 * 4 + 4096u + 256);
    size_t before = tracker.requestedSizes().size();
    EXPECT_EQ(ReadAll(s, 4096), data);
    // Per block: its stored bytes and the decoder's probabilities (lc 3 + lp 0), nothing else.
    std::vector<uint32_t> during(tracker.requestedSizes().begin() + before,
                                 tracker.requestedSizes().end());
    ASSERT_EQ(during.size(), 12u);
    for (size_t i = 0; i < during.size(); i += 2) {
        uint32_t stored;
        memcpy(&stored, &bytes[12 + 4 * (i / 2)], 4);
        EXPECT_EQ(during[i], stored);
        EXPECT_EQ(during[i + 1], (1846u + (0x300u << 3)) * 2 + 4);
    }
    EXPECT_EQ(tracker.liveBlocks(), 2u);
    Release(s);
}

}  // namespace
