// The Win32 side of the self-check: the resources of the running image.
#include <windows.h>
#include "format/checksum_record.h"
#include "payload/chunk.h"
#include "stream/crc32.h"
#include "payload/self_check.h"
#include "resources/resource.h"

namespace {

// A resource that exists but cannot be mapped counts as missing, which fails the check.
bool FindMapped(const wchar_t *type, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindOwnResource(type, id, bytes, size) && (*bytes || *size == 0);
}

bool FindChunk(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindMapped(QPATCH_TYPE, id, bytes, size);
}

// The delta record lists the descriptor first, then the delta resources.
bool FindDelta(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindMapped(id == IDR_DESCRIPTOR ? QPATCH_TYPE : QPATCH_DELTA_TYPE, id, bytes, size);
}

SelfCheck CheckRecord(uint16_t recordId, const PackageView *package)
{
    const uint8_t *record;
    uint32_t size;
    if (!FindOwnResource(CHECKSUM_RECORD_TYPE, recordId, &record, &size))
        return SelfCheck::NoRecord;
    if (!record)
        return SelfCheck::Damaged;
    return PackageMatchesRecord(record, size, package) ? SelfCheck::Intact : SelfCheck::Damaged;
}

}  // namespace

SelfCheck CheckOwnPackage()
{
    const PackageView chunks = {FindChunk, Crc32};
    const PackageView deltas = {FindDelta, Crc32};
    SelfCheck chunkCheck = CheckRecord(ChecksumRecordId, &chunks);
    SelfCheck deltaCheck = CheckRecord(DeltaRecordId, &deltas);
    if (chunkCheck == SelfCheck::Damaged || deltaCheck == SelfCheck::Damaged)
        return SelfCheck::Damaged;
    const uint8_t *ignored;
    uint32_t ignoredSize;
    // A checked package whose deltas are not listed had them added after it was built.
    if (deltaCheck == SelfCheck::NoRecord && chunkCheck == SelfCheck::Intact &&
        FindOwnResource(QPATCH_DELTA_TYPE, IDR_FIRST_CHUNK, &ignored, &ignoredSize))
        return SelfCheck::Damaged;
    return chunkCheck == SelfCheck::Intact || deltaCheck == SelfCheck::Intact ? SelfCheck::Intact
                                                                              : SelfCheck::NoRecord;
}
