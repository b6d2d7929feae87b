#pragma once
// The portable walk over a chunk's entries (format/entry.h): it reads every header against the
// bytes that remain, counts header bytes into the walk's progress and hands each entry to a writer
// through a table, so that the same walk drives the disk writers and test writers.
#include <stdint.h>
#include <atomic>
#include "format/entry.h"
#include "payload/install_result.h"

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
