#pragma once
// Checking a patch by the installer's own rules, entry by entry.
#include <stdint.h>
#include <string>

#include "delta/common/delta_format.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/host/report.h"

struct EntryInfo {
    uint32_t chunkId;
    uint64_t chunkOffset;  // of the entry's header
    uint8_t kind;
    std::u16string name;
    uint64_t dataSize;
    uint64_t targetOffset;  // Range entries
    uint64_t decodedSize;   // WholeFile: the stream's declared size; Range: dataSize
};

// One delta entry of a QPATCHDELTA resource, its header read.
struct DeltaInfo {
    EntryInfo entry;
    const uint8_t *data;  // the delta, entry.dataSize bytes
    DeltaHeader header;
};

// Returns: the base a delta's header names (DeltaFlagNamedBase), or an empty name.
std::u16string DeltaBaseName(const DeltaHeader &header);

// NameStaysInside (format/name_rule.h) for a whole name.
bool NameStaysInside(const std::u16string &name);

// Walks one chunk as the installer does and decodes every whole-file stream completely.
// visit, when given, sees each entry whose header and data are sound.
// Returns: an empty text, or the first fault found.
std::string CheckChunk(const ChunkView &chunk, void (*visit)(const EntryInfo &, void *),
                       void *context);

// Walks one delta resource as the installer does: every entry whole-file, its name sound and its
// data a delta whose header reads (GetDeltaHeader), a base it names inside the game folder. visit,
// when given, sees each sound entry. Returns: an empty text, or the first fault found.
std::string CheckDeltaResource(const ChunkView &resource, void (*visit)(const DeltaInfo &, void *),
                               void *context);

// Lists the descriptor and every entry through report and checks the whole patch.
// Returns: an empty text, or the first fault found (also listed).
std::string InspectPatch(const LoadedPatch &patch, Report &report);
