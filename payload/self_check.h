#pragma once
// The installer's check of its own package against the checksum record, before anything is written.
#include <stdint.h>

enum class SelfCheck : uint8_t {
    NoRecord,  // built without a record: nothing to check, the installer runs as it always did
    Intact,    // every listed resource matches and no chunk is unlisted
    Damaged,   // a mismatch, an unlisted chunk or a malformed record
};

// Checks the QPATCH resources of the running executable against its checksum record, and its
// QPATCHDELTA resources against theirs (a checked package whose deltas are unlisted is damaged).
// Returns: the verdict; nothing is shown.
SelfCheck CheckOwnPackage();
