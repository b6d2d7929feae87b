// The encoder of the block-compressed format.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "LzmaDec.h"
#include "tests/stream/test_support.h"
#include "stream/encode/block_encoder.h"

namespace {

uint32_t U32At(const std::vector<uint8_t> &v, size_t at)
{
    uint32_t value;
    memcpy(&value, &v[at], 4);
    return value;
}

static void *Alloc(void *, size_t size)
{
    return malloc(size);
}
static void Free(void *, void *p)
{
    free(p);
}
static ISzAlloc plainAlloc = {Alloc, Free};

// Returns: the bytes a stored block decodes to, with the decoder's status.
std::vector<uint8_t> DecodeStored(const std::vector<uint8_t> &stored, size_t capacity,
                                  ELzmaStatus *status)
{
    std::vector<uint8_t> out(capacity);
    SizeT outLength = capacity, inLength = stored.size() - 5;
    SRes res = LzmaDecode(out.data(), &outLength, stored.data() + 5, &inLength, stored.data(), 5,
                          LZMA_FINISH_END, status, &plainAlloc);
    EXPECT_TRUE(res == SZ_OK || res == SZ_ERROR_INPUT_EOF);
    out.resize(outLength);
    return out;
}

TEST(BlockEncoder, LayoutIsHeaderTableThenBlocks)
{
    std::vector<uint8_t> data = MakeData(3 * 524288 + 1000, 21);
    BlockEncoderOptions options;
    options.level = 1;
    options.threads = 2;
    std::vector<uint8_t> out;
    ASSERT_TRUE(EncodeBlockStream(data.data(), data.size(), options, out));
    EXPECT_EQ(U32At(out, 0) | (uint64_t)U32At(out, 4) << 32, data.size());
    EXPECT_EQ(U32At(out, 8), 524288u) << "the default block size";
    size_t at = 12 + 4 * 4;
    for (int i = 0; i < 4; i++) {
        uint32_t stored = U32At(out, 12 + 4 * i);
        ASSERT_LE(at + stored, out.size());
        std::vector<uint8_t> block(out.begin() + at, out.begin() + at + stored);
        EXPECT_EQ(block[0], 0x5D) << "lc 3, lp 0, pb 2";
        size_t length = i < 3 ? 524288 : 1000;
        // A short last block needs no dictionary as large as a block.
        EXPECT_GE(U32At(block, 1), length) << "a dictionary that covers the block";
        EXPECT_LE(U32At(block, 1), i < 3 ? 524288u : 65536u) << "and no larger than it needs";
        ELzmaStatus status;
        std::vector<uint8_t> decoded = DecodeStored(block, length, &status);
        EXPECT_EQ(decoded, std::vector<uint8_t>(data.begin() + 524288 * i,
                                                data.begin() + 524288 * i + length));
        EXPECT_NE(status, LZMA_STATUS_FINISHED_WITH_MARK) << "no end marker by default";
        at += stored;
    }
    EXPECT_EQ(at, out.size());
}

TEST(BlockEncoder, OutputDoesNotDependOnTheThreadCount)
{
    std::vector<uint8_t> data = MakeData(37 * 1024 + 11, 22);
    BlockEncoderOptions options;
    options.blockSize = 2048;
    std::vector<uint8_t> one;
    ASSERT_TRUE(EncodeBlockStream(data.data(), data.size(), options, one));
    for (unsigned threads : {0u, 2u, 5u, 64u}) {
        options.threads = threads;
        std::vector<uint8_t> many;
        ASSERT_TRUE(EncodeBlockStream(data.data(), data.size(), options, many));
        EXPECT_EQ(many, one) << threads << " threads";
    }
}

TEST(BlockEncoder, EndMarkerAndPropertiesFollowTheOptions)
{
    std::vector<uint8_t> data = MakeData(3000, 23);
    BlockEncoderOptions options;
    options.lc = 1;
    options.lp = 2;
    options.pb = 3;
    options.dictionarySize = 65536;
    options.endMarker = true;
    std::vector<uint8_t> stored;
    ASSERT_TRUE(EncodeStoredBlock(data.data(), 3000, options, stored));
    EXPECT_EQ(stored[0], (3 * 5 + 2) * 9 + 1);
    EXPECT_EQ(U32At(stored, 1), 65536u);
    ELzmaStatus status;
    EXPECT_EQ(DecodeStored(stored, 4000, &status), data);
    EXPECT_EQ(status, LZMA_STATUS_FINISHED_WITH_MARK);
}

TEST(BlockEncoder, EmptyInputAndBadOptions)
{
    std::vector<uint8_t> out;
    ASSERT_TRUE(EncodeBlockStream(nullptr, 0, BlockEncoderOptions(), out));
    EXPECT_EQ(out, Header(0, 524288));
    BlockEncoderOptions options;
    options.blockSize = 0;
    uint8_t byte = 1;
    EXPECT_FALSE(EncodeBlockStream(&byte, 1, options, out));
    options = BlockEncoderOptions();
    options.lc = 9;
    EXPECT_FALSE(EncodeBlockStream(&byte, 1, options, out));
}

}  // namespace

namespace {

std::vector<uint8_t> Slurp(const char *path)
{
    std::vector<uint8_t> out;
    FILE *f = fopen(path, "rb");
    if (!f)
        return out;
    int c;
    while ((c = fgetc(f)) != EOF)
        out.push_back((uint8_t)c);
    fclose(f);
    return out;
}

// Checks the file that the blockenc program wrote in the CTest fixture before this test.
TEST(BlockEncoderProgram, WritesWhatTheLibraryEncodes)
{
    const char *in = getenv("BLOCKENC_IN");
    const char *out = getenv("BLOCKENC_OUT");
    if (!in || !out)
        GTEST_SKIP() << "run through CTest";
    std::vector<uint8_t> input = Slurp(in);
    ASSERT_FALSE(input.empty());
    BlockEncoderOptions options;
    options.blockSize = 1024;
    std::vector<uint8_t> expected;
    ASSERT_TRUE(EncodeBlockStream(input.data(), input.size(), options, expected));
    EXPECT_EQ(Slurp(out), expected);
}

}  // namespace
