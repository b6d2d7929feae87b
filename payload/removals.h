#pragma once
// The removal list on disk (format/removal_list.h): checked before the first byte, carried out
// after every write and before the version is recorded. A file goes only when its content is one
// the list names; a file already gone is fine, so a rerun after an interruption finishes the job.
#include "payload/install_result.h"

// Returns: true when the executable carries a removal list.
bool HasRemovals();

// Reads the list and every file on it that is there, in pieces: each one whose content the list
// names must be removable (not read-only, not held open by another program). Nothing is changed.
// Returns: Ok (also without a list); Corrupt for a malformed list or a name that leaves the game
// folder; CannotCreate for a file that must go but cannot; Cancelled.
InstallResult CheckRemovals();

// Removes each listed file whose content the list names, then each listed folder left empty.
// A file of other content, a missing file and a folder that is not empty are left as they are.
// Returns: Ok; Corrupt; WriteFailed when a file that must go cannot be removed; Cancelled.
InstallResult ApplyRemovals();
