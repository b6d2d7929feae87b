#pragma once
// Temporaries: outputs written under a name of their own next to where they go, and what runs
// that were killed left behind. This file alone writes and reads that name, TARGET.tmp-PID-N.
#include "tools/patchtool/host/report.h"
#include "tools/patchtool/host/text.h"

// Returns: a path next to target that does not exist yet, for writing before a final rename.
// Its name is target's followed by ".tmp-PID-N".
fs::path TemporarySibling(const fs::path &target);

// Creates a fresh folder under the system's temporary folder.
// Returns: its path, or an empty path.
fs::path MakeTemporaryFolder(const char *prefix);

// Removes what a run that no longer exists left next to target under a TemporarySibling name,
// and notes what a run still alive holds there.
void RemoveStaleTemporaries(const fs::path &target, Report &report);
