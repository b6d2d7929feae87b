// Arbitrary chunk bytes through the portable entry walk, with writers that check what they are
// handed (name terminated within the buffer, data inside the chunk) and write nothing.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include "payload/walk.h"
#include "payload/progress.h"
#include "payload/run_state.h"

namespace {

struct CheckingWriters {
    EntryWriters methods;
    const uint8_t *chunk;
    size_t size;
    uint64_t dataBytes;
};

void Check(bool ok)
{
    if (!ok) {
        abort();
    }
}

void CheckEntry(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                const NameUnit *name)
{
    const CheckingWriters *w = (const CheckingWriters *)self;
    uint32_t length = 0;
    while (length < NameBufferUnits && name[length] != 0) {
        ++length;
    }
    Check(length <= MaxNameLength);
    Check(data >= w->chunk && data <= w->chunk + w->size);
    Check(dataSize <= (size_t)(w->chunk + w->size - data));
}

InstallResult WholeFile(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                        const NameUnit *name)
{
    CheckEntry(self, data, dataSize, name);
    ((CheckingWriters *)self)->dataBytes += dataSize;
    return InstallResult::Ok;
}

InstallResult Range(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                    const NameUnit *name, uint64_t)
{
    CheckEntry(self, data, dataSize, name);
    ((CheckingWriters *)self)->dataBytes += dataSize;
    return InstallResult::Ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 0x80000000u) {
        return 0;
    }
    CheckingWriters writers = {{WholeFile, Range, &progressBytes, &cancelRequested}, data, size, 0};
    cancelRequested = false;
    progressBytes = 0;
    InstallResult result = WalkEntries(data, (uint32_t)size, &writers.methods);
    // The walk counts header bytes only, each at most once.
    Check(progressBytes + writers.dataBytes <= size);
    Check(result == InstallResult::Ok || result == InstallResult::Corrupt);
    Check(result != InstallResult::Ok || progressBytes + writers.dataBytes == size);
    return 0;
}
