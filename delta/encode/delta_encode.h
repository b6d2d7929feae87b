#pragma once
// The delta encoder: one file's new content as a delta against its installed content
// (delta/common/delta_format.h), for the installer's applier (delta/apply/delta_apply.h).
#include <stdint.h>

#include <string>
#include <vector>

struct DeltaOptions {
    int level = 9;         // LZMA level of the sections
    unsigned threads = 2;  // blocks of the sections compressed at once
    // The base is indexed whole (a suffix array, 4 bytes a byte) up to this size; a larger base is
    // indexed every few bytes (sampled), which finds fewer short matches in bounded memory.
    uint64_t fullIndexLimit = 512ull << 20;
};

// A stretch of the new file made from the base: new[newPos + i] = base[oldPos + i] + difference.
struct DeltaCover {
    uint64_t newPos;
    uint64_t oldPos;
    uint64_t length;
};

// Finds the covers of new against old, in increasing newPos, none overlapping.
// Returns: false with a reason (a base too large to index, no memory).
bool FindCovers(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                const DeltaOptions &options, std::vector<DeltaCover> *covers, std::string *error);

// Makes the delta's base the file name (relative to the game folder) instead of its target.
// Returns: false, leaving it as it was, when it already names one, is malformed, or name is empty
// or longer than DeltaMaxBaseNameLength.
bool NameDeltaBase(std::vector<uint8_t> *delta, const std::u16string &name);

// Encodes new as a delta against old.
// Returns: true with the whole delta in *out; false with a reason.
bool EncodeDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                 const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error);
