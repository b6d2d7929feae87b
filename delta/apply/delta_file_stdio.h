#pragma once
// The applier on files through stdio, for the publisher's tool, qdelta and the tests: a base read
// by offset and a result written in order (the publisher's verify moves the result into place as
// the installer does, delta/apply/delta_file_win32.h).
#include <stdint.h>
#include <stdio.h>

#include <filesystem>

#include "delta/apply/delta_apply.h"
#include "delta/common/delta_format.h"

// Returns: false when the file cannot be read from its start to its end; otherwise its identity.
bool IdentifyFile(const std::filesystem::path &path, FileIdentity *identity);

// Applies the delta's size bytes at data to base, writing the result to out, which is created or
// emptied; checkBase reads the whole base first (OpenDelta). A delta with a recipe expands its
// base into a file beside out (DELTA_EXPANDED_SUFFIX), removed again. observer may be null.
// Returns: as RunDelta (InProgress when observer stopped it); ReadFailed when base cannot be
// opened; CannotCreate when out cannot be created; WriteFailed when it cannot be written.
DeltaResult ApplyDeltaFile(const uint8_t *data, uint32_t size, const std::filesystem::path &base,
                           const std::filesystem::path &out, bool checkBase,
                           const DeltaObserver *observer);
