#include "format/entry.h"
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

EntryFault ReadEntryHeader(const uint8_t *at, uint32_t remaining, EntryHeader *header,
                           NameUnit name[NameBufferUnits])
{
    return ReadEntryHeaderFields(at, remaining, header, name);
}
