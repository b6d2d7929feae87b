#pragma once
// Content similarity by sampled fingerprints: a file's anchors are the places where a rolling hash
// of the last 64 bytes has its top 12 bits zero (one every 4 KiB on average, wherever the content
// moved to), and each anchor's hash is its fingerprint. Files that share content share anchors.
#include <stdint.h>
#include <string>
#include <unordered_map>

#include "tools/patchtool/host/files.h"

// Below this a file has too few anchors to be compared.
const uint64_t MinSimilarBytes = 64 << 10;

// The fingerprints of old files, each with the first file that has it.
struct SimilarityIndex {
    std::unordered_map<uint64_t, const TreeFile *> owners;
};

// Adds the fingerprints of file to index. Returns: false with a reason when it cannot be read.
bool AddToSimilarityIndex(SimilarityIndex *index, const TreeFile &file, std::string *error);

// Finds the indexed file that holds the most of f's fingerprints, when it holds a quarter of them
// or more (and at least 4): a file split off it or grown from it.
// Returns: false with a reason when f cannot be read; otherwise *best, null when none qualifies.
bool MostSimilar(const SimilarityIndex &index, const TreeFile &f, const TreeFile **best,
                 std::string *error);
