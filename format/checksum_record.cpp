#include "format/checksum_record.h"
#include "stream/little_endian.h"

void PutRecordHeader(uint8_t *record, uint32_t count)
{
    for (uint32_t i = 0; i < sizeof RecordMagic; ++i)
        record[i] = RecordMagic[i];
    PutU16(record + RecordFormatAt, RecordFormat);
    PutU16(record + RecordCountAt, (uint16_t)count);
}

void PutRecordEntry(uint8_t *record, uint32_t index, const RecordEntry &entry)
{
    uint8_t *e = record + RecordHeaderSize + index * RecordEntrySize;
    PutU16(e + EntryIdAt, entry.id);
    PutU16(e + EntryZeroAt, 0);
    PutU32(e + EntrySizeAt, entry.size);
    PutU32(e + EntryCrcAt, entry.crc);
}

bool OpenChecksumRecord(const uint8_t *bytes, uint32_t size, ChecksumRecord *record)
{
    record->entries = nullptr;
    record->count = 0;
    if (size < RecordHeaderSize || GetU16(bytes + RecordFormatAt) != RecordFormat)
        return false;
    for (uint32_t i = 0; i < sizeof RecordMagic; ++i) {
        if (bytes[i] != RecordMagic[i])
            return false;
    }
    uint32_t count = GetU16(bytes + RecordCountAt);
    if (count == 0 || count > RecordMaxEntries || size != ChecksumRecordSize(count))
        return false;
    const uint8_t *entries = bytes + RecordHeaderSize;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *e = entries + i * RecordEntrySize;
        uint32_t expected = RecordEntryId(i);
        if (GetU16(e + EntryIdAt) != expected || GetU16(e + EntryZeroAt) != 0)
            return false;
    }
    record->entries = entries;
    record->count = count;
    return true;
}

RecordEntry RecordEntryAt(const ChecksumRecord &record, uint32_t index)
{
    const uint8_t *e = record.entries + index * RecordEntrySize;
    return RecordEntry{GetU16(e + EntryIdAt), GetU32(e + EntrySizeAt), GetU32(e + EntryCrcAt)};
}

EntryCheck CheckRecordEntry(const RecordEntry &entry, const PackageView *package)
{
    const uint8_t *bytes;
    uint32_t size;
    if (!package->find(package, entry.id, &bytes, &size))
        return EntryCheck::Missing;
    if (size != entry.size)
        return EntryCheck::SizeDiffers;
    return package->crc32(0, bytes, size) == entry.crc ? EntryCheck::Matches
                                                       : EntryCheck::SumDiffers;
}

uint16_t FirstUnlistedChunk(const ChecksumRecord &record)
{
    // RecordEntryId(record.count), the id after the last one listed; count is never 0.
    return (uint16_t)(IDR_FIRST_CHUNK - 1 + record.count);
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
