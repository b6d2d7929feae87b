#pragma once
// What the publisher asked a build for, as the command line gave it, and what the build did.
#include <stdint.h>
#include <string>
#include <vector>

#include "format/version_types.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/files.h"

// A game folder at a version the patch accepts.
struct OldVersion {
    fs::path folder;
    bool claimed = false;  // the publisher named its version ("1.0.0.0=DIR")
    uint32_t version = 0;  // the claimed one; Bin/game.ini must agree
};

struct BuildOptions {
    fs::path newFolder;
    // None: every file of the new folder is a whole file. A file gets range entries only where
    // every one of them holds the same bytes.
    std::vector<OldVersion> olds;
    // With GateOperator::UpTo, the olds are every version the patch accepts; otherwise a player
    // may hold a version nobody compared against, and every file goes in whole.
    bool allOldVersions = false;
    fs::path outFolder;
    fs::path installer;  // empty: no installer
    fs::path stub;       // the payload-free installer; empty: QPATCH_STUB, then beside the tool
    uint32_t target = 0;
    uint32_t base = 0;
    GateOperator op = GateOperator::Exact;
    std::string description;   // UTF-8, already checked
    fs::path descriptionFile;  // where it was read from, if anywhere: an input like the folders
    uint64_t chunkSize = 64ull << 20;
    uint32_t blockSize = DefaultBlockSize;
    int level = 9;
    unsigned threads = 0;        // 0: every core
    bool force = false;          // replace an existing output folder and installer file
    bool checksumRecord = true;  // the installer checks itself against a checksum record
    bool dryRun = false;         // list the entries through the report, write nothing
    bool deltas = true;          // changed files may go as deltas against their old copies
};

struct BuildSummary {
    uint64_t filesScanned = 0;
    uint64_t filesUnchanged = 0;
    uint64_t wholeEntries = 0;
    uint64_t rangeFiles = 0;
    uint64_t rangeEntries = 0;
    uint64_t bytesIn = 0;       // content of the files the patch carries
    uint64_t bytesOut = 0;      // all chunks and delta resources
    uint64_t rangeSavings = 0;  // whole-file bytes minus range bytes, over the range files
    uint64_t deltaFiles = 0;
    uint64_t deltaEntries = 0;  // one per distinct base of each delta file
    uint32_t chunks = 0;
    uint32_t deltaResources = 0;
    double milliseconds = 0;
};
