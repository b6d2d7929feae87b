// Checking a built patch: inspect's faults in a damaged chunk and in the patch as a whole, and
// verify's install into a copy of the old folder.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "format/removal_list.h"
#include "tests/patchtool/support.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/check/host_install.h"
#include "tools/patchtool/check/verify.h"

namespace {

// Damages a copy of chunk 1601 and expects inspect to name a fault.
class DamagedChunk : public ::testing::Test {
protected:
    void SetUp() override
    {
        GameFolders g = MakeGame(temp.path, 4096);
        BuildSummary summary;
        ASSERT_EQ(BuildPatch(Options(g, temp.path / "patch", 4096), TestReport(), &summary), 0);
        std::string error;
        ASSERT_TRUE(LoadPatch(temp.path / "patch", &patch, &error));
        entries = EntriesOf(patch);
        original.assign(patch.chunks[0].data, patch.chunks[0].data + patch.chunks[0].size);
        Reset();
    }
    void Reset() { bytes = original; }
    std::string Check()
    {
        ChunkView view = {IDR_FIRST_CHUNK, bytes.data(), bytes.size()};
        return CheckChunk(view, nullptr, nullptr);
    }
    const EntryInfo &FirstWhole()
    {
        for (const EntryInfo &e : entries) {
            if (e.kind != EntryKindRange && e.decodedSize > 4096) {
                return e;
            }
        }
        return entries[0];
    }
    TempFolder temp;
    LoadedPatch patch;
    std::vector<EntryInfo> entries;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> original;
};

TEST_F(DamagedChunk, TruncationAndTrailingBytes)
{
    EXPECT_EQ(Check(), "");
    bytes.push_back(0);
    EXPECT_NE(Check().find("ends inside"), std::string::npos) << Check();
    bytes.pop_back();
    bytes.pop_back();
    EXPECT_NE(Check().find("runs past"), std::string::npos) << Check();
    bytes.resize(entries[1].chunkOffset + 1);
    EXPECT_NE(Check().find("ends inside the name length"), std::string::npos) << Check();
}

TEST_F(DamagedChunk, HeaderFieldsOutOfBounds)
{
    const EntryInfo &e = entries[0];
    bytes[e.chunkOffset + 1] = 0x00;
    bytes[e.chunkOffset + 2] = 0x02;  // 512 units
    EXPECT_NE(Check().find("above 511"), std::string::npos) << Check();
    Reset();
    PutU64(&bytes[entries[0].chunkOffset + 3 + 2 * entries[0].name.size()], bytes.size());
    EXPECT_NE(Check().find("runs past the chunk's end"), std::string::npos) << Check();
    Reset();
    bytes[entries[0].chunkOffset + 3] = '.';
    bytes[entries[0].chunkOffset + 5] = '.';
    bytes[entries[0].chunkOffset + 7] = '/';
    EXPECT_NE(Check().find("leaves the game folder"), std::string::npos) << Check();
}

TEST_F(DamagedChunk, CompressedStreams)
{
    const EntryInfo e = FirstWhole();
    size_t stream = e.chunkOffset + EntryHeaderSize(WholeFileKind, e.name.size());
    PutU32(&bytes[stream + 12], 4);  // a stored block below 5 bytes
    EXPECT_NE(Check().find("does not decode"), std::string::npos) << Check();
    Reset();
    PutU32(&bytes[stream + 8], 0);
    EXPECT_NE(Check().find("block size of 0"), std::string::npos) << Check();
    Reset();
    PutU64(&bytes[stream], e.decodedSize + 4096);  // one block more than the table holds
    EXPECT_FALSE(Check().empty());
    Reset();
    // Cut the first block's LZMA data short by moving its bytes to the second block's count.
    uint32_t first = GetU32(&bytes[stream + 12]);
    uint32_t second = GetU32(&bytes[stream + 16]);
    PutU32(&bytes[stream + 12], first - 8);
    PutU32(&bytes[stream + 16], second + 8);
    EXPECT_NE(Check().find("does not decode"), std::string::npos) << Check();
}

TEST(Inspect, PatchLevelFaults)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.chunkSize = 1500;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    ASSERT_GE(summary.chunks, 2u);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    ASSERT_EQ(InspectPatch(patch, TestReport()), "");

    fs::rename(o.outFolder / "1602.bin", o.outFolder / "1699.bin");
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("follows a missing id"), std::string::npos);
    // Verify reports the file that chunk 1602 no longer reaches.
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 1);
    fs::rename(o.outFolder / "1699.bin", o.outFolder / "1602.bin");

    Put(o.outFolder / "descriptor.txt", {'1', '.', '1', ' ', '>', '=', ' ', '1'});
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("operator"), std::string::npos);
    fs::remove(o.outFolder / "descriptor.txt");
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("no descriptor"), std::string::npos);
}

TEST(Inspect, DeltaFaultsInAPatchOfDeltasAlone)
{
    InstallerBuild b;
    b.g.newFolder = b.temp.path / "new2";
    fs::copy(b.g.oldFolder, b.g.newFolder, fs::copy_options::recursive);
    std::vector<uint8_t> code = Bytes(64 << 10, 60, false);
    Put(b.g.oldFolder / "Bin/code.dll", code);
    Put(b.g.newFolder / "Bin/code.dll", Recompiled(code, 61));
    b.o.newFolder = b.g.newFolder;
    ASSERT_EQ(b.Build(), 0);
    // No chunk at all: the installer takes a patch of deltas alone.
    ASSERT_EQ(b.summary.chunks, 0u);
    EXPECT_EQ(VerifyPatch(b.o.installer, {b.g.oldFolder}, b.g.newFolder, TestReport()), 0);

    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(b.o.installer, &patch, &error)) << error;
    ASSERT_EQ(InspectPatch(patch, TestReport()), "");
    std::vector<uint8_t> image = Get(b.o.installer);
    size_t at = patch.deltas[0].data - patch.storage[0].data();
    size_t header = EntryHeaderSize(WholeFileKind, 12);  // "Bin/code.dll"
    image[at + patch.deltas[0].size - 1] ^= 1;
    Put(b.temp.path / "damaged.exe", image);
    ASSERT_TRUE(LoadPatch(b.temp.path / "damaged.exe", &patch, &error)) << error;
    EXPECT_NE(InspectPatch(patch, TestReport()).find("delta resource 1601"), std::string::npos);

    image[at + header] = 'X';  // the delta's magic
    Put(b.temp.path / "damaged.exe", image);
    ASSERT_TRUE(LoadPatch(b.temp.path / "damaged.exe", &patch, &error)) << error;
    EXPECT_NE(InspectPatch(patch, TestReport()).find("delta's header is damaged"),
              std::string::npos);
    std::vector<uint8_t> ranges;
    AppendEntryHeader(&ranges, EntryKindRange, u"Bin/code.dll", 0, 0);
    ChunkView range = {IDR_FIRST_CHUNK, ranges.data(), ranges.size(), true};
    EXPECT_NE(CheckDeltaResource(range, nullptr, nullptr).find("range entry"), std::string::npos);
}

// A removal list of one file named name.
std::vector<uint8_t> RemovalOf(const std::u16string &name)
{
    uint64_t size = 1;
    uint32_t crc = 0;
    std::vector<uint8_t> list(RemovalHeaderSize + RemovalRecordSize((uint32_t)name.size(), 1));
    PutRemovalHeader(list.data(), 1);
    PutRemoval(list.data() + RemovalHeaderSize, RemoveFile, name.data(), (uint32_t)name.size(),
               &size, &crc, 1);
    return list;
}

// A delta resource of one entry for Data/one_block.dat whose delta names base (no sections).
std::vector<uint8_t> DeltaNaming(const std::u16string &base)
{
    DeltaHeader h = {};
    std::vector<uint8_t> delta(DeltaHeaderBytes((uint32_t)base.size()));
    PutDeltaHeader(delta.data(), h, base.data(), (uint32_t)base.size());
    std::vector<uint8_t> resource;
    AppendEntryHeader(&resource, WholeFileKind, u"Data/one_block.dat", delta.size(), 0);
    resource.insert(resource.end(), delta.begin(), delta.end());
    return resource;
}

TEST(Inspect, RemovalsAndBasesOutsideTheGameFolderAreDamageBeforeAnyWrite)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    const std::u16string outside[] = {u"../evil.txt", u"Data/../../evil.txt", u"C:/evil.txt",
                                      u"/etc/evil", u"\\\\server\\evil"};
    for (const std::u16string &name : outside) {
        for (const char *file : {"1601.remove", "1601.delta"}) {
            Put(o.outFolder / file, file[5] == 'r' ? RemovalOf(name) : DeltaNaming(name));
            LoadedPatch patch;
            std::string error;
            ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error)) << error;
            EXPECT_NE(InspectPatch(patch, TestReport()).find("leaves the game folder"),
                      std::string::npos)
                << file;
            fs::path game = temp.path / "game";
            fs::copy(g.oldFolder, game, fs::copy_options::recursive);
            EXPECT_EQ(ApplyPatchToFolder(patch, game, &error), InstallResult::Corrupt) << file;
            EXPECT_TRUE(CompareTrees(g.oldFolder, game, &error).empty()) << file;
            RemoveTree(game);
            fs::remove(o.outFolder / file);
        }
    }
}

TEST(Verify, NamesTheFirstDifference)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 0);
    std::vector<uint8_t> data = Get(g.newFolder / "Data/one_block.dat");
    data[100] ^= 1;
    Put(g.newFolder / "Data/one_block.dat", data);
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 1);
    std::string error;
    fs::path copy = temp.path / "copy";
    fs::copy(g.oldFolder, copy, fs::copy_options::recursive);
    LoadedPatch patch;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    ASSERT_EQ(ApplyPatchToFolder(patch, copy, &error), InstallResult::Ok);
    std::vector<std::string> differences = CompareTrees(g.newFolder, copy, &error);
    ASSERT_EQ(differences.size(), 1u);
    EXPECT_NE(differences[0].find("Data/one_block.dat differs from byte 100"), std::string::npos);
}

// Installs a patch of one entry, with targetOffset 0, into the game folder.
// Returns: ApplyPatchToFolder's result, and its detail in *detail.
InstallResult InstallOneEntry(uint8_t kind, const std::u16string &name,
                              const std::vector<uint8_t> &data, const fs::path &game,
                              std::string *detail)
{
    std::vector<uint8_t> chunk;
    AppendEntryHeader(&chunk, kind, name, data.size(), 0);
    chunk.insert(chunk.end(), data.begin(), data.end());
    LoadedPatch patch;
    patch.chunks.push_back(ChunkView{IDR_FIRST_CHUNK, chunk.data(), chunk.size()});
    return ApplyPatchToFolder(patch, game, detail);
}

TEST(Verify, BackslashNamesNeedExistingFoldersAsInTheInstaller)
{
    TempFolder temp;
    fs::path game = temp.path / "game";
    fs::create_directories(game / "Bin");
    // One whole-file entry named with backslashes, into a folder that exists and one that does not.
    const std::vector<uint8_t> stream = {0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0};  // 0 bytes decoded
    std::string detail;
    EXPECT_EQ(InstallOneEntry(WholeFileKind, u"Bin\\a.dat", stream, game, &detail),
              InstallResult::Ok)
        << detail;
    EXPECT_TRUE(fs::exists(game / "Bin/a.dat"));
    EXPECT_EQ(InstallOneEntry(WholeFileKind, u"New\\a.dat", stream, game, &detail),
              InstallResult::CannotCreate);
    // A range entry never creates its file.
    EXPECT_EQ(InstallOneEntry(EntryKindRange, u"Bin/missing.dat", {1}, game, &detail),
              InstallResult::CannotCreate);
    EXPECT_FALSE(fs::exists(game / "Bin/missing.dat"));
}

}  // namespace
