#pragma once
// A patch installed on the host, with the installer's own walk, stream library and delta choice.
#include <string>

#include "payload/install_result.h"
#include "tools/patchtool/check/patch_source.h"

// Installs the patch into the files under root as the installer does in its game folder, in the
// phases of docs/format.md: each delta target chosen before anything is written (ChooseDelta: its
// temporary read only when that refuses), the chunks (names with either slash, folders created at
// forward slashes only, ranges into existing files) and the deltas, deltas first when any of them
// names its base; then the removal list. Names that leave root are Corrupt before any write.
// Returns: Ok, or the first other result, with what failed in detail.
InstallResult ApplyPatchToFolder(const LoadedPatch &patch, const fs::path &root,
                                 std::string *detail);
