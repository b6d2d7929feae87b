// The Win32 side of the self-check: the resources of the running image.
#include <windows.h>
#include "payload/checksum_record.h"
#include "payload/chunk.h"
#include "payload/crc32.h"
#include "payload/self_check.h"
#include "resources/resource.h"

namespace {

// A chunk that exists but cannot be mapped counts as missing, which fails the check.
bool FindChunk(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindOwnResource(QPATCH_TYPE, id, bytes, size) && (*bytes || *size == 0);
}

}  // namespace

SelfCheck CheckOwnPackage()
{
    const uint8_t *record;
    uint32_t size;
    if (!FindOwnResource(CHECKSUM_RECORD_TYPE, ChecksumRecordId, &record, &size))
        return SelfCheck::NoRecord;
    if (!record)
        return SelfCheck::Damaged;
    const PackageView package = {FindChunk, Crc32};
    return PackageMatchesRecord(record, size, &package) ? SelfCheck::Intact : SelfCheck::Damaged;
}
