#pragma once
// A chunk's entries: the header of one entry, its size, its writer and its reader, for the
// installer and the publisher's tool alike; then the portable walk over a chunk, which reads every
// header against the bytes that remain, counts header bytes into the walk's progress and hands each
// entry to a writer through a table, so that the same walk drives the disk writers and test
// writers.
//
// An entry, little-endian and unaligned, its data right behind the header:
//   kind         1 byte: EntryKindRange writes bytes into an existing file, any other a whole file
//   nameLength   2 bytes: UTF-16 units of the name, at most MaxNameLength
//   name         2 * nameLength bytes, relative to the game folder
//   dataSize     8 bytes
//   targetOffset 8 bytes, range entries only: where in the target the data go
#include <stdint.h>
#include <atomic>
#include "payload/install_result.h"

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

enum : uint32_t {
    WriterStepSize = 4096,  // writers write and account in pieces of this size
};

// The table of operations a walk hands each entry to, and the walk's context.
struct EntryWriters {
    // writeWholeFile: name is zero-terminated; data and dataSize lie inside the chunk.
    // Returns: the entry's InstallResult.
    InstallResult (*writeWholeFile)(const EntryWriters *self, const uint8_t *data,
                                    uint32_t dataSize, const NameUnit *name);
    // writeRange: as writeWholeFile, plus the byte offset in the existing target.
    // Returns: the entry's InstallResult.
    InstallResult (*writeRange)(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                                const NameUnit *name, uint64_t targetOffset);
    uint64_t *progress;               // the walk adds each header's bytes to it
    const std::atomic<bool> *cancel;  // looked at before each entry
};

// Walks size bytes of entries at data, calling writers for each complete entry.
// Returns: Ok when the last entry's data ends exactly at the end; Cancelled when writers->cancel
// is seen set before an entry; Corrupt when ReadEntryHeader finds an entry broken (nothing of that
// entry is touched); otherwise the first writer result not Ok.
InstallResult WalkEntries(const uint8_t *data, uint32_t size, const EntryWriters *writers);
