#pragma once
// Building a patch folder (and optionally an installer) from an old and a new game folder.
#include <stdint.h>
#include <stdio.h>
#include <string>

#include "tools/patchtool/host.h"

struct BuildOptions {
    fs::path newFolder;
    fs::path oldFolder;       // empty: every file of the new folder is a whole file
    fs::path outFolder;
    fs::path installer;       // empty: no installer
    fs::path stub;            // the payload-free installer; empty: looked up
    uint32_t target = 0;
    uint32_t base = 0;
    std::string op;           // "=" or "<="
    std::string description;  // UTF-8, already checked
    uint64_t chunkSize = 64ull << 20;
    uint32_t blockSize = 524288;
    int level = 9;
    unsigned threads = 0;     // 0: every core
    bool force = false;       // replace an existing output folder
    bool checksumRecord = true;  // the installer checks itself against a checksum record
    bool progress = false;    // a progress line on stderr
};

struct BuildSummary {
    uint64_t filesScanned = 0;
    uint64_t filesUnchanged = 0;
    uint64_t wholeEntries = 0;
    uint64_t rangeFiles = 0;
    uint64_t rangeEntries = 0;
    uint64_t bytesIn = 0;          // content of the files the patch carries
    uint64_t bytesOut = 0;         // all chunks
    uint64_t rangeSavings = 0;     // whole-file bytes minus range bytes, over the range files
    uint32_t chunks = 0;
    double milliseconds = 0;
};

// Returns: 0 on success; otherwise non-zero after a message on stderr, with nothing left at the
// output paths.
int BuildPatch(const BuildOptions &options, BuildSummary *summary);

void PrintSummary(const BuildSummary &summary, FILE *out);
