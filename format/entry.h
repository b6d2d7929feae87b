#pragma once
// A chunk's entry header: its layout, its size, its writer and its reader, for the installer and
// the publisher's tool alike (the walk over a chunk is payload/walk.h).
//
// An entry, little-endian and unaligned, its data right behind the header:
//   kind         1 byte: EntryKindRange writes bytes into an existing file, any other a whole file
//   nameLength   2 bytes: UTF-16 units of the name, at most MaxNameLength
//   name         2 * nameLength bytes, relative to the game folder
//   dataSize     8 bytes
//   targetOffset 8 bytes, range entries only: where in the target the data go
#include <stdint.h>
#include "stream/little_endian.h"

// A name unit is one UTF-16 code unit; on Windows it is wchar_t so names go straight to Win32.
#ifdef _WIN32
typedef wchar_t NameUnit;
static_assert(sizeof(wchar_t) == 2, "Windows wide characters are UTF-16 units");
#else
typedef char16_t NameUnit;
#endif

enum : uint32_t {
    NameBufferUnits = 512,  // the name and its terminating zero
    MaxNameLength = NameBufferUnits - 1,
};

enum : uint8_t { EntryKindRange = 0 };  // any other kind is a whole file

// Returns: the bytes of the header of an entry of kind whose name has nameLength units.
inline uint32_t EntryHeaderSize(uint8_t kind, uint32_t nameLength)
{
    return 1 + 2 + 2 * nameLength + 8 + (kind == EntryKindRange ? 8 : 0);
}

// Writes the header, EntryHeaderSize(kind, nameLength) bytes, at out; targetOffset only for a
// range.
void PutEntryHeader(uint8_t *out, uint8_t kind, const char16_t *name, uint32_t nameLength,
                    uint64_t dataSize, uint64_t targetOffset);

// What ReadEntryHeader found, in the order of the fields. The first two leave a sound entry.
enum class EntryFault : uint8_t {
    None,
    ZeroUnitInName,  // a zero unit ends the name before its nameLength units
    EndsInKind,      // the chunk ends inside this field ...
    EndsInNameLength,
    NameTooLong,  // nameLength is above MaxNameLength: the name would not fit the buffer
    EndsInName,
    EndsInDataSize,
    EndsInTargetOffset,
    DataPastEnd,  // dataSize is more than the bytes after the header
};

// The installer's reading of a fault: a zero unit only ends the name early, the writers taking it
// up to there; anything after it breaks the entry, and the walk stops as Corrupt.
inline bool EntryIsBroken(EntryFault fault)
{
    return fault > EntryFault::ZeroUnitInName;
}

struct EntryHeader {
    uint8_t kind;
    uint32_t nameLength;
    uint64_t dataSize;
    uint64_t targetOffset;  // range entries; 0 for a whole file
    uint32_t size;          // header bytes read: all of them, or those of the fields before a fault
};

// Reads the header of the entry at `at`, with `remaining` bytes left in the chunk, and its name
// into name, which is cleared first so that the name ends in a zero.
// Returns: None or ZeroUnitInName when the header and the data fit in remaining; otherwise the
// first field that does not (the fields after it are left unread) or NameTooLong.
EntryFault ReadEntryHeader(const uint8_t *at, uint32_t remaining, EntryHeader *header,
                           NameUnit name[NameBufferUnits]);

// Takes the next k bytes of the header into header->size.
// Returns: the first of them, or null when fewer than k remain (nothing taken).
inline const uint8_t *TakeEntryField(const uint8_t *at, uint32_t remaining, EntryHeader *header,
                                     uint32_t k)
{
    if (remaining - header->size < k) {
        return nullptr;
    }
    const uint8_t *field = at + header->size;
    header->size += k;
    return field;
}

// ReadEntryHeader's body, inlined into the walk: the installer's code is counted in bytes.
__attribute__((always_inline)) inline EntryFault
ReadEntryHeaderFields(const uint8_t *at, uint32_t remaining, EntryHeader *header,
                      NameUnit name[NameBufferUnits])
{
    for (uint32_t i = 0; i < NameBufferUnits; ++i) {
        name[i] = 0;
    }
    header->size = 0;
    header->targetOffset = 0;
    const uint8_t *kind = TakeEntryField(at, remaining, header, 1);
    if (!kind) {
        return EntryFault::EndsInKind;
    }
    header->kind = *kind;
    const uint8_t *length = TakeEntryField(at, remaining, header, 2);
    if (!length) {
        return EntryFault::EndsInNameLength;
    }
    header->nameLength = GetU16(length);
    if (header->nameLength > MaxNameLength) {
        return EntryFault::NameTooLong;
    }
    const uint8_t *units = TakeEntryField(at, remaining, header, 2 * header->nameLength);
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
    const uint8_t *dataSize = TakeEntryField(at, remaining, header, 8);
    if (!dataSize) {
        return EntryFault::EndsInDataSize;
    }
    header->dataSize = GetU64(dataSize);
    if (header->kind == EntryKindRange) {
        const uint8_t *offset = TakeEntryField(at, remaining, header, 8);
        if (!offset) {
            return EntryFault::EndsInTargetOffset;
        }
        header->targetOffset = GetU64(offset);
    }
    return header->dataSize > remaining - header->size ? EntryFault::DataPastEnd : fault;
}
