#pragma once
// The package: entries written into chunk files, and deltas into delta files, of bounded size (or,
// in a dry run, only counted and listed), and what a whole-file or range entry costs there.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/host/report.h"

struct ChunkWriter {
    fs::path folder;
    bool deltas = false;  // writes delta files (NNNN.delta) instead of chunks
    bool dryRun = false;
    Report *report = nullptr;  // the dry run's listing
    FILE *file = nullptr;
    uint32_t id = IDR_FIRST_CHUNK - 1;
    uint64_t used = 0;
    uint64_t limit = 0;
    uint64_t total = 0;
};

// The stored blocks of the file being compressed, in order, in a spool file.
struct Spool {
    fs::path path;
    FILE *file = nullptr;
    std::vector<uint32_t> sizes;
    uint64_t bytes = 0;
};

// The deltas encoded so far, back to back in a spool file until their entries are written.
struct DeltaSpool {
    fs::path path;
    FILE *file = nullptr;  // null in a dry run
    uint64_t bytes = 0;    // where the next delta goes
};

// Where the deltas go: their spool and their own files.
struct DeltaOutput {
    ChunkWriter writer;
    DeltaSpool spool;
};

// Returns: false with a reason when the current chunk cannot be closed cleanly.
bool CloseChunk(ChunkWriter *w, std::string *error);

// Writes f's ranges as range entries, each run cut to fit a chunk.
// Returns: false with a reason naming the file.
bool EmitRanges(const BuildOptions &o, ChunkWriter *w, FileWork &f, std::vector<uint8_t> *piece,
                std::string *error);

// Writes f as one whole-file entry of the blocks in the spool.
// Returns: false with a reason naming the file.
bool EmitWhole(const BuildOptions &o, ChunkWriter *w, const FileWork &f, Spool *s,
               std::vector<uint8_t> *piece, std::string *error);

// Writes f's deltas from the spool, one entry each, one after another.
// Returns: false with a reason naming the file.
bool EmitDeltas(ChunkWriter *w, const FileWork &f, const DeltaSpool &s, std::vector<uint8_t> *piece,
                std::string *error);

// Returns: the bytes of the entry headers of f's deltas, count of them.
uint64_t DeltaHeadersCost(const FileWork &f, uint64_t count);

// Returns: the bytes of f's whole-file entry with the blocks spooled so far.
uint64_t WholeCost(const FileWork &f, const Spool &s);

// Returns: the least a whole-file entry of f can cost, before its blocks are compressed.
uint64_t LeastWholeCost(const FileWork &f);
