#pragma once
// The publisher's side of the checksum record (format/checksum_record.h, whose writer it uses):
// CRC-32 on the host, and the record of what was summed.
#include <stdint.h>
#include <vector>

#include "format/checksum_record.h"

// Returns: the CRC-32 of size bytes continued from previous (0 to start): zlib's on POSIX hosts,
// the installer's own (stream/crc32.h, tested against zlib's) on Windows.
uint32_t HostCrc32(uint32_t previous, const uint8_t *bytes, uint64_t size);

// Returns: the record listing entries, 1 to RecordMaxEntries of them, entry i with the id
// RecordEntryId(i).
std::vector<uint8_t> ComposeChecksumRecord(const std::vector<RecordEntry> &entries);
