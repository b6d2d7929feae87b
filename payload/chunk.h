#pragma once
#include <stdint.h>
#include "payload/install_result.h"
#include "payload/walk.h"

// Applies payload chunk `id` (a QPATCH resource of the running executable) to the game folder.
// Returns: NoChunk when there is no such resource; otherwise the walk's result.
InstallResult ApplyPayloadChunk(uint16_t id);

// Walks the entries of one chunk in place and writes each through the entry writers.
// Returns: Ok only when the last entry's data ends exactly at the chunk's end.
InstallResult WalkPayloadChunk(const uint8_t *data, uint32_t size);

// Walks chunk `id` (a QPATCH resource of the running executable) with writers, after checking
// cancelRequested once the resource is loaded.
// Returns: NoChunk when there is no such resource; Cancelled; otherwise the walk's result.
InstallResult WalkChunkResource(uint16_t id, const EntryWriters *writers);
