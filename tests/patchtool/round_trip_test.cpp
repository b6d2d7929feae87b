// Round trips: two generated game folders through build, inspect and a host install, into a patch
// folder and into an installer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/builder/pack.h"
#include "tools/patchtool/check/host_install.h"
#include "tools/patchtool/check/verify.h"

namespace {

// Applies the patch to a copy of the old folder and compares it with the new one.
void ExpectInstallGivesNewFolder(const LoadedPatch &patch, const GameFolders &g,
                                 const fs::path &work)
{
    fs::path game = work / "game";
    fs::copy(g.oldFolder, game, fs::copy_options::recursive);
    std::string detail;
    ASSERT_EQ(ApplyPatchToFolder(patch, game, &detail), InstallResult::Ok) << detail;
    std::string error;
    std::vector<std::string> differences = CompareTrees(g.newFolder, game, &error);
    EXPECT_TRUE(differences.empty()) << differences[0];
    RemoveTree(game);
}

TEST(RoundTrip, EveryKindOfChangeInstallsToTheNewFolder)
{
    TempFolder temp;
    const uint32_t blockSize = 4096;
    GameFolders g = MakeGame(temp.path, blockSize);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(Options(g, temp.path / "patch", blockSize), TestReport(), &summary), 0);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(temp.path / "patch", &patch, &error)) << error;
    EXPECT_EQ(InspectPatch(patch, TestReport()), "");
    ExpectInstallGivesNewFolder(patch, g, temp.path);

    auto byName = EntriesByName(temp.path / "patch");
    EXPECT_EQ(byName.count("Bin/game.ini"), 0u);
    ASSERT_EQ(byName["Bin/Tolvar2.exe"].size(), 2u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].kind, EntryKindRange);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].targetOffset, 77u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][1].targetOffset, 3 * blockSize);
    ASSERT_EQ(byName["Data/table.dat"].size(), 1u);
    EXPECT_EQ(byName["Data/table.dat"][0].kind, EntryKindRange);
    EXPECT_EQ(byName["Data/table.dat"][0].targetOffset, 2 * blockSize);
    EXPECT_EQ(byName["Data/shrunk.bin"][0].kind, WholeFileKind);
    EXPECT_EQ(byName["Data/rewritten.bin"][0].kind, WholeFileKind);
    EXPECT_EQ(byName["Data/Maps/New/m1.map"][0].decodedSize, 3 * blockSize + 1);
    EXPECT_EQ(byName["Data/empty.dat"][0].dataSize, 12u);
    EXPECT_EQ(summary.filesUnchanged, 1u);
    EXPECT_EQ(summary.rangeFiles, 3u);  // Tolvar2.exe, table.dat, was_empty.dat
    EXPECT_GT(summary.rangeSavings, 0u);

    std::vector<uint8_t> descriptor = Get(temp.path / "patch/descriptor.txt");
    EXPECT_EQ(std::string(descriptor.begin(), descriptor.end()), "1.1.0.1 = 1.1.0.0\r\ntest\r\n");
}

TEST(RoundTrip, MovedFilesTakeTheirBaseWhereverItIsAndDroppedOnesGo)
{
    TempFolder temp;
    GameFolders g = MakeMoves(temp.path);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    RecordingReport report;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, report, &summary), 0);
    EXPECT_EQ(report.Text(Report::Kind::Warning), "");
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error)) << error;
    RecordingReport listing;
    ASSERT_EQ(InspectPatch(patch, listing), "");
    const char *const bases[] = {
        "Addons/maps/pack.dat Mods/maps/pack.dat",  // moved
        "Data/icon.png ",                           // recompiled in place
        "Data/icon_big.png Data/icon.png",          // copied from the old one
        "Data/world1.pak Data/world.pak",           // split
        "Data/world2.pak Data/world.pak",
        "Lib/engine-1.3.jar Lib/engine-1.2.jar",  // renamed
        "Sound/theme.bin Data/music.ogg",         // shares most of its content
    };
    EXPECT_EQ(DeltaBases(patch), std::vector<std::string>(std::begin(bases), std::end(bases)));
    const char *const removals[] = {"Data/music.ogg ", "Data/obsolete.txt ", "Mods/maps/ ",
                                    "Mods/ ",          "Empty/Sub/ ",        "Empty/ "};
    std::string text = listing.Text(Report::Kind::Listing);
    for (const char *removal : removals) {
        EXPECT_NE(text.find("remove " + std::string(removal)), std::string::npos) << removal;
    }
    EXPECT_NE(text.find("base file Data/world.pak"), std::string::npos) << text;
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 0);

    // A player's own file, a changed one the new version dropped and a folder they hold stay; a
    // second run changes nothing.
    fs::path game = temp.path / "game";
    fs::copy(g.oldFolder, game, fs::copy_options::recursive);
    Put(game / "Saves/slot1.sav", {1, 2, 3});
    Put(game / "Data/obsolete.txt", {4, 5, 6});
    Put(game / "Empty/mine.txt", {7});
    for (int run = 0; run < 2; ++run) {
        std::string detail;
        ASSERT_EQ(ApplyPatchToFolder(patch, game, &detail), InstallResult::Ok) << detail;
        const std::vector<std::string> extra = {"extra after the patch: Data/obsolete.txt",
                                                "extra after the patch: Empty/mine.txt",
                                                "extra after the patch: Saves/slot1.sav"};
        EXPECT_EQ(CompareTrees(g.newFolder, game, &error), extra);
        EXPECT_EQ(Get(game / "Data/obsolete.txt"), std::vector<uint8_t>({4, 5, 6}));
    }

    // A version that only drops a file is a patch of its removal list alone.
    GameFolders drop = {g.newFolder, temp.path / "dropped"};
    fs::copy(g.newFolder, drop.newFolder, fs::copy_options::recursive);
    fs::remove(drop.newFolder / "Data/icon.png");
    fs::remove(drop.newFolder / "Bin/game.ini");  // the installer's own: never removed
    BuildOptions dropOnly = Options(drop, temp.path / "drop-patch", 4096);
    ASSERT_EQ(BuildPatch(dropOnly, report, &summary), 0) << report.Text(Report::Kind::Error);
    ASSERT_TRUE(LoadPatch(dropOnly.outFolder, &patch, &error)) << error;
    EXPECT_TRUE(patch.chunks.empty() && patch.deltas.empty() && patch.removals.data);
    RecordingReport dropListing;
    EXPECT_EQ(InspectPatch(patch, dropListing), "");
    EXPECT_EQ(dropListing.Text(Report::Kind::Listing).find("game.ini"), std::string::npos);
    EXPECT_EQ(VerifyPatch(dropOnly.outFolder, {drop.oldFolder}, drop.newFolder, TestReport()), 0);
}

TEST(RoundTrip, ACaseOnlyRenameIsOneFileAsOnWindows)
{
    TempFolder temp;
    GameFolders g = {temp.path / "old", temp.path / "new"};
    for (const fs::path &folder : {g.oldFolder, g.newFolder}) {
        Put(folder / "Bin/game.ini", Ini("1.1.0.0"));
    }
    std::vector<uint8_t> json = Bytes(20 << 10, 90, true);
    Put(g.oldFolder / "Data/Ogre.json", json);
    Put(g.newFolder / "Data/ogre.json", Recompiled(json, 91));
    Put(g.oldFolder / "Data/Orcs.json", json);
    Put(g.newFolder / "Data/orcs.json", json);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error)) << error;
    EXPECT_FALSE(patch.removals.data) << "the old names are the new files on Windows";
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 0);
}

TEST(RoundTrip, OutputIsTheSameForAnyThreadCountAndChunksHoldWholeEntries)
{
    TempFolder temp;
    const uint32_t blockSize = 4096;
    GameFolders g = MakeGame(temp.path, blockSize);
    BuildOptions one = Options(g, temp.path / "one", blockSize);
    one.threads = 1;
    one.chunkSize = 1500;  // smaller than several entries: each of those gets a chunk of its own
    BuildOptions four = one;
    four.threads = 4;
    four.outFolder = temp.path / "four";
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(one, TestReport(), &summary), 0);
    ASSERT_EQ(BuildPatch(four, TestReport(), &summary), 0);
    EXPECT_GE(summary.chunks, 3u);
    for (uint32_t id = IDR_FIRST_CHUNK; id < IDR_FIRST_CHUNK + summary.chunks; ++id) {
        std::string file = std::to_string(id) + ".bin";
        EXPECT_EQ(Get(one.outFolder / file), Get(four.outFolder / file)) << file;
    }
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(one.outFolder, &patch, &error));
    ASSERT_EQ(patch.chunks.size(), summary.chunks);
    for (const ChunkView &chunk : patch.chunks) {
        std::vector<EntryInfo> entries;
        ASSERT_EQ(CheckChunk(chunk, Collect, &entries), "");
        // A chunk over the limit holds exactly one entry.
        if (chunk.size > one.chunkSize) {
            EXPECT_EQ(entries.size(), 1u);
        }
    }
    ExpectInstallGivesNewFolder(patch, g, temp.path);
}

TEST(RoundTrip, RealBlockSizeAndNoOldFolder)
{
    TempFolder temp;
    GameFolders g = {fs::path(), temp.path / "new"};
    Put(g.newFolder / "Bin/big.dat", Bytes(InstallerBlockSize * 2 + 5, 20, true));
    Put(g.newFolder / "Bin/exact.dat", Bytes(InstallerBlockSize, 21, false));
    BuildOptions o = Options(g, temp.path / "patch", InstallerBlockSize);
    o.olds.clear();
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(summary.wholeEntries, 2u);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    std::vector<EntryInfo> entries = EntriesOf(patch);
    ASSERT_EQ(entries.size(), 2u);
    const uint8_t *stream = patch.chunks[0].data + entries[0].chunkOffset +
                            EntryHeaderSize(WholeFileKind, entries[0].name.size());
    EXPECT_EQ(GetU32(stream + 8), (uint32_t)InstallerBlockSize);
    EXPECT_EQ(stream[12 + 4 * 3], 0x5D);  // lc 3, lp 0, pb 2
    g.oldFolder = temp.path / "empty";
    fs::create_directory(g.oldFolder);
    ExpectInstallGivesNewFolder(patch, g, temp.path);
}

TEST(RoundTrip, AnInstallerCarriesThePatchInItsResources)
{
    InstallerBuild b;
    b.o.chunkSize = 10000;
    ASSERT_EQ(b.Build(), 0);
    LoadedPatch fromFolder;
    LoadedPatch fromExe;
    std::string error;
    ASSERT_TRUE(LoadPatch(b.o.outFolder, &fromFolder, &error));
    ASSERT_TRUE(LoadPatch(b.o.installer, &fromExe, &error)) << error;
    EXPECT_EQ(fromExe.descriptor, fromFolder.descriptor);
    ASSERT_EQ(fromExe.chunks.size(), fromFolder.chunks.size());
    for (size_t i = 0; i < fromExe.chunks.size(); ++i) {
        EXPECT_EQ(fromExe.chunks[i].id, fromFolder.chunks[i].id);
        ASSERT_EQ(fromExe.chunks[i].size, fromFolder.chunks[i].size);
        EXPECT_EQ(memcmp(fromExe.chunks[i].data, fromFolder.chunks[i].data, fromExe.chunks[i].size),
                  0);
    }
    ExpectInstallGivesNewFolder(fromExe, b.g, b.temp.path);
    // Nothing there is worth a delta: the installer carries neither deltas nor their record.
    EXPECT_TRUE(fromExe.deltas.empty());
    EXPECT_FALSE(fromExe.extras.hasDeltaRecord);
    EXPECT_EQ(b.summary.deltaFiles, 0u);
}

// Returns: the delta entries of every delta resource of patch, each resource checked sound.
std::vector<DeltaInfo> DeltasOf(const LoadedPatch &patch)
{
    std::vector<DeltaInfo> deltas;
    for (const ChunkView &resource : patch.deltas) {
        EXPECT_EQ(
            CheckDeltaResource(
                resource,
                [](const DeltaInfo &d, void *c) { ((std::vector<DeltaInfo> *)c)->push_back(d); },
                &deltas),
            "");
    }
    return deltas;
}

TEST(RoundTrip, ARecompiledFileGoesAsADeltaThroughBuildPackAndVerify)
{
    InstallerBuild b;
    std::vector<uint8_t> code = Bytes(64 << 10, 40, false);
    Put(b.g.oldFolder / "Bin/code.dll", code);
    Put(b.g.newFolder / "Bin/code.dll", Recompiled(code, 41));
    ASSERT_EQ(b.Build(), 0);
    EXPECT_EQ(b.summary.deltaFiles, 1u);
    EXPECT_EQ(EntriesByName(b.o.outFolder).count("Bin/code.dll"), 0u);  // never in a chunk too
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(b.o.installer, &patch, &error)) << error;
    std::vector<DeltaInfo> deltas = DeltasOf(patch);
    ASSERT_EQ(deltas.size(), 1u);
    EXPECT_EQ(deltas[0].entry.name, u"Bin/code.dll");
    EXPECT_EQ(deltas[0].header.baseSize, code.size());
    EXPECT_LT(deltas[0].entry.dataSize, 2000u);
    EXPECT_TRUE(patch.extras.hasDeltaRecord);
    EXPECT_EQ(InspectPatch(patch, TestReport()), "");
    EXPECT_EQ(VerifyPatch(b.o.installer, {b.g.oldFolder}, b.g.newFolder, TestReport()), 0);
    // pack writes the folder's delta files into the same installer.
    PackOptions pack;
    ASSERT_TRUE(ReadPatchFolder(b.o.outFolder, &pack.files, &error)) << error;
    pack.installer = b.temp.path / "packed.exe";
    pack.stub = b.o.stub;
    ASSERT_EQ(PackInstaller(pack, TestReport()), 0);
    EXPECT_EQ(Get(pack.installer), Get(b.o.installer));

    b.o.deltas = false;
    b.o.force = true;
    ASSERT_EQ(b.Build(), 0);
    ASSERT_TRUE(LoadPatch(b.o.installer, &patch, &error)) << error;
    EXPECT_TRUE(patch.deltas.empty());
    EXPECT_FALSE(patch.extras.hasDeltaRecord);
    EXPECT_EQ(EntriesByName(b.o.outFolder).count("Bin/code.dll"), 1u);
}

}  // namespace
