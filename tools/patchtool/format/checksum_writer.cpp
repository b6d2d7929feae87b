#include "tools/patchtool/format/checksum_writer.h"

#ifdef _WIN32
#include "stream/crc32.h"
#else
#include <zlib.h>
#endif

namespace {

// Pieces of at most 1 GiB: zlib takes an unsigned int.
const uint64_t CrcCallBytes = 1u << 30;

uint32_t CrcOnHostCall(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
#ifdef _WIN32
    return Crc32(previous, bytes, size);
#else
    return (uint32_t)crc32(previous, bytes, size);
#endif
}

}  // namespace

uint32_t HostCrc32(uint32_t previous, const uint8_t *bytes, uint64_t size)
{
    for (; size > CrcCallBytes; bytes += CrcCallBytes, size -= CrcCallBytes) {
        previous = CrcOnHostCall(previous, bytes, (uint32_t)CrcCallBytes);
    }
    return CrcOnHostCall(previous, bytes, (uint32_t)size);
}

std::vector<uint8_t> ComposeChecksumRecord(const std::vector<RecordEntry> &entries)
{
    uint32_t count = (uint32_t)entries.size();
    std::vector<uint8_t> record(ChecksumRecordSize(count));
    PutRecordHeader(record.data(), count);
    for (uint32_t i = 0; i < count; ++i) {
        PutRecordEntry(record.data(), i, entries[i]);
    }
    return record;
}
