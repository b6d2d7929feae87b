#include "tools/patchtool/format/checksum_writer.h"

#include <string.h>

#include "payload/checksum_record.h"
#include "tools/patchtool/format/patch_format.h"

#ifdef _WIN32
#include "payload/crc32.h"
#else
#include <zlib.h>
#endif

namespace {

// Pieces of at most 1 GiB: zlib takes an unsigned int.
const uint64_t CrcPiece = 1u << 30;

uint32_t CrcPieceOnHost(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
#ifdef _WIN32
    return Crc32(previous, bytes, size);
#else
    return (uint32_t)crc32(previous, bytes, size);
#endif
}

// Returns: false with a reason; *size and *crc of the whole file otherwise.
bool FileSum(const fs::path &path, uint32_t *size, uint32_t *crc, std::string *error)
{
    FILE *file = OpenFile(path, "rb");
    if (!file) {
        *error = "cannot read " + PathText(path);
        return false;
    }
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t total = 0;
    *crc = 0;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        *crc = HostCrc32(*crc, buffer.data(), n);
        total += n;
    }
    bool ok = !ferror(file) && total <= MaxChunkBytes;
    fclose(file);
    if (!ok) {
        *error = "cannot read " + PathText(path) + " (or it is larger than a resource can be)";
        return false;
    }
    *size = (uint32_t)total;
    return true;
}

}  // namespace

uint32_t HostCrc32(uint32_t previous, const uint8_t *bytes, uint64_t size)
{
    for (; size > CrcPiece; bytes += CrcPiece, size -= CrcPiece) {
        previous = CrcPieceOnHost(previous, bytes, (uint32_t)CrcPiece);
    }
    return CrcPieceOnHost(previous, bytes, (uint32_t)size);
}

bool ComposeChecksumRecord(const fs::path &folder, uint32_t lastChunk, std::vector<uint8_t> *record,
                           std::string *error)
{
    uint32_t count = 1 + (lastChunk >= FirstChunkId ? lastChunk - FirstChunkId + 1 : 0);
    if (count > RecordMaxEntries) {
        *error = "too many chunks for the checksum record";
        return false;
    }
    record->assign(RecordHeaderSize + count * RecordEntrySize, 0);
    uint8_t *p = record->data();
    memcpy(p, RecordMagic, sizeof RecordMagic);
    PutU16(p + 4, RecordFormat);
    PutU16(p + 6, (uint16_t)count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = i == 0 ? (uint32_t)DescriptorId : FirstChunkId - 1 + i;
        fs::path file = folder / (i == 0 ? std::string(DescriptorFileName) : ChunkFileName(id));
        uint8_t *e = p + RecordHeaderSize + i * RecordEntrySize;
        uint32_t size, crc;
        if (!FileSum(file, &size, &crc, error)) {
            return false;
        }
        PutU16(e, (uint16_t)id);
        PutU32(e + 4, size);
        PutU32(e + 8, crc);
    }
    return true;
}
