#pragma once
// A patch installed on the host, with the installer's own walk, stream library and delta choice.
#include <string>

#include "payload/install_result.h"
#include "tools/patchtool/check/patch_source.h"

// Applies every chunk to the files under root as the installer applies them to its game folder:
// names with either slash, folders created at forward slashes only, ranges into existing files;
// then the deltas, each target chosen before anything is written (already the result: skipped;
// one delta's base: that one applied through a temporary; anything else: refused).
// Returns: Ok, or the first other result, with what failed in detail.
InstallResult ApplyPatchToFolder(const LoadedPatch &patch, const fs::path &root,
                                 std::string *detail);
