// Cumulative patches: one installer for several installed versions, and the version each old
// folder is at, read from Bin/game.ini as the installer reads it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/check/host_install.h"
#include "tools/patchtool/check/removals.h"
#include "tools/patchtool/check/verify.h"
#include "tools/patchtool/format/gate.h"

namespace {

TEST(Cumulative, RangesCoverWhatDiffersInAnyOldVersionAndEveryOneInstalls)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    auto byName = EntriesByName(o.outFolder);
    ASSERT_EQ(byName["Bin/Tolvar2.exe"].size(), 2u);  // offset 1000 differs in 1.0.0.0 only
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].targetOffset, 1000u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][1].targetOffset, 30000u);
    EXPECT_EQ(byName.count("Data/same.dat"), 0u);
    EXPECT_EQ(byName["Data/added110.dat"][0].kind, WholeFileKind);  // 1.0.0.0 lacks it
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
    // Claiming every version while leaving 1.0.0.0 out gives it ranges computed against 1.1.0.0;
    // verify catches the damage.
    o.olds.erase(o.olds.begin());
    o.outFolder = temp.path / "only110";
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100}, h.v120, TestReport()), 1);
}

TEST(Cumulative, EachDistinctBaseGetsItsDeltaAndEveryVersionInstalls)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    std::vector<uint8_t> v100 = Bytes(48 << 10, 50, false);
    std::vector<uint8_t> v110 = Recompiled(v100, 51);
    Put(h.v100 / "Bin/engine.dll", v100);
    Put(h.v110 / "Bin/engine.dll", v110);
    Put(h.v120 / "Bin/engine.dll", Recompiled(v110, 52));
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    o.olds.push_back(OldVersion{h.v110});  // the same base twice: still one delta for it
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(summary.deltaEntries, 2u);
    EXPECT_EQ(EntriesByName(o.outFolder).count("Bin/engine.dll"), 0u);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error)) << error;
    // A game already at the result is left as it is; one at neither base is refused.
    std::string detail;
    fs::path game = temp.path / "game";
    fs::copy(h.v120, game, fs::copy_options::recursive);
    EXPECT_EQ(ApplyPatchToFolder(patch, game, &detail), InstallResult::Ok) << detail;
    EXPECT_TRUE(CompareTrees(h.v120, game, &error).empty());
    Put(game / "Bin/engine.dll", Bytes(48 << 10, 53, false));
    EXPECT_EQ(ApplyPatchToFolder(patch, game, &detail), InstallResult::WrongBase);
    EXPECT_NE(detail.find("IDS_DELTA_BASE_MISMATCH"), std::string::npos) << detail;
}

TEST(Cumulative, EveryOldVersionEndsExactlyAtTheNewOne)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    std::vector<uint8_t> jar = Bytes(48 << 10, 80, false);
    std::vector<uint8_t> jar110 = Recompiled(jar, 81);
    Put(h.v100 / "Lib/core-1.0.jar", jar);
    Put(h.v110 / "Lib/core-1.0.jar", jar110);  // the same name, another content
    Put(h.v120 / "Lib/core-1.2.jar", Recompiled(jar110, 82));
    Put(h.v100 / "Data/gone.dat", Bytes(3000, 83, true));
    Put(h.v110 / "Data/gone.dat", Bytes(3100, 84, true));
    fs::create_directories(h.v110 / "Old/Empty");  // in 1.1.0.0 only
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error)) << error;
    const std::vector<std::string> bases(2, "Lib/core-1.2.jar Lib/core-1.0.jar");
    EXPECT_EQ(DeltaBases(patch), bases);
    std::vector<RemovalInfo> removals;
    ASSERT_EQ(ReadRemovals(patch, &removals), "");
    ASSERT_EQ(removals.size(), 4u);  // Data/gone.dat, Lib/core-1.0.jar, Old/Empty, Old
    EXPECT_EQ(removals[0].name, u"Data/gone.dat");
    EXPECT_EQ(removals[0].identities.size(), 2u);
    EXPECT_EQ(removals[3].name, u"Old");
}

TEST(Cumulative, UpToWithoutEveryOldVersionShipsEveryFileWhole)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    o.allOldVersions = false;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    auto byName = EntriesByName(o.outFolder);
    EXPECT_EQ(byName.size(), 4u);  // unchanged files too: an unlisted version may differ in them
    for (const auto &entry : byName) {
        ASSERT_EQ(entry.second.size(), 1u);
        EXPECT_EQ(entry.second[0].kind, WholeFileKind) << entry.first;
    }
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
}

TEST(Cumulative, VersionsComeFromGameIniAsTheInstallerReadsThem)
{
    const std::pair<std::string, PackedVersion> cases[] = {
        {"", 0x01000000u},  // no file
        {"[game]\r\n  version = \"1.2.3.4\"  \r\n", 0x01020304u},
        {"[Other]\nVERSION=9.9.9.9\n[GAME]\nVERSION=1.1\n", 0x01010000u},
        {"[GAME]\nNAME=x\n", 0x01000000u},
        {"\xEF\xBB\xBF[GAME]\nVERSION=2.0.0.1\n", 0x02000001u},
        {"[GAME]\nVERSION=1.256.0.0\n", 0x02000000u},  // parts carry like the installer's parse
    };
    for (const auto &c : cases) {
        EXPECT_EQ(GameIniVersion(std::vector<uint8_t>(c.first.begin(), c.first.end())), c.second)
            << c.first;
    }
    std::vector<uint8_t> utf16 = {0xFF, 0xFE};
    for (char c : std::string("[GAME]\r\nVERSION=3.0.0.0\r\n")) {
        utf16.insert(utf16.end(), {(uint8_t)c, 0});
    }
    EXPECT_EQ(GameIniVersion(utf16), 0x03000000u);
}

}  // namespace
