#include "stream/memory_stream.h"

#include <string.h>

#include "stream/allocator.h"

static MemoryStream *AsMemory(Stream *stream)
{
    return (MemoryStream *)stream;
}

static void MemoryRelease(Stream *stream)
{
    MemoryStream *m = AsMemory(stream);
    if (m->data && m->owned)
        defaultAllocator.free(m->owned, (void *)m->data, &defaultAllocator);
    defaultAllocator.free(sizeof(MemoryStream), m, &defaultAllocator);
}

static void MemoryFlush(Stream *) {}

static uint32_t MemoryRead(Stream *stream, void *buffer, uint32_t length)
{
    MemoryStream *m = AsMemory(stream);
    uint32_t end = m->position + length;
    if (end > m->size || end < m->position)  // past the data, or wrapped past 2^32
        end = m->size;
    if (m->position >= end)
        return 0;
    uint32_t count = end - m->position;
    memcpy(buffer, m->data + m->position, count);
    m->position = end;
    return count;
}

static uint32_t MemoryWrite(Stream *, const void *, uint32_t)
{
    return 0;
}

// Only the low 32 bits of offset count; positions wrap at 2^32 and may stand beyond size.
static int64_t MemorySeek(Stream *stream, int64_t offset, SeekOrigin origin)
{
    MemoryStream *m = AsMemory(stream);
    uint32_t delta = (uint32_t)(uint64_t)offset;
    switch (origin) {
    case SeekOrigin::Begin:
        m->position = delta;
        break;
    case SeekOrigin::Current:
        m->position += delta;
        break;
    case SeekOrigin::End:
        m->position = m->size + delta;
        break;
    default:
        break;
    }
    return m->position;
}

static int32_t MemoryGetSize(Stream *stream, uint64_t *sizeOut, int64_t *timeOut)
{
    if (sizeOut)
        *sizeOut = AsMemory(stream)->size;
    if (timeOut)
        *timeOut = 0;
    return 1;
}

static const StreamMethods memoryStreamMethods = {
    MemoryRelease, /* release */
    MemoryFlush,   /* flush */
    MemoryRead,    /* read */
    MemoryWrite,   /* write */
    MemorySeek,    /* seek */
    MemoryGetSize, /* getSize */
};

Stream *openMemoryStream(const void *data, uint32_t size)
{
    MemoryStream *m =
        (MemoryStream *)defaultAllocator.alloc(sizeof(MemoryStream), &defaultAllocator);
    if (!m)
        return 0;
    memset(m, 0, sizeof *m);
    m->methods = &memoryStreamMethods;
    if (data && size) {
        m->data = (const uint8_t *)data;
        m->size = size;
    }
    return (Stream *)m;
}
