#pragma once
// The portable walk over one chunk's entries. It checks every header field against the bytes
// that remain, counts header bytes into progressBytes and hands each entry to a writer through
// a table, so that the same walk drives the disk writers and test writers alike.
#include <stdint.h>
#include "payload/install_result.h"

// A name unit is one UTF-16 code unit; on Windows it is wchar_t so names go straight to Win32.
#ifdef _WIN32
typedef wchar_t NameUnit;
static_assert(sizeof(wchar_t) == 2, "Windows wide characters are UTF-16 units");
#else
typedef char16_t NameUnit;
#endif

enum : uint32_t {
    NameBufferUnits = 512,          // the name and its terminating zero
    MaxNameLength = NameBufferUnits - 1,
    PieceSize = 4096,               // writers write and account in pieces of this size
};

enum : uint8_t { EntryKindRange = 0 };  // any other kind is a whole file

struct EntryWriters {
    // writeWholeFile: name is zero-terminated; data and dataSize lie inside the chunk.
    // Returns: the entry's InstallResult.
    InstallResult (*writeWholeFile)(const EntryWriters *self, const uint8_t *data,
                                    uint32_t dataSize, const NameUnit *name);
    // writeRange: as writeWholeFile, plus the byte offset in the existing target.
    // Returns: the entry's InstallResult.
    InstallResult (*writeRange)(const EntryWriters *self, const uint8_t *data,
                                uint32_t dataSize, const NameUnit *name, uint64_t targetOffset);
};

// Walks size bytes of entries at data, calling writers for each complete entry.
// Returns: Ok when the last entry's data ends exactly at the end; Cancelled when cancelRequested
// is seen before an entry; Corrupt when a field or the data runs past the end or a name is longer
// than MaxNameLength (nothing of that entry is touched); otherwise the first writer result not Ok.
InstallResult WalkEntries(const uint8_t *data, uint32_t size, const EntryWriters *writers);
