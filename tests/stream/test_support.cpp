#include "tests/stream/test_support.h"

#include <string.h>

#include "stream/block_stream.h"
#include "stream/memory_stream.h"

std::vector<uint8_t> MakeData(size_t size, uint32_t seed)
{
    static const char *const words[] = {"texture",    "model",       "sound",
                                        "level",      "script",      "\0\0\0\0",
                                        "0123456789", "<entity id=", "\xff\xfe\x01"};
    std::vector<uint8_t> out;
    out.reserve(size + 32);
    uint32_t state = seed * 2654435761u + 12345;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        uint32_t pick = (state >> 16) % 16;
        if (pick < 9) {
            const char *w = words[pick];
            size_t n = pick == 5 ? 4 : strlen(w);
            out.insert(out.end(), w, w + n);
        } else if (pick < 12) {
            out.push_back((uint8_t)(state >> 8));
        }
        if (out.size() % 16 < 4 || pick >= 12) {
            uint32_t stamp = (uint32_t)out.size() ^ seed << 24;
            for (int i = 0; i < 4; i++)
                out.push_back((uint8_t)(stamp >> (8 * i)));
        }
    }
    out.resize(size);
    return out;
}

std::vector<uint8_t> EncodeData(const std::vector<uint8_t> &data, uint32_t blockSize)
{
    BlockEncoderOptions options;
    options.blockSize = blockSize;
    options.level = 1;
    options.threads = 2;
    std::vector<uint8_t> out;
    if (!EncodeBlockStream(data.data(), data.size(), options, out))
        out.clear();
    return out;
}

struct CountingStream {
    const StreamMethods *methods;
    Stream *inner;
    SourceLog *log;
};

static CountingStream *AsCounting(Stream *s)
{
    return (CountingStream *)s;
}

static void CountingRelease(Stream *s)
{
    CountingStream *c = AsCounting(s);
    c->log->releases++;
    c->inner->methods->release(c->inner);
    delete c;
}

static void CountingFlush(Stream *) {}

static uint32_t CountingRead(Stream *s, void *buffer, uint32_t length)
{
    CountingStream *c = AsCounting(s);
    c->log->reads++;
    uint32_t n = c->inner->methods->read(c->inner, buffer, length);
    c->log->bytesRead += n;
    return n;
}

static uint32_t CountingWrite(Stream *, const void *, uint32_t)
{
    return 0;
}

static int64_t CountingSeek(Stream *s, int64_t offset, SeekOrigin origin)
{
    CountingStream *c = AsCounting(s);
    c->log->seeks++;
    int64_t at = c->inner->methods->seek(c->inner, offset, origin);
    return c->log->seekLies ? at + 1 : at;
}

static int32_t CountingGetSize(Stream *s, uint64_t *sizeOut, int64_t *timeOut)
{
    CountingStream *c = AsCounting(s);
    return c->inner->methods->getSize(c->inner, sizeOut, timeOut);
}

static const StreamMethods countingMethods = {
    CountingRelease, /* release */
    CountingFlush,   /* flush */
    CountingRead,    /* read */
    CountingWrite,   /* write */
    CountingSeek,    /* seek */
    CountingGetSize, /* getSize */
};

Stream *openCountingStream(Stream *inner, SourceLog *log)
{
    return (Stream *)new CountingStream{&countingMethods, inner, log};
}

Stream *OpenOverBytes(const std::vector<uint8_t> &bytes, SourceLog *log)
{
    Stream *memory = openMemoryStream(bytes.data(), (uint32_t)bytes.size());
    if (!memory)
        return nullptr;
    Stream *source = openCountingStream(memory, log);
    Stream *s = openBlockStream(source);
    if (!s)
        source->methods->release(source);
    return s;
}

std::vector<uint8_t> ReadAll(Stream *s, uint32_t piece)
{
    std::vector<uint8_t> out, buffer(piece);
    uint32_t n;
    while ((n = s->methods->read(s, buffer.data(), piece)) > 0)
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    return out;
}

std::vector<uint8_t> ReadAt(Stream *s, int64_t position, uint32_t length)
{
    if (s->methods->seek(s, position, SeekOrigin::Begin) != position)
        return {};
    std::vector<uint8_t> out(length);
    out.resize(s->methods->read(s, out.data(), length));
    return out;
}

void PutU32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        out.push_back((uint8_t)(value >> (8 * i)));
}

std::vector<uint8_t> Header(uint64_t uncompressedSize, uint32_t blockSize)
{
    std::vector<uint8_t> out;
    PutU32(out, (uint32_t)uncompressedSize);
    PutU32(out, (uint32_t)(uncompressedSize >> 32));
    PutU32(out, blockSize);
    return out;
}

uint64_t SizeOf(Stream *s)
{
    uint64_t size = 12345;
    int64_t time = 12345;
    EXPECT_EQ(s->methods->getSize(s, &size, &time), 1);
    EXPECT_EQ(time, 0);
    return size;
}
