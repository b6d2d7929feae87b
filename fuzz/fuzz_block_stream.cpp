// Arbitrary bytes as a block-compressed stream over a memory stream, then reads and seeks that
// the input's last bytes drive. Whole-stream reads in one piece and in small pieces must agree.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "stream/allocator.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"

// Headers may ask for up to 4 GiB. Refusing allocations above 16 KiB bounds the block size (and
// the decoder's lc + lp at 3, the encoder's default) without closing any path: a refusal is a
// path of its own, and no code branches on how large a granted block is. Small blocks keep the
// decoding per input, and so each run, short.
static const uint32_t MaxAllocation = 16u << 10;
// Bytes decoded per input, beyond which the script's reads stop and the whole-stream comparison is
// skipped.
static const uint32_t MaxDecoded = 64u << 10;

static void *CappedAlloc(uint32_t size, const Allocator *)
{
    return size > MaxAllocation ? nullptr : malloc(size);
}

static void CappedFree(uint32_t, void *block, const Allocator *)
{
    free(block);
}

// Reads from the end of the input backwards: the stream itself rarely reaches that far.
struct Script {
    const uint8_t *data;
    size_t left;
    uint32_t Next(int bytes)
    {
        uint32_t value = 0;
        for (int i = 0; i < bytes && left > 0; i++)
            value = value << 8 | data[--left];
        return value;
    }
};

// Destinations are the tail of buffers allocated once, so that a write past a read's end reaches
// the heap's red zone as with an exact allocation, without allocating and clearing one per read.
static uint8_t *Tail(std::vector<uint8_t> *buffer, uint64_t length)
{
    return buffer->data() + buffer->size() - length;
}

static uint64_t ReadWhole(Stream *s, uint8_t *out, uint64_t size, uint32_t piece)
{
    if (s->methods->seek(s, 0, SeekOrigin::Begin) != 0)
        abort();
    uint64_t got = 0;
    while (got < size) {
        uint32_t want = (uint32_t)(size - got < piece ? size - got : piece);
        uint32_t n = s->methods->read(s, out + got, want);
        if (n == 0)
            break;
        if (n != want)
            abort();  // short reads happen only at the end
        got += n;
    }
    return got;
}

static void Exercise(Stream *s, Script script)
{
    uint64_t size = 0;
    if (s->methods->getSize(s, &size, nullptr) != 1)
        abort();
    static std::vector<uint8_t> buffer(3 * MaxAllocation);
    uint64_t decoded = 0;
    for (int op = 0; op < 32 && script.left >= 5 && decoded < MaxDecoded; op++) {
        uint32_t kind = script.Next(1);
        uint32_t arg = script.Next(4);
        if (kind % 2 == 0) {
            uint32_t length = arg % (3 * MaxAllocation);  // can span three whole blocks
            decoded += length;
            int64_t before = s->methods->seek(s, 0, SeekOrigin::Current);
            uint32_t n = s->methods->read(s, Tail(&buffer, length), length);
            int64_t after = s->methods->seek(s, 0, SeekOrigin::Current);
            if (n > length || after != before + n || (uint64_t)after > size)
                abort();
        } else {
            int64_t offset = (int32_t)arg;
            int64_t at = s->methods->seek(s, offset, (SeekOrigin)(kind / 2 % 4));
            if (at < -1 || (at >= 0 && (uint64_t)at > size))
                abort();
        }
    }
    if (size <= MaxDecoded / 2) {
        static std::vector<uint8_t> whole(MaxDecoded / 2), pieces(MaxDecoded / 2);
        uint8_t *a = Tail(&whole, size), *b = Tail(&pieces, size);
        if (ReadWhole(s, a, size, UINT32_MAX) == size && ReadWhole(s, b, size, 777) == size &&
            memcmp(a, b, size) != 0)
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    Allocator saved = defaultAllocator;
    defaultAllocator.alloc = CappedAlloc;
    defaultAllocator.free = CappedFree;
    Stream *memory = openMemoryStream(data, (uint32_t)size);
    if (memory) {
        Stream *s = openBlockStream(memory);
        if (s) {
            Exercise(s, Script{data, size});
            s->methods->release(s);
        } else {
            memory->methods->release(memory);
        }
    }
    defaultAllocator = saved;
    return 0;
}
