#pragma once
// The write-readiness check: before the first byte is written, every chunk's entries are walked
// with checking writers that open each existing target exactly as its writer will (and close it
// at once), require every range target to exist or to be created by an earlier entry (one pass
// notes what the patch creates), and add up the space the patch needs.
#include <stdint.h>
#include "payload/delta_entries.h"
#include "payload/install_result.h"
#include "payload/space_need.h"

// What the check decided, for the worker; zero-initialised before the check, but for checkBytes.
struct Readiness {
    uint64_t checkBytes;  // given: the bar's share of reading the deltas' files (DeltaCheckBytes)
    SpaceNeed space;      // the payload's change of the disk's use, at its peak
    DeltaPlan deltas;     // which deltas to apply (ApplyDeltas); released by the worker
};

// Checks every chunk that ForEachChunk walks against the game folder, then the deltas
// (CheckDeltaTargets, which chooses what the worker applies), into *decided, then the removals
// (CheckRemovals). Nothing is written or created, no folder included, and the bar moves only as
// the deltas' files are read, by at most decided->checkBytes. Should the
// names of the files the patch creates not fit in memory, no range target is refused for missing.
// Returns: Ok when the installation may start (also when a chunk is damaged: the real run then
// stops at the same entry with the same message); CannotCreate when an existing target cannot be
// opened for writing, or a range target neither exists nor is created by an earlier entry;
// WriteFailed when the free space available to the caller on the game folder's volume is less
// than the patch adds; Cancelled when cancelRequested is seen; WrongBase or Corrupt from the
// deltas' check; Corrupt or CannotCreate from the removals'.
InstallResult CheckWriteReadiness(Readiness *decided);
