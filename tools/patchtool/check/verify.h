#pragma once
// Applying a patch on the host, with the installer's own walk and stream library, and comparing
// the result with the folder the patch should produce.
#include <string>
#include <vector>

#include "payload/install_result.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/host/report.h"

// Applies every chunk to the files under root as the installer applies them to its game folder:
// names with either slash, folders created at forward slashes only, ranges into existing files;
// then the deltas, each target chosen before anything is written (already the result: skipped;
// one delta's base: that one applied through a temporary; anything else: refused).
// Returns: Ok, or the first other result, with what failed in detail.
InstallResult ApplyPatchToFolder(const LoadedPatch &patch, const fs::path &root,
                                 std::string *detail);

// Compares two trees byte for byte. Files only in result are listed in leftovers, not as
// differences. Returns: the differences, each a line of text; empty when every file of expected is
// reproduced.
std::vector<std::string> CompareTrees(const fs::path &expected, const fs::path &result,
                                      std::vector<std::string> *leftovers, std::string *error);

// verify --patch PATH --old DIR [--old DIR ...] --new DIR: for each old folder, the installer's
// descriptor and version checks, then the patch installed into a copy of it and compared.
// The folders are the command line's to check: existing folders, at least one old one.
// Returns: 0 when every old folder patched equals the new folder, 1 on a fault or a difference
// (each listed through report).
int VerifyPatch(const fs::path &patchPath, const std::vector<fs::path> &oldFolders,
                const fs::path &newFolder, Report &report);
