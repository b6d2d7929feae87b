// Reading a 48 MiB block-compressed stream through BlockStream in 4096-byte pieces, against
// decoding the same blocks with LzmaDecode straight into one buffer, at the conventional 512 KiB
// and the tool's default 12 MiB blocks (the benchmark's argument). The BlockStream run also
// reports the peak bytes held through defaultAllocator and the number of allocations.
#include <map>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "LzmaDec.h"
#include "stream/allocator.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "stream/encode/block_encoder.h"

namespace {

const size_t DataSize = 48u << 20;

// Game-like bytes: records of names, counters and small binary fields, with some noise.
std::vector<uint8_t> GameLikeData()
{
    static const char *const names[] = {"models/units/knight_", "textures/terrain/grass_",
                                        "sounds/ui/click_", "scripts/ai/patrol_",
                                        "maps/campaign/act"};
    std::vector<uint8_t> out;
    out.reserve(DataSize + 64);
    uint32_t state = 20240601;
    for (uint32_t record = 0; out.size() < DataSize; record++) {
        state = state * 1103515245u + 12345u;
        const char *name = names[(state >> 16) % 5];
        out.insert(out.end(), name, name + strlen(name));
        char number[16];
        int n = snprintf(number, sizeof number, "%05u.dat", record % 40000);
        out.insert(out.end(), number, number + n);
        uint32_t fields[4] = {record, state >> 20, 0x3F800000u, (state & 0xFF) ? 0u : state};
        out.insert(out.end(), (uint8_t *)fields, (uint8_t *)fields + sizeof fields);
        for (uint32_t k = (state >> 8) % 24; k > 0; k--)
            out.push_back((uint8_t)(state >> (k % 24)));
    }
    out.resize(DataSize);
    return out;
}

const std::vector<uint8_t> &Encoded(uint32_t blockSize)
{
    static std::map<uint32_t, std::vector<uint8_t>> encodings;
    std::vector<uint8_t> &encoded = encodings[blockSize];
    if (encoded.empty()) {
        std::vector<uint8_t> data = GameLikeData();
        BlockEncoderOptions options;
        options.threads = 2;
        options.blockSize = blockSize;
        if (!EncodeBlockStream(data.data(), data.size(), options, encoded))
            abort();
    }
    return encoded;
}

struct Counting {
    uint64_t live = 0, peak = 0, allocations = 0;
} counting;

void *CountingAlloc(uint32_t size, const Allocator *)
{
    counting.allocations++;
    counting.live += size;
    if (counting.live > counting.peak)
        counting.peak = counting.live;
    return malloc(size);
}

void CountingFree(uint32_t size, void *block, const Allocator *)
{
    counting.live -= size;
    free(block);
}

uint64_t ReadThrough(const std::vector<uint8_t> &encoded, uint8_t *piece)
{
    Stream *memory = openMemoryStream(encoded.data(), (uint32_t)encoded.size());
    Stream *s = openBlockStream(memory);
    if (!s)
        abort();
    uint64_t total = 0;
    uint32_t n;
    while ((n = s->methods->read(s, piece, 4096)) > 0)
        total += n;
    s->methods->release(s);
    return total;
}

void BM_BlockStreamRead4096(benchmark::State &state)
{
    const uint32_t blockSize = (uint32_t)state.range(0);
    const std::vector<uint8_t> &encoded = Encoded(blockSize);
    std::vector<uint8_t> piece(4096);
    uint64_t total = 0;
    for (auto _ : state) {
        total = ReadThrough(encoded, piece.data());
        benchmark::DoNotOptimize(piece.data());
    }
    if (total != DataSize)
        state.SkipWithError("short read");
    state.SetBytesProcessed(state.iterations() * DataSize);

    Allocator saved = defaultAllocator;
    defaultAllocator.alloc = CountingAlloc;
    defaultAllocator.free = CountingFree;
    counting = Counting();
    ReadThrough(encoded, piece.data());
    defaultAllocator = saved;
    uint32_t largestStored = 0;
    for (uint32_t i = 0; i < DataSize / blockSize; i++) {
        uint32_t stored;
        memcpy(&stored, &encoded[12 + 4 * i], 4);
        largestStored = stored > largestStored ? stored : largestStored;
    }
    state.counters["peak_bytes"] = (double)counting.peak;
    state.counters["allocations"] = (double)counting.allocations;
    state.counters["largest_stored"] = largestStored;
    state.counters["leaked"] = (double)counting.live;
    state.counters["ratio"] = (double)encoded.size() / DataSize;
}

void *PlainAlloc(void *, size_t size)
{
    return malloc(size);
}

void PlainFree(void *, void *p)
{
    free(p);
}

ISzAlloc plainAllocator = {PlainAlloc, PlainFree};

void BM_LzmaDecodeIntoOneBuffer(benchmark::State &state)
{
    const uint32_t blockSize = (uint32_t)state.range(0);
    const std::vector<uint8_t> &encoded = Encoded(blockSize);
    std::vector<uint8_t> out(DataSize);
    uint32_t blocks = DataSize / blockSize;
    for (auto _ : state) {
        const uint8_t *stored = encoded.data() + 12 + 4 * blocks;
        for (uint32_t i = 0; i < blocks; i++) {
            uint32_t size;
            memcpy(&size, &encoded[12 + 4 * i], 4);
            SizeT outLength = blockSize, inLength = size - 5;
            ELzmaStatus status;
            LzmaDecode(out.data() + (size_t)i * blockSize, &outLength, stored + 5, &inLength,
                       stored, 5, LZMA_FINISH_ANY, &status, &plainAllocator);
            if (outLength != blockSize)
                state.SkipWithError("short block");
            stored += size;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * DataSize);
}

BENCHMARK(BM_BlockStreamRead4096)
    ->Arg(524288)
    ->Arg(12 << 20)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);
BENCHMARK(BM_LzmaDecodeIntoOneBuffer)
    ->Arg(524288)
    ->Arg(12 << 20)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
