#include "delta/apply/delta_file_win32.h"
#include "delta/apply/delta_recipe_apply.h"

namespace {

struct HandleBase {
    DeltaBase base;  // first: the applier hands it back
    HANDLE file;
};

struct HandleSink {
    DeltaSink sink;  // first
    HANDLE file;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    return ReadFileAt(((const HandleBase *)self)->file, offset, buffer, length);
}

bool WriteSink(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(((const HandleSink *)self)->file, bytes, length, &written, nullptr) &&
           written == length;
}

uint64_t SizeOf(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? (uint64_t)size.QuadPart : 0;
}

// Applies a delta with a recipe, its base expanded into a file deleted when it closes.
DeltaResult WriteThroughExpanded(const uint8_t *data, uint32_t size, const HandleBase &base,
                                 const HandleSink &sink, const wchar_t *path,
                                 const DeltaObserver *observer)
{
    DeltaHeader h;
    if (!path || !GetDeltaHeader(data, size, &h))
        return DeltaResult::Corrupt;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return DeltaResult::CannotCreate;
    HandleBase reader = {{h.expandedBaseSize, ReadBase}, file};
    HandleSink writer = {{WriteSink}, file};
    ExpandedStore expanded = {&writer.sink, &reader.base};
    DeltaResult result = ApplyRecipeDelta(data, size, &base.base, &expanded, &sink.sink, observer);
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
    HandleBase base = {{SizeOf(baseFile), ReadBase}, baseFile};
    HandleSink sink = {{WriteSink}, out};
    DeltaResult result = DeltaHasRecipe(data, size)
                             ? WriteThroughExpanded(data, size, base, sink, expanded, observer)
                             : ApplyPlainDelta(data, size, base, sink, observer);
    if (result == DeltaResult::Done && !FlushFileBuffers(out))
        result = DeltaResult::WriteFailed;
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
        uint32_t n = left < DeltaStepSize ? (uint32_t)left : DeltaStepSize;
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
