#pragma once
// Proving a patch: the installer's gate for each old folder, the patch installed into a copy of it
// (check/host_install.h) and the result compared with the folder the patch should produce.
#include <string>
#include <vector>

#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/host/report.h"

// Compares two trees byte for byte, and their empty folders by name.
// Returns: the differences (a file or an empty folder missing, extra or different), each a line of
// text; empty when result holds exactly expected.
std::vector<std::string> CompareTrees(const fs::path &expected, const fs::path &result,
                                      std::string *error);

// verify --patch PATH --old DIR [--old DIR ...] --new DIR: for each old folder, the installer's
// descriptor and version checks, then the patch installed into a copy of it and compared.
// The folders are the command line's to check: existing folders, at least one old one.
// Returns: 0 when every old folder patched equals the new folder, 1 on a fault or a difference
// (each listed through report).
int VerifyPatch(const fs::path &patchPath, const std::vector<fs::path> &oldFolders,
                const fs::path &newFolder, Report &report);
