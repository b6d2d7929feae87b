#pragma once
// The resource tree of a PE image: read from its section, and built for a new one.
#include <stdint.h>

#include <vector>

#include "tools/patchtool/pe/image_layout.h"
#include "tools/patchtool/pe/pe_resources.h"

// Named entries come first, ordered by their units; then ids in increasing order.
bool KeyLess(const ResourceKey &a, const ResourceKey &b);
bool KeyEquals(const ResourceKey &a, const ResourceKey &b);

// The serialised tree: tables, then name strings, then data entries; the data follow it.
struct TreeImage {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> dataOffsets;  // per item, from the section's start
    uint64_t totalSize;
};

// Lays out the tree of sorted (by type, name and language) for a section at sectionRva.
void BuildTree(const std::vector<PeResource> &sorted, uint32_t sectionRva, TreeImage *tree);
