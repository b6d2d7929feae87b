// The Win32 side of the self-check: the resources of the running image.
#include <windows.h>
#include "format/checksum_record.h"
#include "format/removal_list.h"
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

// The removal record lists the descriptor, then the removal list.
bool FindRemovals(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindMapped(id == IDR_DESCRIPTOR ? QPATCH_TYPE : QPATCH_REMOVE_TYPE, id, bytes, size);
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
    const PackageView removals = {FindRemovals, Crc32};
    SelfCheck chunkCheck = CheckRecord(ChecksumRecordId, &chunks);
    SelfCheck deltaCheck = CheckRecord(DeltaRecordId, &deltas);
    SelfCheck removalCheck = CheckRecord(RemovalRecordId, &removals);
    if (chunkCheck == SelfCheck::Damaged || deltaCheck == SelfCheck::Damaged ||
        removalCheck == SelfCheck::Damaged)
        return SelfCheck::Damaged;
    bool checked = chunkCheck == SelfCheck::Intact || deltaCheck == SelfCheck::Intact ||
                   removalCheck == SelfCheck::Intact;
    const uint8_t *ignored;
    uint32_t ignoredSize;
    // A checked package whose deltas or removals are not listed had them added after it was built.
    if (checked && deltaCheck == SelfCheck::NoRecord &&
        FindOwnResource(QPATCH_DELTA_TYPE, IDR_FIRST_CHUNK, &ignored, &ignoredSize))
        return SelfCheck::Damaged;
    if (checked && removalCheck == SelfCheck::NoRecord &&
        FindOwnResource(QPATCH_REMOVE_TYPE, IDR_FIRST_CHUNK, &ignored, &ignoredSize))
        return SelfCheck::Damaged;
    return checked ? SelfCheck::Intact : SelfCheck::NoRecord;
}
