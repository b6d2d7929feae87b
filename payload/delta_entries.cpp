#include "payload/delta_entries.h"
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "payload/chunk.h"
#include "payload/crc32.h"
#include "payload/delta_apply.h"
#include "payload/delta_format.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "resources/resource.h"

NameUnit wrongBaseName[NameBufferUnits];

namespace {

// The deltas the check chose, one byte per delta entry in walk order, read by the worker.
uint8_t *chosen;
uint32_t deltaEntries;

enum : uint32_t { TemporaryCapacity = TargetPathCapacity + sizeof DELTA_TEMPORARY_SUFFIX / 2 };

// The target's path and its temporary's.
// Returns: false when either would not fit.
bool MakeDeltaPaths(const NameUnit *name, wchar_t *path, wchar_t *temporary)
{
    if (!MakeTargetPath(path, name, WholeName))
        return false;
    lstrcpyW(temporary, path);
    lstrcatW(temporary, DELTA_TEMPORARY_SUFFIX);
    return true;
}

InstallResult WrongBase(const NameUnit *name)
{
    memcpy(wrongBaseName, name, sizeof wrongBaseName);
    return InstallResult::WrongBase;
}

// Reads length bytes at offset through a synchronous handle.
bool ReadAt(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD read = 0;
    return ReadFile(file, buffer, length, &read, &at) && read == length;
}

// What the check knows of the target of the delta entries being walked.
struct TargetState {
    NameUnit name[NameBufferUnits];
    bool started;   // a target is being walked
    bool present;   // the target exists and was read
    bool resolved;  // it already holds the result, or a delta was chosen for it
    uint64_t size;
    uint32_t crc;
    uint64_t temporarySize;  // of a temporary a killed run left
};

struct DeltaChecker {
    EntryWriters writers;  // first: the walk hands the table back to the writers
    SpaceNeed *need;
    uint32_t clusterSize;
    uint32_t entries;
    uint32_t capacity;
    TargetState target;
};

// Returns: Cancelled, or Ok with the size and CRC-32 of the whole open file.
InstallResult SumFile(HANDLE file, TargetState *t)
{
    uint8_t piece[DeltaPieceSize];
    LARGE_INTEGER size;
    t->size = GetFileSizeEx(file, &size) ? (uint64_t)size.QuadPart : 0;
    t->crc = 0;
    for (uint64_t at = 0; at < t->size;) {
        if (cancelRequested)
            return InstallResult::Cancelled;
        uint32_t n = t->size - at < DeltaPieceSize ? (uint32_t)(t->size - at) : DeltaPieceSize;
        if (!ReadAt(file, at, piece, n))
            return InstallResult::CannotCreate;
        t->crc = Crc32(t->crc, piece, n);
        at += n;
    }
    return InstallResult::Ok;
}

// Starts the check of the target name: opens it as the check must (read to sum it, write
// without sharing, as the move will need it) and reads it.
InstallResult ReadTarget(TargetState *t, const NameUnit *name)
{
    wchar_t path[TargetPathCapacity];
    wchar_t temporary[TemporaryCapacity];
    memset(t, 0, sizeof *t);
    memcpy(t->name, name, sizeof t->name);
    t->started = true;
    if (!MakeDeltaPaths(t->name, path, temporary))
        return InstallResult::CannotCreate;
    WIN32_FILE_ATTRIBUTE_DATA stray;
    if (GetFileAttributesExW(temporary, GetFileExInfoStandard, &stray))
        t->temporarySize = (uint64_t)stray.nFileSizeHigh << 32 | stray.nFileSizeLow;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? InstallResult::Ok : InstallResult::CannotCreate;
    }
    InstallResult result = SumFile(file, t);
    CloseHandle(file);
    t->present = result == InstallResult::Ok;
    return result;
}

// Ends the check of the target walked so far.
InstallResult FinishTarget(const TargetState *t)
{
    return !t->started || t->resolved ? InstallResult::Ok : WrongBase(t->name);
}

bool NoteChoice(DeltaChecker *c, bool apply)
{
    if (c->entries == c->capacity) {
        uint32_t capacity = 2 * c->capacity + 64;
        uint8_t *grown = (uint8_t *)realloc(chosen, capacity);
        if (!grown)
            return false;
        chosen = grown;
        c->capacity = capacity;
    }
    chosen[c->entries++] = apply;
    return true;
}

InstallResult CheckDelta(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name)
{
    DeltaChecker *c = (DeltaChecker *)self;
    TargetState *t = &c->target;
    DeltaHeader h;
    if (!GetDeltaHeader(data, dataSize, &h))
        return InstallResult::Corrupt;
    if (!t->started || wcscmp(name, t->name) != 0) {
        InstallResult result = FinishTarget(t);
        if (result != InstallResult::Ok)
            return result;
        result = ReadTarget(t, name);
        if (result != InstallResult::Ok)
            return result;
    }
    bool isResult = t->present && t->size == h.resultSize && t->crc == h.resultCrc;
    bool apply =
        !t->resolved && !isResult && t->present && t->size == h.baseSize && t->crc == h.baseCrc;
    t->resolved = t->resolved || isResult || apply;
    if (apply) {  // the temporary grows to the result, then takes the base's place
        AddSpaceChange(c->need, t->temporarySize, h.resultSize, c->clusterSize);
        AddSpaceChange(c->need, h.baseSize, 0, c->clusterSize);
    }
    return NoteChoice(c, apply) ? InstallResult::Ok : InstallResult::Corrupt;
}

InstallResult NoRange(const EntryWriters *, const uint8_t *, uint32_t, const NameUnit *, uint64_t)
{
    return InstallResult::Corrupt;  // a delta resource holds deltas only
}

struct FileBase {
    DeltaBase base;  // first: the applier hands it back
    HANDLE file;
};

struct FileSink {
    DeltaSink sink;  // first
    HANDLE file;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    return ReadAt(((const FileBase *)self)->file, offset, buffer, length);
}

bool WriteSink(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(((const FileSink *)self)->file, bytes, length, &written, nullptr) &&
           written == length;
}

// A base that does not match here changed since the check.
InstallResult ResultOfDelta(DeltaResult result, const NameUnit *name)
{
    InstallResult installed = InstallResultOfDelta(result);
    return installed == InstallResult::WrongBase ? WrongBase(name) : installed;
}

// Makes the result in the temporary, piece by piece, moving the bar by the entry's share.
InstallResult StepToEnd(DeltaApplier *applier, uint32_t dataSize, const NameUnit *name)
{
    uint64_t start = progressBytes;
    uint64_t unchecked = DeltaWorkDone(applier);  // the base, which counts as done from the start
    for (;;) {
        DeltaResult step = StepDelta(applier);
        if (step != DeltaResult::InProgress && step != DeltaResult::Done)
            return ResultOfDelta(step, name);
        progressBytes = start + EntryShare(dataSize, DeltaWorkDone(applier) - unchecked,
                                           DeltaWorkTotal(applier) - unchecked);
        RefreshProgressBar();
        if (step == DeltaResult::Done)
            return InstallResult::Ok;
        if (cancelRequested)
            return InstallResult::Cancelled;
    }
}

// The base is not checked again: the check read it just now, and a base that changed since
// still gives a result whose CRC-32 differs, which is never moved into place.
InstallResult WriteTemporary(const uint8_t *data, uint32_t dataSize, const NameUnit *name,
                             HANDLE baseFile, HANDLE out)
{
    LARGE_INTEGER size;
    FileBase base = {{GetFileSizeEx(baseFile, &size) ? (uint64_t)size.QuadPart : 0, ReadBase},
                     baseFile};
    FileSink sink = {{WriteSink}, out};
    DeltaApplier *applier;
    DeltaResult opened = OpenDelta(data, dataSize, &base.base, &sink.sink, false, &applier);
    if (opened != DeltaResult::InProgress)
        return ResultOfDelta(opened, name);
    InstallResult result = StepToEnd(applier, dataSize, name);
    CloseDelta(applier);
    if (result == InstallResult::Ok && !FlushFileBuffers(out))
        result = InstallResult::WriteFailed;
    return result;
}

InstallResult ApplyDelta(const uint8_t *data, uint32_t dataSize, const NameUnit *name)
{
    wchar_t path[TargetPathCapacity];
    wchar_t temporary[TemporaryCapacity];
    if (!MakeDeltaPaths(name, path, temporary))
        return InstallResult::CannotCreate;
    HANDLE base = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (base == INVALID_HANDLE_VALUE)
        return InstallResult::CannotCreate;
    InstallResult result = InstallResult::CannotCreate;
    HANDLE out = CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        result = WriteTemporary(data, dataSize, name, base, out);
        CloseHandle(out);
    }
    CloseHandle(base);
    if (result == InstallResult::Ok &&
        !MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        result = InstallResult::WriteFailed;
    if (result != InstallResult::Ok)
        DeleteFileW(temporary);
    return result;
}

struct DeltaWriter {
    EntryWriters writers;  // first
    uint32_t entry;
};

InstallResult WriteDelta(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name)
{
    DeltaWriter *w = (DeltaWriter *)self;
    uint32_t entry = w->entry++;
    if (entry < deltaEntries && chosen[entry])
        return ApplyDelta(data, dataSize, name);
    progressBytes += dataSize;  // already new, or another base's delta
    RefreshProgressBar();
    return InstallResult::Ok;
}

// Returns: Ok for an installer without deltas, otherwise the walk's result.
InstallResult WalkDeltas(const EntryWriters *writers)
{
    InstallResult result = ForEachResource(QPATCH_DELTA_TYPE, writers);
    return result == InstallResult::NoChunk ? InstallResult::Ok : result;
}

}  // namespace

bool HasDeltas()
{
    const uint8_t *bytes;
    uint32_t size;
    return FindOwnResource(QPATCH_DELTA_TYPE, IDR_FIRST_CHUNK, &bytes, &size);
}

InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize)
{
    DeltaChecker checker = {{CheckDelta, NoRange}, need, clusterSize, 0, 0, {}};
    free(chosen);
    chosen = nullptr;
    InstallResult result = WalkDeltas(&checker.writers);
    if (result == InstallResult::Ok)
        result = FinishTarget(&checker.target);
    deltaEntries = checker.entries;
    return result;
}

InstallResult ApplyDeltas()
{
    DeltaWriter writer = {{WriteDelta, NoRange}, 0};
    InstallResult result = WalkDeltas(&writer.writers);
    free(chosen);
    chosen = nullptr;
    deltaEntries = 0;
    return result;
}
