#pragma once
// What the steps of a build share: the plan, checked before any work, and each file's work item.
#include <stdint.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/patchtool/builder/build.h"
#include "tools/patchtool/builder/ranges.h"
#include "tools/patchtool/builder/stub.h"
#include "tools/patchtool/pe/pe_resources.h"

// Files are compared and copied in pieces of this size, so memory does not grow with them.
const size_t PieceBytes = 1 << 20;

struct OldTree {
    std::vector<TreeFile> files;
    std::map<std::string, const TreeFile *> byName;
    std::set<std::string> folders;  // every folder of the tree, by name
};

struct Plan {
    std::vector<TreeFile> newFiles;
    std::vector<OldTree> olds;
    Stub stub;  // its path resolved once; empty without --installer
    bool rangesAllowed = true;
};

enum class Choice : uint8_t {
    Unchanged,
    Ranges,
    Whole,
    Cheaper,  // ranges unless the compressed whole file turns out smaller
};

struct FileWork {
    const TreeFile *file;
    std::u16string name;
    std::vector<const TreeFile *> olds;  // one per old folder; empty when one of them lacks it
    Choice choice = Choice::Whole;
    std::vector<ByteRange> ranges;
    uint64_t rangeCost = 0;
    uint64_t blockCount = 0;
    std::atomic<bool> abandoned{false};  // the compressed size already exceeds the ranges
};
