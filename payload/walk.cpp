#include "payload/walk.h"
#include "payload/progress.h"
#include "payload/run_state.h"
#include "stream/little_endian.h"

namespace {

struct Cursor {
    const uint8_t *at;
    uint32_t remaining;
};

struct EntryHeader {
    uint8_t kind;
    uint64_t dataSize;
    uint64_t targetOffset;  // Range entries only
};

// Takes k bytes from the cursor and counts them as header bytes.
// Returns: the first of them, or null when fewer than k remain (nothing taken).
const uint8_t *TakeHeader(Cursor *cursor, uint32_t k)
{
    if (cursor->remaining < k) {
        return nullptr;
    }
    const uint8_t *field = cursor->at;
    cursor->at += k;
    cursor->remaining -= k;
    progressBytes += k;
    return field;
}

// Reads one entry header into header and name (cleared first, so the name ends in a zero).
// Returns: false when a field runs past the end or the name would not fit the buffer.
bool ReadEntryHeader(Cursor *cursor, EntryHeader *header, NameUnit name[NameBufferUnits])
{
    for (uint32_t i = 0; i < NameBufferUnits; ++i) {
        name[i] = 0;
    }
    const uint8_t *kind = TakeHeader(cursor, 1);
    if (!kind) {
        return false;
    }
    header->kind = *kind;
    const uint8_t *length = TakeHeader(cursor, 2);
    if (!length) {
        return false;
    }
    uint32_t nameLength = GetU16(length);
    if (nameLength > MaxNameLength) {
        return false;
    }
    const uint8_t *units = TakeHeader(cursor, 2 * nameLength);
    if (!units) {
        return false;
    }
    for (uint32_t i = 0; i < nameLength; ++i) {
        name[i] = (NameUnit)GetU16(units + 2 * i);
    }
    const uint8_t *dataSize = TakeHeader(cursor, 8);
    if (!dataSize) {
        return false;
    }
    header->dataSize = GetU64(dataSize);
    header->targetOffset = 0;
    if (header->kind == EntryKindRange) {
        const uint8_t *offset = TakeHeader(cursor, 8);
        if (!offset) {
            return false;
        }
        header->targetOffset = GetU64(offset);
    }
    return true;
}

}  // namespace

InstallResult WalkEntries(const uint8_t *data, uint32_t size, const EntryWriters *writers)
{
    Cursor cursor = {data, size};
    NameUnit name[NameBufferUnits];
    EntryHeader header;
    while (cursor.remaining != 0) {
        if (cancelRequested) {
            return InstallResult::Cancelled;
        }
        if (!ReadEntryHeader(&cursor, &header, name) || header.dataSize > cursor.remaining) {
            return InstallResult::Corrupt;
        }
        uint32_t dataSize = (uint32_t)header.dataSize;
        InstallResult result = header.kind == EntryKindRange
            ? writers->writeRange(writers, cursor.at, dataSize, name, header.targetOffset)
            : writers->writeWholeFile(writers, cursor.at, dataSize, name);
        if (result != InstallResult::Ok) {
            return result;
        }
        cursor.at += dataSize;
        cursor.remaining -= dataSize;
    }
    return InstallResult::Ok;
}
