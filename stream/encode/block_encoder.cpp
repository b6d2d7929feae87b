#include "stream/encode/block_encoder.h"

#include <stdlib.h>

#include <atomic>
#include <thread>

#include "LzmaEnc.h"
#include "stream/block_stream.h"

static void *EncoderAlloc(void *, size_t size)
{
    return malloc(size);
}

static void EncoderFree(void *, void *address)
{
    free(address);
}

static ISzAlloc encoderAllocator = {EncoderAlloc, EncoderFree};

bool EncodeStoredBlock(const uint8_t *data, uint32_t size, const BlockEncoderOptions &options,
                       std::vector<uint8_t> &out)
{
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = options.level;
    props.dictSize = options.dictionarySize ? options.dictionarySize : options.blockSize;
    props.lc = options.lc;
    props.lp = options.lp;
    props.pb = options.pb;
    props.numThreads = 1;
    if (options.fastBytes)
        props.fb = options.fastBytes;
    if (options.matchCycles)
        props.mc = options.matchCycles;
    props.reduceSize = size;  // a short block needs no larger dictionary: less encoder memory
    // LZMA grows incompressible input by a little over 1/64 at worst.
    size_t capacity = (size_t)size + size / 32 + 256;
    out.resize(LZMA_PROPS_SIZE + capacity);
    SizeT propsSize = LZMA_PROPS_SIZE;
    SizeT destLength = capacity;
    SRes res = LzmaEncode(out.data() + LZMA_PROPS_SIZE, &destLength, data, size, &props, out.data(),
                          &propsSize, options.endMarker ? 1 : 0, nullptr, &encoderAllocator,
                          &encoderAllocator);
    if (res != SZ_OK || propsSize != LZMA_PROPS_SIZE) {
        out.clear();
        return false;
    }
    out.resize(LZMA_PROPS_SIZE + destLength);
    return true;
}

bool AssembleBlockStream(uint64_t uncompressedSize, uint32_t blockSize,
                         const std::vector<std::vector<uint8_t>> &storedBlocks,
                         std::vector<uint8_t> &out)
{
    out.assign(BlockStreamHeaderSize + BlockTableEntrySize * storedBlocks.size(), 0);
    PutBlockStreamHeader(out.data(), BlockStreamHeader{uncompressedSize, blockSize});
    for (size_t i = 0; i < storedBlocks.size(); ++i) {
        if (storedBlocks[i].size() > UINT32_MAX)
            return false;
        PutU32(&out[BlockStreamHeaderSize + BlockTableEntrySize * i],
               (uint32_t)storedBlocks[i].size());
    }
    for (const std::vector<uint8_t> &block : storedBlocks)
        out.insert(out.end(), block.begin(), block.end());
    return true;
}

bool EncodeBlockStream(const uint8_t *data, uint64_t size, const BlockEncoderOptions &options,
                       std::vector<uint8_t> &out)
{
    uint32_t blockSize = options.blockSize;
    if (blockSize == 0)
        return false;
    uint64_t count = BlockCount(size, blockSize);
    if (count > UINT32_MAX / 4)
        return false;
    std::vector<std::vector<uint8_t>> blocks(count);
    std::atomic<uint64_t> next(0);
    std::atomic<bool> failed(false);
    auto work = [&]() {
        for (uint64_t i = next++; i < count && !failed; i = next++) {
            uint64_t start = i * blockSize;
            uint64_t length = size - start < blockSize ? size - start : blockSize;
            if (!EncodeStoredBlock(data + start, (uint32_t)length, options, blocks[i]))
                failed = true;
        }
    };
    unsigned threads = options.threads ? options.threads : 1;
    if (threads > count)
        threads = count ? (unsigned)count : 1;
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; t++)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
    if (failed)
        return false;
    return AssembleBlockStream(size, blockSize, blocks, out);
}
