// Chunks walked onto disk, and chunk resources carried by this test program.
#include <windows.h>
#include <gtest/gtest.h>
#include "payload/chunk.h"
#include "payload/progress.h"
#include "payload/window_api.h"
#include "resources/resource.h"
#include "tests/payload/chunk_builder.h"
#include "tests/payload/win32_test_support.h"
#include "stream/encode/block_encoder.h"

namespace {

std::vector<uint8_t> Encode(const std::vector<uint8_t> &data)
{
    BlockEncoderOptions options;
    options.blockSize = 4096;
    options.level = 1;
    std::vector<uint8_t> stream;
    EXPECT_TRUE(EncodeBlockStream(data.data(), data.size(), options, stream));
    return stream;
}

// The content make_test_chunks.py gives Res/a.bin before its range is patched.
std::vector<uint8_t> WholeFilePattern(size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = (uint8_t)((i * 7 + i / 251) % 256);
    }
    return data;
}

uint32_t ResourceSize(uint16_t id)
{
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), QPATCH_TYPE);
    return info ? SizeofResource(nullptr, info) : 0;
}

class ChunkTest : public GameFolderTest {
protected:
    InstallResult walk(const std::vector<uint8_t> &bytes)
    {
        return WalkPayloadChunk(bytes.data(), (uint32_t)bytes.size());
    }
    std::vector<uint8_t> content(const std::wstring &name)
    {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(ReadBytes(at(name), &bytes)) << "missing";
        return bytes;
    }
};

TEST_F(ChunkTest, CompleteChunkWritesEveryEntryAndCountsEveryByte)
{
    std::vector<uint8_t> whole = PatternBytes(9000, 1);
    std::vector<uint8_t> patch = PatternBytes(5000, 2);
    WriteBytes(at(L"old.bin"), std::vector<uint8_t>(6000, 0xAA));
    ChunkBuilder b;
    b.wholeFile(u"Data/w.bin", Encode(whole))
        .range(u"old.bin", 500, patch)
        .wholeFile(u"again.bin", Encode(whole), 7);
    progressBytes = 1000;
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    EXPECT_EQ(1000u + b.bytes.size(), progressBytes);
    EXPECT_EQ(whole, content(L"Data\\w.bin"));
    EXPECT_EQ(whole, content(L"again.bin"));
    std::vector<uint8_t> expected(6000, 0xAA);
    std::copy(patch.begin(), patch.end(), expected.begin() + 500);
    EXPECT_EQ(expected, content(L"old.bin"));
    EXPECT_EQ(InstallResult::Ok, WalkPayloadChunk(nullptr, 0));
}

TEST_F(ChunkTest, DamagedChunkStopsWithEarlierEntriesWrittenAndItsTargetUntouched)
{
    std::vector<uint8_t> first = PatternBytes(3000, 3);
    WriteBytes(at(L"victim.bin"), {5, 6, 7});
    ChunkBuilder good;
    good.wholeFile(u"first.bin", Encode(first));
    std::vector<std::vector<uint8_t>> tails = {
        {0x01},                                                              // a stray byte
        ChunkBuilder().header(1, u"victim.bin", 4).append({1, 2, 3}).bytes,  // dataSize one more
        ChunkBuilder().header(0, u"victim.bin", 4).u64(0).append({1, 2, 3}).bytes,
        ChunkBuilder().header(0, u"victim.bin", 4).bytes,  // ends after dataSize
        ChunkBuilder().u8(1).u16(512).units(std::u16string(512, u'v')).u64(0).bytes,
    };
    for (const auto &tail : tails) {
        DeleteFileW(at(L"first.bin").c_str());
        std::vector<uint8_t> bytes = good.bytes;
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        EXPECT_EQ(InstallResult::Corrupt, walk(bytes));
        EXPECT_EQ(first, content(L"first.bin"));
        EXPECT_EQ((std::vector<uint8_t>{5, 6, 7}), content(L"victim.bin"));
        EXPECT_TRUE(OpensExclusively(at(L"victim.bin")));
        EXPECT_TRUE(OpensExclusively(at(L"first.bin")));
    }
    // The 512-unit name touched nothing: only the two files are in the folder.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(at(L"v*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    EXPECT_FALSE(FindNextFileW(search, &found));
    FindClose(search);
}

TEST_F(ChunkTest, EmptyNameIsCannotCreate)
{
    EXPECT_EQ(InstallResult::CannotCreate, walk(ChunkBuilder().wholeFile(u"", Encode({})).bytes));
    EXPECT_EQ(InstallResult::CannotCreate, walk(ChunkBuilder().range(u"", 0, {1}).bytes));
}

TEST_F(ChunkTest, ZeroUnitEndsTheName)
{
    ChunkBuilder b;
    b.wholeFile(std::u16string(u"cut.bin\0tail", 12), Encode({1, 2, 3}));
    ASSERT_EQ(InstallResult::Ok, walk(b.bytes));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), content(L"cut.bin"));
}

TEST_F(ChunkTest, CancelBeforeAnEntryLeavesItUntouched)
{
    ChunkBuilder b;
    b.wholeFile(u"a.bin", Encode({1}));
    cancelRequested = true;
    EXPECT_EQ(InstallResult::Cancelled, walk(b.bytes));
    EXPECT_FALSE(Exists(at(L"a.bin")));
}

TEST_F(ChunkTest, ResourceChunksApplyInTurn)
{
    ASSERT_NE(0u, ResourceSize(IDR_FIRST_CHUNK));
    WriteBytes(at(L"empty.bin"), {1, 2, 3});
    ASSERT_EQ(InstallResult::Ok, ApplyPayloadChunk(IDR_FIRST_CHUNK));
    std::vector<uint8_t> expected = WholeFilePattern(10000);
    const char patched[] = "PATCHED";
    std::copy(patched, patched + 7, expected.begin() + 10);
    EXPECT_EQ(expected, content(L"Res\\a.bin"));
    EXPECT_EQ(ResourceSize(IDR_FIRST_CHUNK), progressBytes);

    ASSERT_EQ(InstallResult::Ok, ApplyPayloadChunk(IDR_FIRST_CHUNK + 1));
    EXPECT_TRUE(content(L"empty.bin").empty());
    // The empty stream's 12 data bytes are the one part never counted.
    EXPECT_EQ(ResourceSize(IDR_FIRST_CHUNK) + ResourceSize(IDR_FIRST_CHUNK + 1) - 12,
              progressBytes);

    EXPECT_EQ(InstallResult::NoChunk, ApplyPayloadChunk(IDR_FIRST_CHUNK + 2));
    EXPECT_EQ(InstallResult::NoChunk, ApplyPayloadChunk(IDR_DESCRIPTOR - 1));
}

TEST_F(ChunkTest, CancelBeforeApplyingLoadsButWalksNothing)
{
    cancelRequested = true;
    EXPECT_EQ(InstallResult::Cancelled, ApplyPayloadChunk(IDR_FIRST_CHUNK));
    EXPECT_FALSE(Exists(at(L"Res")));
    EXPECT_EQ(0u, progressBytes);
    EXPECT_EQ(InstallResult::NoChunk, ApplyPayloadChunk(IDR_FIRST_CHUNK + 2));
}

}  // namespace

// The table of window functions: filled whole, or refused when a DLL or a name is missing.
TEST(WindowApi, FillsEverySlotOrRefuses)
{
    ASSERT_TRUE(LoadWindowApi());
    EXPECT_EQ(memcmp(windowApi.marker, "QPWINAPI", 8), 0);
    for (uint32_t i = 0; i < windowApi.slotCount; ++i)
        EXPECT_NE(windowApi.slots[i], nullptr) << "slot " << i;
    EXPECT_EQ((void *)windowApi.MessageBoxW,
              (void *)GetProcAddress(GetModuleHandleW(L"user32.dll"), "MessageBoxW"));

    FARPROC slots[2] = {};
    EXPECT_EQ(LookUpFunctions(L"user32.dll", "EndDialog\0NoSuchFunctionW\0", slots), -1);
    EXPECT_EQ(LookUpFunctions(L"qpatch-no-such.dll", "EndDialog\0", slots), -1);
    EXPECT_EQ(LookUpFunctions(L"user32.dll", "EndDialog\0GetDlgItem\0", slots), 2);
}
