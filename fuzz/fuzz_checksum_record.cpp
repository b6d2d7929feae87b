// Arbitrary checksum records against a fixed package: the check must never read outside the
// record, and an accepted record must list every resource with its true size.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include "format/checksum_record.h"

namespace {

const uint8_t descriptor[] = "1.1.0.1 = 1.1.0.0\r\n";
const uint8_t chunk[] = {1, 0, 0, 2, 0};

bool Find(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    if (id != 2000 && id != 1601)
        return false;
    *bytes = id == 2000 ? descriptor : chunk;
    *size = id == 2000 ? sizeof descriptor : sizeof chunk;
    return true;
}

// Weak on purpose: the fuzzer can then reach an accepted record.
uint32_t Sum(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
    for (uint32_t i = 0; i < size; ++i)
        previous += bytes[i];
    return previous;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    // An exact-size copy, so that any read past the end is caught.
    uint8_t *record = (uint8_t *)malloc(size ? size : 1);
    if (!record)
        return 0;
    memcpy(record, data, size);
    const PackageView package = {Find, Sum};
    if (PackageMatchesRecord(record, (uint32_t)size, &package)) {
        ChecksumRecord opened;
        if (!OpenChecksumRecord(record, (uint32_t)size, &opened) || opened.count != 2 ||
            RecordEntryAt(opened, 0).size != sizeof descriptor ||
            RecordEntryAt(opened, 1).size != sizeof chunk)
            abort();
    }
    free(record);
    return 0;
}
