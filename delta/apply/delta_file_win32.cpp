#include "delta/apply/delta_file_win32.h"
#include "delta/apply/delta_recipe_apply.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Reads and writes go through windows of this size: the applier reads each cover's stretch of the
// base, often just after the last one, and a recipe's result comes as many small pieces (a zip
// member's header, then its deflated data); every call to the file is a trip to Wine's server.
enum : uint32_t { WindowBytes = 4 * DeltaStepSize };

// A larger expanded base is read through its window: mapped whole it would take the address
// space a 32-bit process needs for the deflater and the applier's blocks.
const uint64_t MappedAtMost = 256u << 20;

struct HandleBase {
    DeltaBase base;  // first: the applier hands it back
    HANDLE file;
    uint8_t *window;  // WindowBytes of the file from windowAt, or null: every read goes to it
    uint64_t windowAt;
    uint32_t windowFill;
    const uint8_t *view;  // the whole file mapped, when it is: reads are copies
};

struct HandleSink {
    DeltaSink sink;  // first
    HANDLE file;
    uint8_t *buffer;  // WindowBytes not yet written, or null: every write goes to the file
    uint32_t fill;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    HandleBase *b = (HandleBase *)self;
    if (b->view) {
        if (offset > b->base.size || length > b->base.size - offset)
            return false;
        memcpy(buffer, b->view + offset, length);
        return true;
    }
    if (!b->window || length > WindowBytes)
        return ReadFileAt(b->file, offset, buffer, length);
    if (offset < b->windowAt || offset - b->windowAt + length > b->windowFill) {
        uint64_t left = offset < b->base.size ? b->base.size - offset : 0;
        uint32_t n = left < WindowBytes ? (uint32_t)left : WindowBytes;
        b->windowFill = 0;
        if (n < length || !ReadFileAt(b->file, offset, b->window, n))
            return false;
        b->windowAt = offset;
        b->windowFill = n;
    }
    memcpy(buffer, b->window + (offset - b->windowAt), length);
    return true;
}

bool WriteAll(HANDLE file, const uint8_t *bytes, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(file, bytes, length, &written, nullptr) && written == length;
}

// Returns: true when what the sink holds back is written.
bool FlushSink(HandleSink *s)
{
    uint32_t fill = s->fill;
    s->fill = 0;
    return fill == 0 || WriteAll(s->file, s->buffer, fill);
}

bool WriteSink(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    HandleSink *s = (HandleSink *)self;
    if (!s->buffer)
        return WriteAll(s->file, bytes, length);
    if (length > WindowBytes - s->fill && !FlushSink(s))
        return false;
    if (length >= WindowBytes)
        return WriteAll(s->file, bytes, length);
    memcpy(s->buffer + s->fill, bytes, length);
    s->fill += length;
    return true;
}

uint64_t SizeOf(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? (uint64_t)size.QuadPart : 0;
}

// The expanded base, read back at random (the covers of members that changed reach all over it):
// mapped whole at its first read, once it is all written, up to MappedAtMost; read through its
// window otherwise.
struct ExpandedReader {
    HandleBase read;  // first
    HANDLE mapping;
    bool tried;
};

bool ReadExpanded(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    ExpandedReader *r = (ExpandedReader *)self;
    uint64_t size = r->read.base.size;
    if (!r->tried && size > 0 && size <= MappedAtMost && SizeOf(r->read.file) == size) {
        r->tried = true;
        r->mapping = CreateFileMappingW(r->read.file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (r->mapping)
            r->read.view = (const uint8_t *)MapViewOfFile(r->mapping, FILE_MAP_READ, 0, 0, 0);
    }
    return ReadBase(self, offset, buffer, length);
}

// Applies a delta with a recipe, its base expanded into a file deleted when it closes.
DeltaResult WriteThroughExpanded(const uint8_t *data, uint32_t size, const HandleBase &base,
                                 const HandleSink &sink, const wchar_t *path, uint8_t *window,
                                 const DeltaObserver *observer)
{
    DeltaHeader h;
    if (!path || !GetDeltaHeader(data, size, &h))
        return DeltaResult::Corrupt;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return DeltaResult::CannotCreate;
    ExpandedReader reader = {
        {{h.expandedBaseSize, ReadExpanded}, file, window, 0, 0, nullptr}, nullptr, false};
    HandleSink writer = {{WriteSink}, file, nullptr, 0};  // read back once all is written
    ExpandedStore expanded = {&writer.sink, &reader.read.base};
    DeltaResult result = ApplyRecipeDelta(data, size, &base.base, &expanded, &sink.sink, observer);
    if (reader.read.view)
        UnmapViewOfFile(reader.read.view);
    if (reader.mapping)
        CloseHandle(reader.mapping);
    CloseHandle(file);
    return result;
}

DeltaResult ApplyPlainDelta(const uint8_t *data, uint32_t size, const HandleBase &base,
                            const HandleSink &sink, const DeltaObserver *observer)
{
    DeltaApplier *applier;
    DeltaResult result = OpenDelta(data, size, &base.base, &sink.sink, false, &applier);
    if (result != DeltaResult::InProgress)
        return result;
    result = RunDelta(applier, observer);
    CloseDelta(applier);
    return result;
}

}  // namespace

DeltaResult WriteDeltaResult(const uint8_t *data, uint32_t size, HANDLE baseFile, HANDLE out,
                             const wchar_t *expanded, const DeltaObserver *observer)
{
    // three windows: the base's, the expanded base's and the result's (none when there is no
    // memory for them: the files are then read and written piece by piece)
    uint8_t *windows = (uint8_t *)malloc(3 * WindowBytes);
    uint8_t *window[3] = {};
    for (uint32_t i = 0; windows && i < 3; ++i)
        window[i] = windows + i * WindowBytes;
    HandleBase base = {{SizeOf(baseFile), ReadBase}, baseFile, window[0], 0, 0, nullptr};
    HandleSink sink = {{WriteSink}, out, window[2], 0};
    DeltaResult result =
        DeltaHasRecipe(data, size)
            ? WriteThroughExpanded(data, size, base, sink, expanded, window[1], observer)
            : ApplyPlainDelta(data, size, base, sink, observer);
    if (result == DeltaResult::Done && (!FlushSink(&sink) || !FlushFileBuffers(out)))
        result = DeltaResult::WriteFailed;
    free(windows);
    return result;
}

bool ReadFileAt(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, buffer, length, &read, &at) && read == length;
}

DeltaResult IdentifyOpenFile(HANDLE file, FileIdentity *identity, const DeltaObserver *observer)
{
    uint8_t piece[DeltaStepSize];
    uint64_t size = SizeOf(file);
    *identity = FileIdentity{0, 0};
    while (identity->size < size) {
        if (observer && observer->stop && observer->stop(observer->context))
            return DeltaResult::InProgress;
        uint64_t left = size - identity->size;
        uint32_t n = NextStepBytes(left);
        if (!ReadFileAt(file, identity->size, piece, n))
            return DeltaResult::ReadFailed;
        AddToIdentity(identity, piece, n);
        if (observer && observer->moved)
            observer->moved(observer->context, identity->size, size);
    }
    return DeltaResult::Done;
}

DeltaResult ApplyDeltaThroughTemporary(const uint8_t *data, uint32_t size, const wchar_t *path,
                                       const wchar_t *temporary, const wchar_t *expanded,
                                       const DeltaObserver *observer)
{
    HANDLE base = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (base == INVALID_HANDLE_VALUE)
        return DeltaResult::ReadFailed;
    DeltaResult result = DeltaResult::CannotCreate;
    HANDLE out = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        result = WriteDeltaResult(data, size, base, out, expanded, observer);
        CloseHandle(out);
    }
    CloseHandle(base);
    if (result == DeltaResult::Done &&
        !MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result = DeltaResult::WriteFailed;
    if (result != DeltaResult::Done)
        DeleteFileW(temporary);
    return result;
}
