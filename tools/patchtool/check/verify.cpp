#include "tools/patchtool/check/verify.h"

#include <string.h>
#include <algorithm>
#include <system_error>

#include "format/descriptor.h"

#include "tools/patchtool/check/host_install.h"
#include "tools/patchtool/format/gate.h"
#include "tools/patchtool/host/process.h"
#include "tools/patchtool/host/temporaries.h"

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace {

// The temporary copies of the old folders, under the system's temporary folder.
const char VerifyFolderPrefix[] = "patchtool-verify";

// Returns: the index of the first differing byte, -1 when the files are equal, -2 on a failure.
int64_t FirstDifference(const fs::path &a, const fs::path &b, std::string *error)
{
    const size_t piece = 1 << 20;
    FILE *x = OpenFile(a, "rb");
    FILE *y = OpenFile(b, "rb");
    std::vector<uint8_t> p(piece);
    std::vector<uint8_t> q(piece);
    int64_t result = -1;
    for (uint64_t at = 0; x && y; at += piece) {
        size_t n = fread(p.data(), 1, piece, x);
        size_t m = fread(q.data(), 1, piece, y);
        if (ferror(x) || ferror(y)) {
            break;
        }
        size_t common = std::min(n, m);
        size_t i = 0;
        while (i < common && p[i] == q[i]) {
            ++i;
        }
        if (i < common || n != m) {
            result = (int64_t)(at + i);
            break;
        }
        if (n < piece) {
            break;
        }
    }
    bool failed = !x || !y || ferror(x) || ferror(y);
    if (failed) {
        *error = "cannot read " + PathText(!x || ferror(x) ? a : b) + ": " + SystemReason();
        result = -2;
    }
    if (x) {
        fclose(x);
    }
    if (y) {
        fclose(y);
    }
    return result;
}

// The installer's checks before it writes: a descriptor, and a gate that lets the version through.
// Returns: an empty text, or why the installer would not install into folder.
std::string CheckGate(const LoadedPatch &patch, const fs::path &folder)
{
    if (!patch.hasDescriptor) {
        return "the patch has no descriptor: the installer would refuse it (IDS_NO_DESCRIPTOR)";
    }
    DescriptorHead head =
        ParseDescriptorHead(patch.descriptor.data(), (uint32_t)patch.descriptor.size());
    std::vector<uint8_t> ini;
    std::string error;
    if (!ReadFileIfPresent(folder / PathFromUtf8(GameIniName), &ini, &error)) {
        return error;
    }
    return GateRefusal(folder, GameIniVersion(ini), GateTerms{head.target, head.gate, head.base});
}

// Installs the patch into a temporary copy of oldFolder and compares the result with newFolder.
// Returns: 0 when they are equal, 1 on a fault, a difference or a copy that cannot be made.
int VerifyOne(const LoadedPatch &patch, const fs::path &oldFolder, const fs::path &newFolder,
              Report &report)
{
    std::string fault = CheckGate(patch, oldFolder);
    if (!fault.empty()) {
        report.Listing(Format("FAULT: %s", fault.c_str()));
        return 1;
    }
    std::error_code ec;
    fs::path work = MakeTemporaryFolder(VerifyFolderPrefix);
    fs::path game = work / "game";
    if (work.empty() || (fs::copy(oldFolder, game, fs::copy_options::recursive, ec), ec) ||
        Interrupted()) {
        report.Error(Format("verify: cannot copy %s to a temporary folder: %s",
                            PathText(oldFolder).c_str(),
                            Interrupted() ? "interrupted" : ec.message().c_str()));
        RemoveTree(work);
        return 1;
    }
    int code = 0;
    std::string detail;
    std::string error;
    InstallResult result = ApplyPatchToFolder(patch, game, &detail);
    if (result != InstallResult::Ok) {
        report.Listing(Format("FAULT: applying the patch to %s: %s", PathText(oldFolder).c_str(),
                              detail.c_str()));
        code = 1;
    } else {
        std::vector<std::string> differences = CompareTrees(newFolder, game, &error);
        for (const std::string &line : differences) {
            report.Listing(
                Format("DIFFERENCE (from %s): %s", PathText(oldFolder).c_str(), line.c_str()));
        }
        code = differences.empty() ? 0 : 1;
        if (code == 0) {
            report.Listing(
                Format("OK: %s patched equals the new folder", PathText(oldFolder).c_str()));
        }
    }
    RemoveTree(work);
    return code;
}

}  // namespace

std::vector<std::string> CompareTrees(const fs::path &expected, const fs::path &result,
                                      std::string *error)
{
    std::vector<std::string> differences;
    std::vector<TreeFile> want, got;
    std::vector<std::string> wantFolders, gotFolders;
    if (!ListTree(expected, &want, &wantFolders, error) ||
        !ListTree(result, &got, &gotFolders, error)) {
        differences.push_back(*error);
        return differences;
    }
    // Names are matched as Windows matches them: a name that differs only in ASCII case is the
    // same file there.
    auto byFoldedName = [](const TreeFile &a, const TreeFile &b) {
        return FoldCase(a.name) < FoldCase(b.name);
    };
    std::sort(want.begin(), want.end(), byFoldedName);
    std::sort(got.begin(), got.end(), byFoldedName);
    for (std::vector<std::string> *folders : {&wantFolders, &gotFolders}) {
        for (std::string &folder : *folders) {
            folder = FoldCase(folder);
        }
        std::sort(folders->begin(), folders->end());
    }
    // game.ini is the installer's own, which records the version in it: a new folder without one
    // leaves the player's as it is.
    auto isIni = [](const TreeFile &f) { return FoldCase(f.name) == FoldCase(GameIniName); };
    if (std::none_of(want.begin(), want.end(), isIni) &&
        std::any_of(got.begin(), got.end(), isIni)) {
        got.erase(std::remove_if(got.begin(), got.end(), isIni), got.end());
        std::string folder = FoldCase(fs::path(GameIniName).parent_path().u8string());
        wantFolders.erase(std::remove(wantFolders.begin(), wantFolders.end(), folder),
                          wantFolders.end());
    }
    size_t j = 0;
    for (const TreeFile &file : want) {
        while (j < got.size() && FoldCase(got[j].name) < FoldCase(file.name)) {
            differences.push_back("extra after the patch: " + got[j++].name);
        }
        if (j == got.size() || FoldCase(got[j].name) != FoldCase(file.name)) {
            differences.push_back("missing after the patch: " + file.name);
            continue;
        }
        int64_t at = FirstDifference(file.path, got[j].path, error);
        if (at == -2) {
            differences.push_back(*error);
        } else if (at >= 0) {
            differences.push_back(file.name + " differs from byte " + std::to_string(at) +
                                  " (expected " + std::to_string(file.size) + " bytes, got " +
                                  std::to_string(got[j].size) + ")");
        }
        ++j;
    }
    while (j < got.size()) {
        differences.push_back("extra after the patch: " + got[j++].name);
    }
    for (const std::string &folder : wantFolders) {
        if (!std::binary_search(gotFolders.begin(), gotFolders.end(), folder)) {
            differences.push_back("empty folder missing after the patch: " + folder);
        }
    }
    for (const std::string &folder : gotFolders) {
        if (!std::binary_search(wantFolders.begin(), wantFolders.end(), folder)) {
            differences.push_back("extra empty folder after the patch: " + folder);
        }
    }
    return differences;
}

int VerifyPatch(const fs::path &patchPath, const std::vector<fs::path> &oldFolders,
                const fs::path &newFolder, Report &report)
{
    std::string error;
    LoadedPatch patch;
    std::error_code ec;
    if (!LoadPatch(patchPath, &patch, &error)) {
        report.Error(Format("verify: %s", error.c_str()));
        return 1;
    }
    fs::path temporaries = fs::temp_directory_path(ec);
    if (!ec) {
        RemoveStaleTemporaries(temporaries / VerifyFolderPrefix, report);
    }
    int code = 0;
    for (const fs::path &old : oldFolders) {
        code = std::max(code, VerifyOne(patch, old, newFolder, report));
    }
    return code;
}
