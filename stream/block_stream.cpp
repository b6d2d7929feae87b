#include "stream/block_stream.h"

#include <stddef.h>
#include <string.h>

#include "LzmaDec.h"
#include "stream/allocator.h"
#include "stream/decoder_allocator.h"
#include "stream/little_endian.h"

enum : int32_t {
    NoBlock = -1,
    // cachedBlock after a failed load: where the source stands is unknown, so the next load seeks.
    SourceLost = -2,
};

// The reader, its table and its cache share one allocation, in this order.
struct BlockStream {
    const StreamMethods *methods;
    uint32_t regionSize;  // size of the allocation, told to free on release
    Stream *source;       // owned from successful construction on
    int64_t dataStart;    // source position of block 0
    uint64_t sourceSize;  // bytes the source holds
    uint64_t sourceAt;    // source position while cachedBlock is not SourceLost
    int64_t totalSize;    // decoded size
    int64_t position;     // 0..totalSize
    uint32_t blockCount;
    uint32_t blockSize;
    int32_t
        cachedBlock;  // block decoded last, whatever its destination; the source stands after it
    uint8_t *cache;   // blockSize bytes
    uint32_t *compressedSizes;  // blockCount stored sizes
    int32_t blockInCache;       // block whose bytes the cache holds, or NoBlock
};

static_assert(offsetof(BlockStream, methods) == 0, "a stream starts with its table");
static_assert(sizeof(BlockStream) % alignof(uint32_t) == 0, "the table follows the fields");

static BlockStream *AsBlock(Stream *stream)
{
    return (BlockStream *)stream;
}

// Returns: the decoded length of block index; only the last block may be shorter.
static uint32_t ExpectedLength(const BlockStream *b, uint32_t index)
{
    if (index + 1 < b->blockCount)
        return b->blockSize;
    return (uint32_t)(b->totalSize - (int64_t)index * b->blockSize);
}

// Returns: 1 when the source stands at the first stored byte of block index, 0 otherwise.
static int SeekToBlock(BlockStream *b, uint32_t index)
{
    if (b->dataStart < 0)
        return 0;
    // At most 2^30 sizes below 2^32 each: the sum cannot wrap.
    uint64_t offset = (uint64_t)b->dataStart;
    for (uint32_t i = 0; i < index; i++)
        offset += b->compressedSizes[i];
    if (offset > (uint64_t)INT64_MAX)
        return 0;
    if (b->source->methods->seek(b->source, (int64_t)offset, SeekOrigin::Begin) != (int64_t)offset)
        return 0;
    b->sourceAt = offset;
    return 1;
}

// Decodes block index into destination, which has room for capacity bytes.
// Returns: 1 when the decoder produced at least the block's decoded length, 0 otherwise.
static int DecodeBlock(BlockStream *b, uint32_t index, uint8_t *destination, uint32_t capacity)
{
    uint32_t stored = b->compressedSizes[index];
    uint32_t expected = ExpectedLength(b, index);
    if (stored < LzmaPropsSize || expected > capacity)
        return 0;
    if ((int64_t)index != (int64_t)b->cachedBlock + 1 && !SeekToBlock(b, index))
        return 0;
    // A damaged table must not make a 32-bit process ask for gigabytes the source cannot hold.
    if (b->sourceAt > b->sourceSize || stored > b->sourceSize - b->sourceAt)
        return 0;
    uint8_t *packed = (uint8_t *)defaultAllocator.alloc(stored, &defaultAllocator);
    if (!packed)
        return 0;
    int ok = 0;
    if (b->source->methods->read(b->source, packed, stored) == stored) {
        b->sourceAt += stored;
        SizeT outLength = capacity;
        SizeT inLength = stored - LzmaPropsSize;
        ELzmaStatus status;
        // Result and status are not consulted: a block without end marker ends asking for more
        // input, and only the length produced tells a good block.
        LzmaDecode(destination, &outLength, packed + LzmaPropsSize, &inLength, packed,
                   LzmaPropsSize, LZMA_FINISH_ANY, &status, &decoderAllocator);
        ok = outLength >= expected;
    }
    defaultAllocator.free(stored, packed, &defaultAllocator);
    return ok;
}

// Returns: 1 on success, 0 on failure (the source then stands nowhere known).
static int loadBlock(BlockStream *b, uint32_t index, uint8_t *destination, uint32_t capacity)
{
    int ok = DecodeBlock(b, index, destination, capacity);
    b->cachedBlock = ok ? (int32_t)index : SourceLost;
    return ok;
}

// Returns: 1 when the cache holds block index, decoding it if needed; 0 on failure.
static int FillCache(BlockStream *b, uint32_t index)
{
    if (b->blockInCache == (int32_t)index)
        return 1;
    b->blockInCache = NoBlock;  // a failed decode leaves the cache half written
    if (!loadBlock(b, index, b->cache, b->blockSize))
        return 0;
    b->blockInCache = (int32_t)index;
    return 1;
}

static void BlockRelease(Stream *stream)
{
    BlockStream *b = AsBlock(stream);
    b->source->methods->release(b->source);
    defaultAllocator.free(b->regionSize, b, &defaultAllocator);
}

static void BlockFlush(Stream *) {}

// The first block passes through the cache; blocks wholly inside the request are decoded straight
// into buffer; the last partial one passes through the cache again.
static uint32_t BlockRead(Stream *stream, void *buffer, uint32_t length)
{
    BlockStream *b = AsBlock(stream);
    if ((uint64_t)length > (uint64_t)(b->totalSize - b->position))
        length = (uint32_t)(b->totalSize - b->position);
    if (length == 0)
        return 0;
    uint8_t *out = (uint8_t *)buffer;
    // Seeks keep the position within 0..totalSize; unsigned division keeps signed 64-bit
    // division helpers out of the 32-bit installer.
    uint64_t at = (uint64_t)b->position;
    uint32_t first = (uint32_t)(at / b->blockSize);
    uint32_t offset = (uint32_t)(at % b->blockSize);
    uint32_t last = (uint32_t)((at + length) / b->blockSize);
    if (!FillCache(b, first))
        return 0;
    uint32_t done = b->blockSize - offset;
    if (done > length)
        done = length;
    memcpy(out, b->cache + offset, done);
    for (uint32_t k = first + 1; k < last; k++) {
        if (!loadBlock(b, k, out + done, b->blockSize))
            return 0;
        done += b->blockSize;
    }
    if (done < length) {
        if (!FillCache(b, last))
            return 0;
        memcpy(out + done, b->cache, length - done);
    }
    b->position += length;
    return length;
}

static uint32_t BlockWrite(Stream *, const void *, uint32_t)
{
    return 0;
}

static int64_t BlockSeek(Stream *stream, int64_t offset, SeekOrigin origin)
{
    BlockStream *b = AsBlock(stream);
    int64_t base;
    switch (origin) {
    case SeekOrigin::Begin:
        base = 0;
        break;
    case SeekOrigin::Current:
        base = b->position;
        break;
    case SeekOrigin::End:
        base = b->totalSize;
        break;
    default:
        return -1;
    }
    // Compared before adding, so that no offset can overflow.
    if (offset < -base || offset > b->totalSize - base)
        return -1;
    b->position = base + offset;
    return b->position;
}

static int32_t BlockGetSize(Stream *stream, uint64_t *sizeOut, int64_t *timeOut)
{
    if (sizeOut)
        *sizeOut = (uint64_t)AsBlock(stream)->totalSize;
    if (timeOut)
        *timeOut = 0;
    return 1;
}

static const StreamMethods blockStreamMethods = {
    BlockRelease, /* release */
    BlockFlush,   /* flush */
    BlockRead,    /* read */
    BlockWrite,   /* write */
    BlockSeek,    /* seek */
    BlockGetSize, /* getSize */
};

// Returns: 1 with the block count and the size of one region for fields, table and cache;
// 0 when blockSize is 0 or either does not fit 32 bits. A region below 2^32 bounds the decoded
// size below 2^62, so positions never overflow.
static int SizeRegion(uint64_t totalSize, uint32_t blockSize, uint32_t *blockCount,
                      uint32_t *regionSize)
{
    if (blockSize == 0)
        return 0;
    uint64_t count = BlockCount(totalSize, blockSize);
    if (count > UINT32_MAX)
        return 0;
    uint64_t region = sizeof(BlockStream) + 4 * count + blockSize;
    if (region > UINT32_MAX)
        return 0;
    *blockCount = (uint32_t)count;
    *regionSize = (uint32_t)region;
    return 1;
}

Stream *openBlockStream(Stream *source)
{
    if (!source)
        return 0;
    uint8_t header[BlockStreamHeaderSize];
    uint64_t sourceSize;
    if (!source->methods->getSize(source, &sourceSize, nullptr))
        return 0;
    if (source->methods->read(source, header, sizeof header) != sizeof header)
        return 0;
    BlockStreamHeader fields = GetBlockStreamHeader(header);
    uint64_t totalSize = fields.decodedSize;
    uint32_t blockSize = fields.blockSize;
    uint32_t blockCount, regionSize;
    if (!SizeRegion(totalSize, blockSize, &blockCount, &regionSize))
        return 0;
    BlockStream *b = (BlockStream *)defaultAllocator.alloc(regionSize, &defaultAllocator);
    if (!b)
        return 0;
    memset(b, 0, sizeof *b);  // the table is read next; the cache is written before it is read
    b->methods = &blockStreamMethods;
    b->regionSize = regionSize;
    b->source = source;
    b->totalSize = (int64_t)totalSize;
    b->blockCount = blockCount;
    b->blockSize = blockSize;
    b->cachedBlock = NoBlock;
    b->compressedSizes = (uint32_t *)(b + 1);
    b->cache = (uint8_t *)(b->compressedSizes + blockCount);
    b->blockInCache = NoBlock;
    // The table is little-endian, as is every target.
    uint32_t tableBytes = 4 * blockCount;
    if (source->methods->read(source, b->compressedSizes, tableBytes) != tableBytes) {
        defaultAllocator.free(regionSize, b, &defaultAllocator);
        return 0;
    }
    b->dataStart = source->methods->seek(source, 0, SeekOrigin::Current);
    b->sourceSize = sourceSize;
    b->sourceAt = (uint64_t)b->dataStart;
    return (Stream *)b;
}
