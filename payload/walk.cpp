#include "payload/walk.h"
#include "payload/progress.h"
#include "payload/run_state.h"
#include "stream/little_endian.h"

void PutEntryHeader(uint8_t *out, uint8_t kind, const char16_t *name, uint32_t nameLength,
                    uint64_t dataSize, uint64_t targetOffset)
{
    out[0] = kind;
    PutU16(out + 1, (uint16_t)nameLength);
    for (uint32_t i = 0; i < nameLength; ++i) {
        PutU16(out + 3 + 2 * i, name[i]);
    }
    uint8_t *fields = out + 3 + 2 * nameLength;
    PutU64(fields, dataSize);
    if (kind == EntryKindRange) {
        PutU64(fields + 8, targetOffset);
    }
}

namespace {

// Takes the next k bytes of the header into header->size.
// Returns: the first of them, or null when fewer than k remain (nothing taken).
const uint8_t *TakeField(const uint8_t *at, uint32_t remaining, EntryHeader *header, uint32_t k)
{
    if (remaining - header->size < k) {
        return nullptr;
    }
    const uint8_t *field = at + header->size;
    header->size += k;
    return field;
}

// ReadEntryHeader's body, inlined into the walk: the installer's code is counted in bytes.
__attribute__((always_inline)) inline EntryFault ReadHeaderFields(const uint8_t *at,
                                                                  uint32_t remaining,
                                                                  EntryHeader *header,
                                                                  NameUnit name[NameBufferUnits])
{
    for (uint32_t i = 0; i < NameBufferUnits; ++i) {
        name[i] = 0;
    }
    header->size = 0;
    header->targetOffset = 0;
    const uint8_t *kind = TakeField(at, remaining, header, 1);
    if (!kind) {
        return EntryFault::EndsInKind;
    }
    header->kind = *kind;
    const uint8_t *length = TakeField(at, remaining, header, 2);
    if (!length) {
        return EntryFault::EndsInNameLength;
    }
    header->nameLength = GetU16(length);
    if (header->nameLength > MaxNameLength) {
        return EntryFault::NameTooLong;
    }
    const uint8_t *units = TakeField(at, remaining, header, 2 * header->nameLength);
    if (!units) {
        return EntryFault::EndsInName;
    }
    EntryFault fault = EntryFault::None;
    for (uint32_t i = 0; i < header->nameLength; ++i) {
        name[i] = (NameUnit)GetU16(units + 2 * i);
        if (name[i] == 0) {
            fault = EntryFault::ZeroUnitInName;
        }
    }
    const uint8_t *dataSize = TakeField(at, remaining, header, 8);
    if (!dataSize) {
        return EntryFault::EndsInDataSize;
    }
    header->dataSize = GetU64(dataSize);
    if (header->kind == EntryKindRange) {
        const uint8_t *offset = TakeField(at, remaining, header, 8);
        if (!offset) {
            return EntryFault::EndsInTargetOffset;
        }
        header->targetOffset = GetU64(offset);
    }
    return header->dataSize > remaining - header->size ? EntryFault::DataPastEnd : fault;
}

}  // namespace

EntryFault ReadEntryHeader(const uint8_t *at, uint32_t remaining, EntryHeader *header,
                           NameUnit name[NameBufferUnits])
{
    return ReadHeaderFields(at, remaining, header, name);
}

InstallResult WalkEntries(const uint8_t *data, uint32_t size, const EntryWriters *writers)
{
    NameUnit name[NameBufferUnits];
    EntryHeader header;
    while (size != 0) {
        if (*writers->cancel) {
            return InstallResult::Cancelled;
        }
        EntryFault fault = ReadHeaderFields(data, size, &header, name);
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
