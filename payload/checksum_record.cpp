#include "payload/checksum_record.h"
#include "stream/little_endian.h"

bool OpenChecksumRecord(const uint8_t *bytes, uint32_t size, ChecksumRecord *record)
{
    record->entries = nullptr;
    record->count = 0;
    if (size < RecordHeaderSize || GetU16(bytes + 4) != RecordFormat)
        return false;
    for (uint32_t i = 0; i < sizeof RecordMagic; ++i) {
        if (bytes[i] != RecordMagic[i])
            return false;
    }
    uint32_t count = GetU16(bytes + 6);
    if (count == 0 || count > RecordMaxEntries || size != RecordHeaderSize + count * RecordEntrySize)
        return false;
    const uint8_t *entries = bytes + RecordHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *e = entries + i * RecordEntrySize;
        uint32_t expected = i == 0 ? IDR_DESCRIPTOR : IDR_FIRST_CHUNK - 1 + i;
        if (GetU16(e) != expected || GetU16(e + 2) != 0)
            return false;
    }
    record->entries = entries;
    record->count = count;
    return true;
}

RecordEntry RecordEntryAt(const ChecksumRecord &record, uint32_t index)
{
    const uint8_t *e = record.entries + index * RecordEntrySize;
    return RecordEntry{GetU16(e), GetU32(e + 4), GetU32(e + 8)};
}

EntryCheck CheckRecordEntry(const RecordEntry &entry, const PackageView *package)
{
    const uint8_t *bytes;
    uint32_t size;
    if (!package->find(package, entry.id, &bytes, &size))
        return EntryCheck::Missing;
    if (size != entry.size)
        return EntryCheck::SizeDiffers;
    return package->crc32(0, bytes, size) == entry.crc ? EntryCheck::Matches : EntryCheck::SumDiffers;
}

uint16_t FirstUnlistedChunk(const ChecksumRecord &record)
{
    // Entry 0 is the descriptor, so count - 1 chunks are listed.
    return (uint16_t)(IDR_FIRST_CHUNK + record.count - 1);
}

bool PackageMatchesRecord(const uint8_t *bytes, uint32_t size, const PackageView *package)
{
    ChecksumRecord record;
    if (!OpenChecksumRecord(bytes, size, &record))
        return false;
    for (uint32_t i = 0; i < record.count; ++i) {
        if (CheckRecordEntry(RecordEntryAt(record, i), package) != EntryCheck::Matches)
            return false;
    }
    uint16_t unlisted = FirstUnlistedChunk(record);
    const uint8_t *ignored;
    uint32_t ignoredSize;
    return unlisted == IDR_DESCRIPTOR || !package->find(package, unlisted, &ignored, &ignoredSize);
}
