#pragma once
// The write-readiness check: before the first byte is written, every chunk's entries are walked
// with checking writers that open each existing target exactly as its writer will (and close it
// at once), require every range target to exist, and add up the space the patch needs.
#include <stdint.h>
#include "payload/install_result.h"

// What the check found out about the payload's disk space, in bytes rounded to whole clusters.
struct SpaceNeed {
    int64_t running;  // the change so far, entry by entry
    int64_t peak;     // the largest the change has been: what the disk must have free
};

// Adds the change of one target from oldSize to newSize bytes, each rounded up to clusterSize
// (a power of two); sizes beyond 2^62 count as 2^62.
void AddSpaceChange(SpaceNeed *need, uint64_t oldSize, uint64_t newSize, uint32_t clusterSize);

// Checks every chunk from 1601 up to the first missing id against the game folder. Nothing is
// written or created, no folder included, and the progress values are left as they were.
// Returns: Ok when the installation may start (also when a chunk is damaged: the real run then
// stops at the same entry with the same message); CannotCreate when an existing target cannot be
// opened for writing or a range target does not exist; WriteFailed when the free space available
// to the caller on the game folder's volume is less than the patch adds; Cancelled when
// cancelRequested is seen.
InstallResult CheckWriteReadiness();
