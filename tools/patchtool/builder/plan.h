#pragma once
// What the steps of a build share: the plan, checked before any work, and each file's work item.
#include <stdint.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/patchtool/builder/build_options.h"
#include "tools/patchtool/builder/ranges.h"
#include "tools/patchtool/builder/stub.h"
#include "tools/patchtool/pe/pe_resources.h"

// Files are compared and copied in pieces of this size, so memory does not grow with them.
const size_t ReadBufferBytes = 1 << 20;

struct OldTree {
    std::vector<TreeFile> files;
    std::map<std::string, const TreeFile *> byName;
    std::set<std::string> folders;  // every folder of the tree, by name
};

struct Plan {
    std::vector<TreeFile> newFiles;
    std::vector<std::string> newEmptyFolders;
    std::vector<OldTree> olds;
    Stub stub;  // its path resolved once; empty without --installer
    bool rangesAllowed = true;
};

// How a file travels. The two ...OrWhole choices wait for the whole file's compressed size: the
// alternative goes unless the whole file turns out smaller.
enum class Choice : uint8_t {
    Unchanged,
    Ranges,
    Delta,
    Whole,
    RangesOrWhole,
    DeltaOrWhole,
};

// Returns: true when the file's blocks are compressed, as the whole file or to be weighed.
inline bool CompressesWhole(Choice c)
{
    return c == Choice::Whole || c == Choice::RangesOrWhole || c == Choice::DeltaOrWhole;
}

// Returns: true when the file goes as its deltas if it does not go whole.
inline bool AlternativeIsDelta(Choice c)
{
    return c == Choice::Delta || c == Choice::DeltaOrWhole;
}

// One encoded delta, waiting in the delta spool.
struct SpooledDelta {
    uint64_t offset;
    uint64_t size;
};

struct FileWork {
    const TreeFile *file;
    std::u16string name;
    std::vector<const TreeFile *> olds;  // one per old folder; empty when one of them lacks it
    std::u16string baseName;             // olds are another file's copies, the base its deltas name
    bool rangesPossible = true;          // no old copy is longer than the new file
    Choice choice = Choice::Whole;
    std::vector<ByteRange> ranges;
    uint64_t rangeCost = 0;
    std::vector<SpooledDelta> deltas;  // one per distinct base that differs from the new file
    uint64_t deltaCost = 0;
    uint64_t blockCount = 0;
    std::atomic<bool> abandoned{false};  // the compressed size already exceeds the alternative
};

// Returns: what f costs as ranges or deltas, whichever was chosen as its alternative.
inline uint64_t AlternativeCost(const FileWork &f)
{
    return AlternativeIsDelta(f.choice) ? f.deltaCost : f.rangeCost;
}
