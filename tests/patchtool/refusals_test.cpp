// Refusals: what no player could install is refused before any work, nothing given as input is
// ever changed, outputs are checked first, and a failed build leaves nothing at the output paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/check/verify.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// A game built into a patch folder and an installer; o is changed into what must be refused.
class Refusals : public ::testing::Test, protected InstallerBuild {
protected:
    // Builds and expects a refusal that leaves old/ and new/ intact.
    void ExpectRefused()
    {
        EXPECT_EQ(Build(), 1);
        EXPECT_TRUE(fs::is_directory(g.oldFolder / "Bin"));
        EXPECT_EQ(Get(g.newFolder / "Bin/game.ini"), Ini("1.1.0.0"));
        EXPECT_EQ(Get(g.oldFolder / "Bin/game.ini"), Ini("1.1.0.0"));
    }
};

// ---- what no player could install ----

TEST_F(Refusals, OldVersionsTheInstallerWouldRefuseOrAskAbout)
{
    History h = MakeHistory(temp.path);
    o = CumulativeOptions(h, temp.path / "patch");
    o.op = GateOperator::Exact;  // 1.0.0.0 is not the base
    EXPECT_EQ(Build(), 1);
    o.op = GateOperator::UpTo;
    o.base = 0x01000000;  // 1.1.0.0 is above the base: the installer would ask
    EXPECT_EQ(Build(), 1);
    o.base = 0x01010000;
    o.target = 0x01010000;  // 1.1.0.0 is already at the target
    EXPECT_EQ(Build(), 1);
    o.target = 0x01020000;
    o.olds[1].claimed = true;  // the claimed version must be what game.ini says
    o.olds[1].version = 0x01000001;
    EXPECT_EQ(Build(), 1);
    EXPECT_FALSE(fs::exists(o.outFolder));
}

TEST_F(Refusals, VerifyRunsTheInstallersDescriptorAndGateChecks)
{
    History h = MakeHistory(temp.path);
    o = CumulativeOptions(h, temp.path / "patch");
    ASSERT_EQ(Build(), 0);
    fs::path descriptor = o.outFolder / "descriptor.txt";
    Put(descriptor, {'1', '.', '2', ' ', '=', ' ', '1', '.', '1'});  // 1.0.0.0 is not 1.1
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100}, h.v120, TestReport()), 1);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 0);
    Put(descriptor, {'1', '.', '2', ' ', '>', ' ', '1', '.', '1'});
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 1);
    fs::remove(descriptor);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 1);
}

TEST_F(Refusals, FileAndFolderSwapsLongNamesAndLinkLoops)
{
    Put(g.oldFolder / "Data/Maps", {1});  // a file that became a folder
    EXPECT_EQ(Build(), 1);
    fs::remove(g.oldFolder / "Data/Maps");
    Put(g.oldFolder / "Data/empty.dat/x", {1});  // a folder that became a file
    EXPECT_EQ(Build(), 1);
    RemoveTree(g.oldFolder / "Data/empty.dat");
    fs::path deep = g.newFolder / std::string(120, 'd') / std::string(120, 'e');
    Put(deep / "f.dat", {1});  // 247 characters: over what a plain path leaves for the name
    EXPECT_EQ(Build(), 1);
    RemoveTree(g.newFolder / std::string(120, 'd'));
#ifndef _WIN32
    fs::create_directory_symlink(g.newFolder, g.newFolder / "Data/loop");
    EXPECT_EQ(Build(), 1);
    fs::remove(g.newFolder / "Data/loop");
    // A linked folder is followed: its files are part of the patch, not silently missing.
    Put(temp.path / "shared/sky.tex", Bytes(100, 40, true));
    fs::create_directory_symlink(temp.path / "shared", g.newFolder / "Data/Shared");
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(EntriesByName(o.outFolder).count("Data/Shared/sky.tex"), 1u);
#endif
}

TEST_F(Refusals, UnchangedFoldersAndCaseCollisionsAreRefused)
{
    GameFolders same = {temp.path / "same/old", temp.path / "same/new"};
    Put(same.oldFolder / "a", {1});
    Put(same.newFolder / "a", {1});
    o = Options(same, temp.path / "patch", 4096);
    EXPECT_NE(Build(), 0);
#ifndef _WIN32  // a folder on Windows cannot hold both names
    Put(same.newFolder / "A", {2});
    EXPECT_NE(Build(), 0);
#endif
    EXPECT_FALSE(fs::exists(temp.path / "patch"));
}

TEST_F(Refusals, OnlyAPayloadFreeInstallerIsAStubAndTruncationIsCaught)
{
    fs::path stub = o.stub;
    o.stub = temp.path / "other.exe";
    Put(o.stub, MinimalImage());  // a PE, but not this project's installer
    EXPECT_EQ(Build(), 1);
    o.stub = stub;
    ASSERT_EQ(Build(), 0);
    o.stub = o.installer;  // carries a patch already
    o.installer = temp.path / "again.exe";
    o.outFolder = temp.path / "again";
    EXPECT_EQ(Build(), 1);
    EXPECT_FALSE(fs::exists(o.installer));
    // One byte short: the last section runs past the end of the file.
    std::vector<uint8_t> image = Get(temp.path / "setup.exe");
    image.pop_back();
    Put(temp.path / "cut.exe", image);
    LoadedPatch patch;
    std::string error;
    EXPECT_FALSE(LoadPatch(temp.path / "cut.exe", &patch, &error));
    EXPECT_NE(error.find("runs past the end of the file"), std::string::npos) << error;
}

// ---- outputs: never an input, replaced only when asked, nothing left behind ----

TEST_F(Refusals, AnOutputIsNeverAnInputNorInsideOneNorHoldsOne)
{
    o.installer = g.oldFolder;  // once deleted the old folder and put a PE file in its place
    ExpectRefused();
    o.force = true;
    ExpectRefused();
    o.installer = temp.path / "setup.exe";
    o.outFolder = g.newFolder;  // --out NEW --force once deleted the source
    ExpectRefused();
    o.outFolder = temp.path;  // holds both inputs
    ExpectRefused();
    o.outFolder = g.newFolder / "patch";  // inside the new folder, shipped by the next rebuild
    ExpectRefused();
    o.outFolder = temp.path / "patch";
    o.installer = g.newFolder / "setup.exe";
    ExpectRefused();
    o.installer = o.stub;
    ExpectRefused();
    o.installer = o.outFolder;  // once printed a size of 2^64-1
    ExpectRefused();
    o.installer = o.outFolder / "setup.exe";
    ExpectRefused();
    EXPECT_FALSE(fs::exists(o.outFolder));
}

TEST_F(Refusals, AnExistingInstallerIsReplacedOnlyWithForceAndAFolderNever)
{
    Put(o.installer, {'k', 'e', 'e', 'p'});
    ExpectRefused();
    EXPECT_EQ(Get(o.installer), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    o.force = true;
    ASSERT_EQ(Build(), 0);
    LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(LoadPatch(o.installer, &patch, &error)) << error;
    RemoveTree(o.installer);
    fs::create_directories(o.installer / "inside");
    ExpectRefused();
    EXPECT_TRUE(fs::is_directory(o.installer / "inside"));
}

TEST_F(Refusals, NothingIsLeftAtTheOutputPaths)
{
    o.stub = temp.path / "missing-stub.exe";
    EXPECT_NE(Build(), 0);
    o.installer.clear();
    o.chunkSize = 1;  // one chunk per entry is fine, but only 399 of them fit
    Put(g.newFolder / "many/x", {});
    for (int i = 0; i < 400; ++i) {
        Put(g.newFolder / ("many/f" + std::to_string(i)), {1});
    }
    EXPECT_NE(Build(), 0);
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(temp.path)) {
        left.push_back(PathText(entry.path().filename()));
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"new", "old", "stub.exe"}));
}

TEST_F(Refusals, TemporariesOfADeadRunAreRemovedAndALiveRunsKept)
{
    // Process ids above the kernel's limit are never alive. A live run: init on Linux; Windows has
    // no process that always runs, so there our own id stands for one.
    fs::path dead = temp.path / "patch.tmp-4194304999-0";
    fs::path deadInstaller = temp.path / "setup.exe.tmp-4194304999-3";
#ifdef _WIN32
    fs::path alive = temp.path / ("patch.tmp-" + std::to_string(GetCurrentProcessId()) + "-0");
#else
    fs::path alive = temp.path / "patch.tmp-1-0";
#endif
    fs::path unrelated = temp.path / "patch.tmp-12x-0";
    for (const fs::path &p : {dead, alive, unrelated}) {
        fs::create_directories(p / "1601.bin");
    }
    Put(deadInstaller, {1});
    ASSERT_EQ(Build(), 0);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_FALSE(fs::exists(deadInstaller));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(unrelated));
}

}  // namespace
