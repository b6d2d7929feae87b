#include "payload/walk.h"
#include "payload/progress.h"
#include "payload/run_state.h"

InstallResult WalkEntries(const uint8_t *data, uint32_t size, const EntryWriters *writers)
{
    NameUnit name[NameBufferUnits];
    EntryHeader header;
    while (size != 0) {
        if (*writers->cancel) {
            return InstallResult::Cancelled;
        }
        EntryFault fault = ReadEntryHeaderFields(data, size, &header, name);
        *writers->progress += header.size;
        if (EntryIsBroken(fault)) {
            return InstallResult::Corrupt;
        }
        data += header.size;
        size -= header.size;
        uint32_t dataSize = (uint32_t)header.dataSize;
        InstallResult result =
            header.kind == EntryKindRange
                ? writers->writeRange(writers, data, dataSize, name, header.targetOffset)
                : writers->writeWholeFile(writers, data, dataSize, name);
        if (result != InstallResult::Ok) {
            return result;
        }
        data += dataSize;
        size -= dataSize;
    }
    return InstallResult::Ok;
}
