#pragma once
// A patch as the installer would see it: read from a patch folder (descriptor.txt, 1601.bin,
// 1601.delta, 1601.remove ...) or from the QPATCH, QPATCHDELTA and QPATCHREMOVE resources of an
// installer executable.
#include <stdint.h>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tools/patchtool/host/files.h"
#include "tools/patchtool/format/installer_extras.h"

struct ChunkView {
    uint32_t id;
    const uint8_t *data;
    uint64_t size;
    bool delta = false;  // a QPATCHDELTA resource, not a chunk
};

struct LoadedPatch {
    bool hasDescriptor = false;
    std::vector<uint8_t> descriptor;
    // The chunks the installer applies: 1601 upward to the first missing id.
    std::vector<ChunkView> chunks;
    // Chunk ids present beyond the first missing one; the installer never reads them.
    std::vector<uint32_t> strayIds;
    // The delta resources, taken as the chunks are; their entries are applied after the chunks'.
    std::vector<ChunkView> deltas;
    std::vector<uint32_t> strayDeltaIds;
    // The removal list (format/removal_list.h), applied after every write; null data without one.
    ChunkView removals = {IDR_FIRST_CHUNK, nullptr, 0};
    std::vector<std::vector<uint8_t>> storage;  // an installer's image is storage[0]
    InstallerExtras extras;
};

// Returns: false with a reason when the path cannot be read or an executable is malformed.
bool LoadPatch(const fs::path &path, LoadedPatch *patch, std::string *error);
