#pragma once
// A delta of one file against another, encoded from the files themselves. The host build maps
// both and runs the encoder (builder/delta.h); the Windows build has no encoder (libdivsufsort is
// host-only), so its builds send changed files as ranges or whole.
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/patchtool/host/files.h"

// Returns: true when this build of the tool encodes deltas.
bool DeltaEncoderAvailable();

// Encodes target as a delta against base, its sections compressed at level on up to threads
// threads. Memory: both files mapped, the base's index (4 bytes a byte up to 512 MiB of base)
// and the delta.
// Returns: true with the delta in *delta; false with a reason naming the file.
bool EncodeFileDelta(const fs::path &base, const fs::path &target, int level, unsigned threads,
                     std::vector<uint8_t> *delta, std::string *error);
