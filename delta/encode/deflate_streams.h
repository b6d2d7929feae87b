#pragma once
// The compressed streams inside a file, for deltas between expanded files (delta/common/
// delta_recipe.h): deflate data of zip members (method 8), gzip members and zlib streams anywhere
// in a file, as custom packs hold them.
//
// A base's stream is expanded whenever it inflates cleanly (its packed bytes stay beside its
// content): the installer only inflates it. A new
// file's stream is expanded only when this very zlib, with settings found here, deflates its
// content to the same bytes: the installer links the same zlib version and deflates it again.
#include <stdint.h>

#include <vector>

#include "delta/common/delta_recipe.h"

// A file with some of its streams expanded: the expanded bytes and the recipe list that undoes it.
struct ExpandedForm {
    std::vector<uint8_t> bytes;
    std::vector<PackedStream> streams;
    uint64_t expandedBytes = 0;  // of the streams alone
    uint32_t leftPacked = 0;     // streams found but not expanded (not made again)
};

enum class StreamUse {
    Inflatable,         // every stream that inflates cleanly, in place of its packed bytes (a base)
    InflatableKeeping,  // the same, each after its packed bytes (RecipeKeepsPacked)
    Recreated,          // only those zlib deflates again byte for byte (a new file)
};

// Finds the streams of file; streams inflating to more than expandLimit bytes in all are left as
// they are. Returns: the expanded form (its bytes equal to the file when no stream is used).
ExpandedForm ExpandStreams(const uint8_t *file, uint64_t size, StreamUse use, uint64_t expandLimit);

// The search for the settings that deflate a file's streams again. A file's streams were most
// likely made by one program with one setting: the settings that matched before are tried first.
// Until one matches, every level, memLevel 8 and 9 and the default and filtered strategies are
// tried; after WideMisses streams that nothing matched (another program's deflater), only the
// hinted level and levels 6 and 9 at memLevel 8, so that such a file costs a few attempts a stream.
class SettingsSearch {
public:
    static const int WideMisses = 8;
    // Returns: true with *settings when zlib's raw deflate turns expanded into exactly packed;
    // the hint (0: none) is tried right after the settings that matched before.
    bool Find(const uint8_t *expanded, uint64_t expandedSize, const uint8_t *packed,
              uint64_t packedSize, int levelHint, int windowBits, DeflateSettings *settings);

private:
    std::vector<DeflateSettings> matched_;  // the last match first
    int misses_ = 0;
};
