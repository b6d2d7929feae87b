#pragma once
// The publisher's side of the checksum record (payload/checksum_record.h): CRC-32 on the host and
// the record of a patch folder.
#include <stdint.h>
#include <string>
#include <vector>

#include "tools/patchtool/host/files.h"

// Returns: the CRC-32 of size bytes continued from previous (0 to start): zlib's on POSIX hosts,
// the installer's own (payload/crc32.h, tested against zlib's) on Windows.
uint32_t HostCrc32(uint32_t previous, const uint8_t *bytes, uint64_t size);

// The record of descriptor.txt and the chunks 1601..lastChunk of a patch folder.
// Returns: false with a reason when a file cannot be read or there are too many chunks.
bool ComposeChecksumRecord(const fs::path &folder, uint32_t lastChunk, std::vector<uint8_t> *record,
                           std::string *error);
