#pragma once
// The payload's chunks: the QPATCH resources of the running executable from IDR_FIRST_CHUNK up to
// the first missing id, LastChunkId at most, each walked in place in the image's memory.
#include <windows.h>
#include <stdint.h>
#include "payload/install_result.h"
#include "payload/walk.h"

// Finds resource id of type in the running executable and maps it. A resource of the running
// image stays mapped while the image does, so nothing is ever released, and mapping it reads
// nothing: its pages are touched only when its bytes are.
// Returns: false when there is no such resource (*bytes null, *size 0); true otherwise, with
// *size set and *bytes null when it cannot be mapped.
bool FindOwnResource(const wchar_t *type, uint16_t id, const uint8_t **bytes, uint32_t *size);

// The writers that put entries on disk (payload/entry_writers.h).
extern const EntryWriters diskWriters;

// Returns: the sum of the sizes of the resources of type from IDR_FIRST_CHUNK up to the first
// missing id, in 64 bits.
uint64_t TotalResourceSize(const wchar_t *type);

// Returns: the sum of the sizes of the chunks that ForEachChunk walks and of the deltas.
uint64_t TotalPayloadSize();

// Walks the resources of type as ForEachChunk walks the chunks.
// Returns: as ForEachChunk.
InstallResult ForEachResource(const wchar_t *type, const EntryWriters *writers);

// Walks chunk IDR_FIRST_CHUNK and every one after it up to the first missing id with writers,
// checking the walk's cancel before each walk; no writer may return NoChunk.
// Returns: Ok when every chunk walked to Ok; NoChunk when there is no chunk IDR_FIRST_CHUNK;
// otherwise the first result that is not Ok (Corrupt for a chunk that cannot be mapped,
// Cancelled), and the chunks after it are never walked.
InstallResult ForEachChunk(const EntryWriters *writers);

// Applies payload chunk `id` to the game folder, as ForEachChunk does with diskWriters.
// Returns: NoChunk when there is no such resource; otherwise the walk's result.
InstallResult ApplyPayloadChunk(uint16_t id);

// Walks the entries of one chunk in place and writes each through the entry writers.
// Returns: Ok only when the last entry's data ends exactly at the chunk's end.
InstallResult WalkPayloadChunk(const uint8_t *data, uint32_t size);
