// The portable entry walk, driven through recording writers.
#include <gtest/gtest.h>
#include "payload/walk.h"
#include "payload/progress.h"
#include "payload/run_state.h"
#include "tests/payload/chunk_builder.h"

namespace {

struct Call {
    bool range;
    size_t dataOffset;  // from the chunk's first byte
    uint32_t dataSize;
    std::u16string name;
    bool nameTerminated;  // a zero unit within the buffer's 512 units
    uint64_t targetOffset;
    uint64_t progressAtCall;
};

struct Recorder {
    EntryWriters methods;  // first member: the walk passes &methods back
    const uint8_t *chunk;
    std::vector<Call> calls;
    size_t failAt = SIZE_MAX;  // the call that returns failResult
    InstallResult failResult = InstallResult::Ok;
    bool cancelInWriter = false;

    InstallResult record(bool range, const uint8_t *data, uint32_t size, const NameUnit *name,
                         uint64_t offset)
    {
        Call call{range, (size_t)(data - chunk), size, {}, false, offset, progressBytes};
        for (uint32_t i = 0; i < NameBufferUnits; ++i) {
            if (name[i] == 0) {
                call.nameTerminated = true;
                break;
            }
            call.name.push_back((char16_t)name[i]);
        }
        calls.push_back(call);
        if (cancelInWriter) {
            cancelRequested = true;
        }
        return calls.size() - 1 == failAt ? failResult : InstallResult::Ok;
    }
};

InstallResult RecordWhole(const EntryWriters *self, const uint8_t *data, uint32_t size,
                          const NameUnit *name)
{
    return ((Recorder *)self)->record(false, data, size, name, 0);
}

InstallResult RecordRange(const EntryWriters *self, const uint8_t *data, uint32_t size,
                          const NameUnit *name, uint64_t offset)
{
    return ((Recorder *)self)->record(true, data, size, name, offset);
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cancelRequested = false;
        progressBytes = 0;
        recorder.methods = {RecordWhole, RecordRange, &progressBytes, &cancelRequested};
    }
    void TearDown() override { cancelRequested = false; }

    InstallResult walk(const std::vector<uint8_t> &bytes)
    {
        recorder.chunk = bytes.data();
        return WalkEntries(bytes.data(), (uint32_t)bytes.size(), &recorder.methods);
    }

    Recorder recorder;
};

TEST_F(WalkTest, EmptyChunkIsOkAndCallsNoWriter)
{
    EXPECT_EQ(InstallResult::Ok, WalkEntries(nullptr, 0, &recorder.methods));
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_EQ(0u, progressBytes);
}

TEST_F(WalkTest, EntriesEndingExactlyAtTheEndAreAllWrittenWithTheirFields)
{
    ChunkBuilder b;
    b.wholeFile(u"Bin\\a.dll", PatternBytes(30, 1))
        .range(u"Bin\\b.dat", 0x123456789ABull, PatternBytes(7, 2))
        .wholeFile(u"c", {}, 2)
        .range(u"d", 5, {});
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    ASSERT_EQ(4u, recorder.calls.size());
    const Call &a = recorder.calls[0];
    EXPECT_FALSE(a.range);
    EXPECT_EQ(u"Bin\\a.dll", a.name);
    EXPECT_EQ(11u + 2 * 9, a.dataOffset);  // a whole-file header is 11 + 2n bytes
    EXPECT_EQ(30u, a.dataSize);
    const Call &r = recorder.calls[1];
    EXPECT_TRUE(r.range);
    EXPECT_EQ(u"Bin\\b.dat", r.name);
    EXPECT_EQ(a.dataOffset + 30 + 19 + 2 * 9, r.dataOffset);  // a range header is 19 + 2n
    EXPECT_EQ(7u, r.dataSize);
    EXPECT_EQ(0x123456789ABull, r.targetOffset);
    EXPECT_FALSE(recorder.calls[2].range);  // kind 2 is a whole file
    EXPECT_EQ(0u, recorder.calls[2].dataSize);
    EXPECT_TRUE(recorder.calls[3].range);
    EXPECT_EQ(b.bytes.size(), recorder.calls[3].dataOffset);
    // Only header bytes are counted by the walk; the writers count data.
    EXPECT_EQ(b.bytes.size() - 37, progressBytes);
}

TEST_F(WalkTest, AnyKindButZeroIsAWholeFile)
{
    for (int kind : {1, 2, 0x7F, 0xFF}) {
        recorder.calls.clear();
        ChunkBuilder b;
        b.wholeFile(u"x", PatternBytes(3, 3), (uint8_t)kind);
        ASSERT_EQ(InstallResult::Ok, walk(b.bytes)) << kind;
        ASSERT_EQ(1u, recorder.calls.size());
        EXPECT_FALSE(recorder.calls[0].range) << kind;
        EXPECT_EQ(3u, recorder.calls[0].dataSize);
    }
}

TEST_F(WalkTest, TruncatedChunksAreCorruptAfterTheCompleteEntries)
{
    ChunkBuilder good;
    good.wholeFile(u"first", PatternBytes(10, 4));
    const size_t goodHeader = 11 + 2 * 5;
    struct Case {
        const char *what;
        std::vector<uint8_t> tail;
        uint64_t tailCounted;  // header bytes of the broken entry that passed their checks
    };
    std::vector<Case> cases = {
        {"one stray byte", {0x01}, 1},
        {"ends after kind", ChunkBuilder().u8(0).bytes, 1},
        {"ends inside nameLength", ChunkBuilder().u8(1).u8(2).bytes, 1},
        {"ends after nameLength", ChunkBuilder().u8(1).u16(2).bytes, 3},
        {"ends inside name", ChunkBuilder().u8(1).u16(2).u16('a').bytes, 3},
        {"ends after name", ChunkBuilder().u8(1).u16(1).u16('a').bytes, 5},
        {"ends inside dataSize", ChunkBuilder().u8(1).u16(1).u16('a').u8(0).bytes, 5},
        {"range ends after dataSize", ChunkBuilder().header(0, u"a", 0).bytes, 13},
        {"range ends inside offset", ChunkBuilder().header(0, u"a", 0).u8(1).bytes, 13},
        {"dataSize one more than remains",
         ChunkBuilder().header(1, u"a", 4).append({1, 2, 3}).bytes, 13},
        {"range dataSize one more than remains",
         ChunkBuilder().header(0, u"a", 4).u64(0).append({1, 2, 3}).bytes, 21},
        {"dataSize past 32 bits", ChunkBuilder().header(1, u"a", 1ull << 32).append({1}).bytes, 13},
        {"dataSize near 2^64", ChunkBuilder().header(1, u"a", ~0ull).append({1}).bytes, 13},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        recorder.calls.clear();
        progressBytes = 0;
        std::vector<uint8_t> bytes = good.bytes;
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(InstallResult::Corrupt, walk(bytes));
        ASSERT_EQ(1u, recorder.calls.size());  // the broken entry reaches no writer
        EXPECT_EQ(u"first", recorder.calls[0].name);
        EXPECT_EQ(goodHeader + c.tailCounted, progressBytes);
    }
}

TEST_F(WalkTest, NameLengthAbove511IsCorruptBeforeTheNameIsRead)
{
    ChunkBuilder b;
    b.u8(1).u16(512).units(std::u16string(512, u'n')).u64(0);
    EXPECT_EQ(InstallResult::Corrupt, walk(b.bytes));
    EXPECT_TRUE(recorder.calls.empty());
    ChunkBuilder huge;
    huge.u8(0).u16(0xFFFF).units(std::u16string(0xFFFF, u'n')).u64(0).u64(0);
    EXPECT_EQ(InstallResult::Corrupt, walk(huge.bytes));
    EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(WalkTest, NameOf511UnitsFitsWithItsTerminatingZero)
{
    std::u16string longest(511, u'z');
    ChunkBuilder b;
    b.wholeFile(longest, {9}).range(u"ab", 0, {8});
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    ASSERT_EQ(2u, recorder.calls.size());
    EXPECT_EQ(longest, recorder.calls[0].name);
    EXPECT_TRUE(recorder.calls[0].nameTerminated);
    // The buffer is cleared per entry: nothing of the long name is left after "ab".
    EXPECT_EQ(u"ab", recorder.calls[1].name);
}

TEST_F(WalkTest, ZeroUnitInsideANameEndsIt)
{
    ChunkBuilder b;
    b.wholeFile(std::u16string(u"ab\0cd", 5), {1});
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    ASSERT_EQ(1u, recorder.calls.size());
    EXPECT_EQ(u"ab", recorder.calls[0].name);
    EXPECT_EQ(11u + 10, recorder.calls[0].dataOffset);  // the units after the zero still count
}

TEST_F(WalkTest, NameUnitsAreLittleEndianUtf16)
{
    ChunkBuilder b;
    b.wholeFile(u"\u4E2D\u6587/\U0001F600", {1});
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    EXPECT_EQ(u"\u4E2D\u6587/\U0001F600", recorder.calls.at(0).name);
}

TEST_F(WalkTest, EmptyNameReachesTheWriterAsEmpty)
{
    ChunkBuilder b;
    b.wholeFile(u"", {1, 2});
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    EXPECT_EQ(u"", recorder.calls.at(0).name);
    EXPECT_EQ(11u, recorder.calls.at(0).dataOffset);
}

TEST_F(WalkTest, CancelIsSeenBeforeEachEntry)
{
    ChunkBuilder b;
    b.wholeFile(u"a", {1}).wholeFile(u"b", {2});
    cancelRequested = true;
    EXPECT_EQ(InstallResult::Cancelled, walk(b.bytes));
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_EQ(0u, progressBytes);

    cancelRequested = false;
    recorder.cancelInWriter = true;
    EXPECT_EQ(InstallResult::Cancelled, walk(b.bytes));
    EXPECT_EQ(1u, recorder.calls.size());

    // A cancel after the last entry changes nothing: the walk has ended.
    cancelRequested = false;
    recorder.calls.clear();
    ChunkBuilder one;
    one.wholeFile(u"a", {1});
    EXPECT_EQ(InstallResult::Ok, walk(one.bytes));
}

TEST_F(WalkTest, FirstWriterFailureEndsTheWalkWithItsResult)
{
    ChunkBuilder b;
    b.wholeFile(u"a", {1}).range(u"b", 0, {2}).wholeFile(u"c", {3});
    for (InstallResult r : {InstallResult::Corrupt, InstallResult::CannotCreate,
                            InstallResult::WriteFailed, InstallResult::Cancelled}) {
        recorder.calls.clear();
        recorder.failAt = 1;
        recorder.failResult = r;
        EXPECT_EQ(r, walk(b.bytes));
        EXPECT_EQ(2u, recorder.calls.size());
    }
}

TEST_F(WalkTest, HeaderFieldsAreCountedBeforeTheWriterRuns)
{
    ChunkBuilder b;
    b.wholeFile(u"abc", PatternBytes(100, 5)).range(u"de", 7, PatternBytes(50, 6));
    progressBytes = 1000;
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    EXPECT_EQ(1000u + 11 + 6, recorder.calls[0].progressAtCall);
    EXPECT_EQ(1000u + 17 + 19 + 4, recorder.calls[1].progressAtCall);
}

}  // namespace
