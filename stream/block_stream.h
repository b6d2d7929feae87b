#pragma once
#include "stream/little_endian.h"
#include "stream/stream.h"

// The block-compressed format: a 12-byte header (uncompressedSize u64, blockSize u32), a table of
// blockCount u32 stored sizes, then the stored blocks (5 bytes of LZMA properties + raw LZMA data).
// All little-endian. blockCount = ceil(uncompressedSize / blockSize).
enum : uint32_t {
    BlockStreamHeaderSize = 12,
    LzmaPropsSize = 5,
    BlockTableEntrySize = 4,
};

// Returns: ceil(decodedSize / blockSize), the number of blocks and table entries; blockSize > 0.
inline uint64_t BlockCount(uint64_t decodedSize, uint32_t blockSize)
{
    return decodedSize / blockSize + (decodedSize % blockSize != 0);
}

struct BlockStreamHeader {
    uint64_t decodedSize;
    uint32_t blockSize;
};

inline void PutBlockStreamHeader(uint8_t *p, const BlockStreamHeader &header)
{
    PutU64(p, header.decodedSize);
    PutU32(p + 8, header.blockSize);
}

// p holds at least BlockStreamHeaderSize bytes.
inline BlockStreamHeader GetBlockStreamHeader(const uint8_t *p)
{
    return BlockStreamHeader{GetU64(p), GetU32(p + 8)};
}

// Opens a read-only, seekable stream of the decoded bytes of the block-compressed stream that
// starts at source's current position.
// Returns: the stream, owning source from then on; or null, leaving source with the caller
// (null source, a source that cannot tell its size, short header or table, blockSize 0, a table and
// cache that cannot fit one allocation, no memory).
Stream *openBlockStream(Stream *source);
