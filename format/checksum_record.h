#pragma once
// The checksum record: a resource of its own type beside the QPATCH resources that holds the size
// and CRC-32 of the descriptor and of every chunk, so that the installer can refuse a damaged
// package before it writes anything. The chunk format itself carries no checksum.
//
// Layout (little-endian), exactly ChecksumRecordSize(count) bytes:
//   "QCRC", u16 format (1), u16 count;
//   count entries of u16 resource id, u16 zero, u32 size, u32 CRC-32 (zlib's, initial value 0).
// Entry 0 is the descriptor (2000); entry i >= 1 is chunk 1600 + i, so the chunks listed are
// 1601 upward without a gap, exactly the ones the worker applies (RecordEntryId).
// The writer stands beside the reader: the publisher's tool writes what the installer reads.
//
// An installer with deltas has a second record, DeltaRecordId, of the same layout, whose entries
// i >= 1 are the QPATCHDELTA resources 1600 + i instead (entry 0 is the descriptor again). An
// installer without deltas has neither the resources nor that record. An installer with a removal
// list (format/removal_list.h) has a third, RemovalRecordId, whose entry 1 is that list.
#include <stdint.h>
#include "resources/resource.h"

#define CHECKSUM_RECORD_TYPE L"QPATCHCRC"
#define CHECKSUM_RECORD_TYPE_U16                                                                   \
    u"QPATCHCRC"  // the same name for the publisher's tool, on any host
enum : uint16_t { ChecksumRecordId = 1, DeltaRecordId = 2, RemovalRecordId = 3 };

// The record's first four bytes.
static const uint8_t RecordMagic[4] = {'Q', 'C', 'R', 'C'};

enum : uint32_t {
    RecordHeaderSize = 8,
    RecordFormatAt = 4,
    RecordCountAt = 6,
    RecordEntrySize = 12,
    EntryIdAt = 0,
    EntryZeroAt = 2,
    EntrySizeAt = 4,
    EntryCrcAt = 8,
    RecordFormat = 1,
    RecordMaxEntries = 1 + (LastChunkId - IDR_FIRST_CHUNK + 1),  // the descriptor, 399 chunks
};

struct RecordEntry {
    uint16_t id;
    uint32_t size;
    uint32_t crc;
};

// Returns: the bytes of a record of count entries.
inline uint32_t ChecksumRecordSize(uint32_t count)
{
    return RecordHeaderSize + count * RecordEntrySize;
}

// Returns: the resource id that entry index must name: the descriptor, then the chunks in turn.
inline uint32_t RecordEntryId(uint32_t index)
{
    return index == 0 ? IDR_DESCRIPTOR : IDR_FIRST_CHUNK - 1 + index;
}

// Writes the header of a record of count entries (1 to RecordMaxEntries) at record, which holds
// ChecksumRecordSize(count) bytes; PutRecordEntry writes each entry.
void PutRecordHeader(uint8_t *record, uint32_t count);

// Writes entry index of the record at record; its id must be RecordEntryId(index).
void PutRecordEntry(uint8_t *record, uint32_t index, const RecordEntry &entry);

// A record whose header and ids are sound; entries points into the caller's bytes.
struct ChecksumRecord {
    const uint8_t *entries;
    uint32_t count;
};

// Checks the header, the exact size and the ids.
// Returns: true with *record set; false for any malformed record (then *record is empty).
bool OpenChecksumRecord(const uint8_t *bytes, uint32_t size, ChecksumRecord *record);

// Returns: entry index (below record.count) decoded.
RecordEntry RecordEntryAt(const ChecksumRecord &record, uint32_t index);

// How the check reaches the package: the QPATCH resources and a CRC-32 function.
struct PackageView {
    // Returns: true with the bytes of QPATCH resource id; false when there is none.
    bool (*find)(const PackageView *self, uint16_t id, const uint8_t **bytes, uint32_t *size);
    // Returns: the CRC-32 of size bytes continued from previous (0 to start), as zlib computes it.
    uint32_t (*crc32)(uint32_t previous, const uint8_t *bytes, uint32_t size);
};

enum class EntryCheck : uint8_t {
    Matches,
    Missing,      // the resource is absent
    SizeDiffers,  // truncated or grown; the CRC is not computed
    SumDiffers,
};

// Compares one listed resource with the package.
EntryCheck CheckRecordEntry(const RecordEntry &entry, const PackageView *package);

// Returns: the first chunk id after the listed ones (1601 when the record lists none).
uint16_t FirstUnlistedChunk(const ChecksumRecord &record);

// The installer's whole check: a sound record, every listed resource matching, and no chunk
// after the listed ones (the worker would apply it unchecked).
// Returns: true only when all of that holds.
bool PackageMatchesRecord(const uint8_t *bytes, uint32_t size, const PackageView *package);
