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

// Headers may ask for up to 4 GiB; refusing above 2 MiB (four real blocks) keeps runs fast.
static const uint32_t MaxBlock = 2u << 20;

static void *CappedAlloc(uint32_t size, const Allocator *)
{
    return size > MaxBlock ? nullptr : malloc(size);
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

static std::vector<uint8_t> ReadWhole(Stream *s, uint64_t size, uint32_t piece)
{
    std::vector<uint8_t> out(size);
    if (s->methods->seek(s, 0, SeekOrigin::Begin) != 0)
        abort();
    uint64_t got = 0;
    while (got < size) {
        uint32_t want = (uint32_t)(size - got < piece ? size - got : piece);
        uint32_t n = s->methods->read(s, out.data() + got, want);
        if (n == 0)
            break;
        if (n != want)
            abort();  // short reads happen only at the end
        got += n;
    }
    out.resize(got);
    return out;
}

static void Exercise(Stream *s, Script script)
{
    uint64_t size = 0;
    if (s->methods->getSize(s, &size, nullptr) != 1)
        abort();
    std::vector<uint8_t> buffer;
    for (int op = 0; op < 32 && script.left >= 5; op++) {
        uint32_t kind = script.Next(1);
        uint32_t arg = script.Next(4);
        if (kind % 2 == 0) {
            buffer.resize(arg % 70000);
            int64_t before = s->methods->seek(s, 0, SeekOrigin::Current);
            uint32_t n = s->methods->read(s, buffer.data(), (uint32_t)buffer.size());
            int64_t after = s->methods->seek(s, 0, SeekOrigin::Current);
            if (n > buffer.size() || after != before + n || (uint64_t)after > size)
                abort();
        } else {
            int64_t offset = (int32_t)arg;
            int64_t at = s->methods->seek(s, offset, (SeekOrigin)(kind / 2 % 4));
            if (at < -1 || (at >= 0 && (uint64_t)at > size))
                abort();
        }
    }
    if (size <= (1u << 20)) {
        std::vector<uint8_t> whole = ReadWhole(s, size, UINT32_MAX);
        std::vector<uint8_t> pieces = ReadWhole(s, size, 777);
        if (whole.size() == size && pieces.size() == size && whole != pieces)
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
