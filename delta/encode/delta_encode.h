#pragma once
// The delta encoder: one file's new content as a delta against its installed content
// (delta/common/delta_format.h), for the installer's applier (delta/apply/delta_apply.h).
#include <stdint.h>

#include <string>
#include <vector>

// Memory beside the two files: the base's index (4 bytes a byte indexed whole, at most 1 sampled)
// and the sections, about twice the new file. A 32-bit process (the i686 patchtool.exe) has 4 GiB
// of address space at best, so there the base is indexed whole only up to 128 MiB and a base and
// new file of more than 1 GiB together are refused; a 64-bit process takes any size.
const bool DeltaIn32BitProcess = sizeof(void *) < 8;

struct DeltaOptions {
    int level = 9;         // LZMA level of the sections
    unsigned threads = 2;  // blocks of the sections compressed at once
    // The base is indexed whole (a suffix array, 4 bytes a byte) up to this size; a larger base is
    // indexed every few bytes (sampled), which finds fewer short matches in bounded memory.
    uint64_t fullIndexLimit = DeltaIn32BitProcess ? 128ull << 20 : 512ull << 20;
    // The most bytes of base and new file together that are encoded.
    uint64_t inputLimit = DeltaIn32BitProcess ? 1ull << 30 : UINT64_MAX;
};

// Returns: true when a base and a new file of these sizes are within options.inputLimit; false
// with a reason otherwise.
bool DeltaInputsFit(uint64_t oldSize, uint64_t newSize, const DeltaOptions &options,
                    std::string *error);

// A stretch of the new file made from the base: new[newPos + i] = base[oldPos + i] + difference.
struct DeltaCover {
    uint64_t newPos;
    uint64_t oldPos;
    uint64_t length;
};

// Finds the covers of new against old, in increasing newPos, none overlapping.
// Returns: false with a reason (inputs over the limit, a base too large to index, no memory).
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

// Encodes new against old between their expanded forms (delta/encode/deflate_streams.h), with
// the recipe that turns them back into the files (delta/common/delta_recipe.h). Memory: both
// expanded forms beside the files, and the encoder's for them.
// Returns: true with the delta in *out; false with *error empty when neither file has a stream
// to expand, or the expanded files are over the input limit or hold too many streams for one
// recipe; false with a reason.
bool EncodeExpandedDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out,
                         std::string *error);

// Encodes new against old through their compressed streams and, unless streams made again hold
// most of the new file (then the delta of the bytes would carry every changed member packed), as
// they are too.
// Returns: true with the smaller delta in *out; false with a reason.
bool EncodeSmallestDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out,
                         std::string *error);

// Returns: the CRC-32 of size bytes at p (stream/crc32.h), for any 64-bit size.
uint32_t Crc32Of(const uint8_t *p, uint64_t size);
