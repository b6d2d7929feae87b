#include "payload/chunk.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/run_state.h"
#include "resources/resource.h"

namespace {

InstallResult DiskWholeFile(const EntryWriters *, const uint8_t *data, uint32_t dataSize,
                            const NameUnit *name)
{
    return WriteWholeFileEntry(data, dataSize, name);
}

InstallResult DiskRange(const EntryWriters *, const uint8_t *data, uint32_t dataSize,
                        const NameUnit *name, uint64_t targetOffset)
{
    return WriteRangeEntry(data, dataSize, name, targetOffset);
}

// Walks one chunk that was found, once the walk's cancel has been looked at.
// Returns: Corrupt when it could not be mapped; Cancelled; otherwise the walk's result.
InstallResult WalkFoundChunk(const uint8_t *bytes, uint32_t size, const EntryWriters *writers)
{
    if (!bytes) {
        return InstallResult::Corrupt;
    }
    return *writers->cancel ? InstallResult::Cancelled : WalkEntries(bytes, size, writers);
}

}  // namespace

const EntryWriters diskWriters = {
    DiskWholeFile, /* writeWholeFile */
    DiskRange,     /* writeRange */
    &progressBytes,
    &cancelRequested,
};

bool FindOwnResource(const wchar_t *type, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    *bytes = loaded ? (const uint8_t *)LockResource(loaded) : nullptr;
    *size = found ? SizeofResource(nullptr, found) : 0;
    return found != nullptr;
}

uint64_t TotalResourceSize(const wchar_t *type)
{
    uint64_t total = 0;
    const uint8_t *bytes;
    uint32_t size;
    for (uint16_t id = IDR_FIRST_CHUNK;
         id <= LastChunkId && FindOwnResource(type, id, &bytes, &size); ++id) {
        total += size;
    }
    return total;
}

uint64_t TotalPayloadSize()
{
    return TotalResourceSize(QPATCH_TYPE) + TotalResourceSize(QPATCH_DELTA_TYPE);
}

InstallResult ForEachChunk(const EntryWriters *writers)
{
    return ForEachResource(QPATCH_TYPE, writers);
}

InstallResult ForEachResource(const wchar_t *type, const EntryWriters *writers)
{
    for (uint16_t id = IDR_FIRST_CHUNK; id <= LastChunkId; ++id) {
        const uint8_t *bytes;
        uint32_t size;
        if (!FindOwnResource(type, id, &bytes, &size)) {
            return id == IDR_FIRST_CHUNK ? InstallResult::NoChunk : InstallResult::Ok;
        }
        InstallResult result = WalkFoundChunk(bytes, size, writers);
        if (result != InstallResult::Ok) {
            return result;
        }
    }
    return InstallResult::Ok;
}

InstallResult ApplyPayloadChunk(uint16_t id)
{
    const uint8_t *bytes;
    uint32_t size;
    if (!FindOwnResource(QPATCH_TYPE, id, &bytes, &size)) {
        return InstallResult::NoChunk;
    }
    return WalkFoundChunk(bytes, size, &diskWriters);
}

InstallResult WalkPayloadChunk(const uint8_t *data, uint32_t size)
{
    return WalkEntries(data, size, &diskWriters);
}
