// The Win32 side of the self-check: resources of the running image and ntdll's CRC-32.
#include <windows.h>
#include "payload/checksum_record.h"
#include "payload/self_check.h"
#include "resources/resource.h"

namespace {

typedef DWORD(WINAPI *Crc32Function)(DWORD previous, const BYTE *bytes, INT size);
Crc32Function rtlComputeCrc32;

// Returns: false when the image has no resource id of type; true otherwise, with *bytes null when
// it cannot be mapped. Resources stay mapped while the image does, so nothing is released.
bool FindOwnResource(const wchar_t *type, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    *bytes = loaded ? (const uint8_t *)LockResource(loaded) : nullptr;
    *size = found ? SizeofResource(nullptr, found) : 0;
    return found != nullptr;
}

// A chunk that exists but cannot be mapped counts as missing, which fails the check.
bool FindChunk(const PackageView *, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    return FindOwnResource(QPATCH_TYPE, id, bytes, size) && (*bytes || *size == 0);
}

uint32_t Crc32(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
    // The length is a signed int: pieces of at most 1 GiB keep it positive.
    const uint32_t piece = 1u << 30;
    for (; size > piece; bytes += piece, size -= piece)
        previous = rtlComputeCrc32(previous, bytes, (INT)piece);
    return rtlComputeCrc32(previous, bytes, (INT)size);
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
    // ntdll is mapped into every process, so looking it up loads nothing from any folder.
    FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlComputeCrc32");
    rtlComputeCrc32 = reinterpret_cast<Crc32Function>(reinterpret_cast<void (*)()>(found));
    if (!rtlComputeCrc32)
        return SelfCheck::Damaged;
    const PackageView package = {FindChunk, Crc32};
    return PackageMatchesRecord(record, size, &package) ? SelfCheck::Intact : SelfCheck::Damaged;
}
