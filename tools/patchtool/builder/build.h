#pragma once
// Building a patch folder (and optionally an installer) from an old and a new game folder.
#include <stdint.h>
#include <string>
#include <vector>

#include "tools/patchtool/builder/build_options.h"
#include "tools/patchtool/host/report.h"

// Checks everything that can be checked before any work (folders, names, versions, outputs,
// stub), then compares, compresses and writes in bounded pieces.
// Notes, warnings, the dry run's entries and the progress line go to report.
// Returns: 0 on success; 1 after an error through report, with nothing left at the output paths
// and nothing given as input changed.
int BuildPatch(const BuildOptions &options, Report &report, BuildSummary *summary);
