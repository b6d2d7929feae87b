#include "payload/chunk.h"
#include "payload/entry_writers.h"
#include "payload/walk.h"
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

const EntryWriters diskWriters = {
    DiskWholeFile,  /* writeWholeFile */
    DiskRange,      /* writeRange */
};

}  // namespace

InstallResult WalkPayloadChunk(const uint8_t *data, uint32_t size)
{
    return WalkEntries(data, size, &diskWriters);
}

InstallResult ApplyPayloadChunk(uint16_t id)
{
    return WalkChunkResource(id, &diskWriters);
}

InstallResult WalkChunkResource(uint16_t id, const EntryWriters *writers)
{
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), QPATCH_TYPE);
    if (!info) {
        return InstallResult::NoChunk;
    }
    DWORD size = SizeofResource(nullptr, info);
    HGLOBAL loaded = LoadResource(nullptr, info);
    if (!loaded) {
        return InstallResult::Corrupt;
    }
    const uint8_t *bytes = (const uint8_t *)LockResource(loaded);
    InstallResult result = InstallResult::Corrupt;
    if (bytes) {
        result = cancelRequested ? InstallResult::Cancelled : WalkEntries(bytes, size, writers);
    }
    FreeResource(loaded);
    return result;
}
