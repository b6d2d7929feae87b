#include "payload/delta_entries.h"
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "delta/apply/delta_file_win32.h"
#include "delta/common/delta_choice.h"
#include "payload/chunk.h"
#include "payload/delta_result.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "resources/resource.h"

namespace {

enum : uint32_t {
    TemporaryCapacity = TargetPathCapacity + sizeof DELTA_TEMPORARY_SUFFIX_WIDE / 2,
};

// The target's path and its temporary's.
// Returns: false when either would not fit.
bool MakeDeltaPaths(const NameUnit *name, wchar_t *path, wchar_t *temporary)
{
    if (!MakeTargetPath(path, name, WholeName))
        return false;
    lstrcpyW(temporary, path);
    lstrcatW(temporary, DELTA_TEMPORARY_SUFFIX_WIDE);
    return true;
}

InstallResult RefuseBase(DeltaPlan *plan, const NameUnit *name)
{
    memcpy(plan->wrongBase, name, sizeof plan->wrongBase);
    return InstallResult::WrongBase;
}

bool CancelSeen(void *)
{
    return cancelRequested;
}

// The delta headers of the target being walked, and what was read of it.
struct TargetState {
    NameUnit name[NameBufferUnits];
    bool present;  // the target exists and was read
    FileIdentity installed;
    uint64_t temporarySize;  // of a temporary a killed run left
    uint32_t first;          // its first delta entry
    uint32_t count;          // its delta entries so far
    uint32_t capacity;
    DeltaHeader *headers;
};

struct DeltaChecker {
    EntryWriters writers;  // first: the walk hands the table back to the writers
    SpaceNeed *need;
    uint32_t clusterSize;
    uint32_t capacity;  // of plan->apply
    DeltaPlan *plan;
    TargetState target;
};

// Starts the check of the target name: opens it as the check must (read to sum it, write
// without sharing, as the move will need it) and reads it.
InstallResult ReadTarget(TargetState *t, const NameUnit *name)
{
    wchar_t path[TargetPathCapacity];
    wchar_t temporary[TemporaryCapacity];
    memcpy(t->name, name, sizeof t->name);
    t->present = false;
    t->temporarySize = 0;
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
    DeltaObserver cancel = {nullptr, nullptr, CancelSeen};
    DeltaResult read = IdentifyOpenFile(file, &t->installed, &cancel);
    CloseHandle(file);
    t->present = read == DeltaResult::Done;
    return InstallResultOfDelta(read);
}

// Decides for the target walked so far and notes the choice for each of its entries.
InstallResult FinishTarget(DeltaChecker *c)
{
    TargetState *t = &c->target;
    if (t->count == 0)
        return InstallResult::Ok;
    DeltaChoice choice = ChooseDelta(t->present, t->installed, t->headers, t->count);
    if (choice.kind == DeltaChoiceKind::Refuse)
        return RefuseBase(c->plan, t->name);
    if (choice.kind == DeltaChoiceKind::Apply) {
        // the temporary grows to the result, then takes the base's place
        const DeltaHeader &h = t->headers[choice.delta];
        AddSpaceChange(c->need, t->temporarySize, h.resultSize, c->clusterSize);
        AddSpaceChange(c->need, h.baseSize, 0, c->clusterSize);
        c->plan->apply[t->first + choice.delta] = 1;
    }
    return InstallResult::Ok;
}

// Makes room for one more entry in the plan and one more header of the target.
// Returns: false when there is no memory for it.
bool Grow(DeltaChecker *c)
{
    DeltaPlan *plan = c->plan;
    TargetState *t = &c->target;
    if (plan->entries == c->capacity) {
        uint32_t capacity = 2 * c->capacity + 64;
        uint8_t *grown = (uint8_t *)realloc(plan->apply, capacity);
        if (!grown)
            return false;
        plan->apply = grown;
        c->capacity = capacity;
    }
    if (t->count == t->capacity) {
        uint32_t capacity = 2 * t->capacity + 4;
        DeltaHeader *grown = (DeltaHeader *)realloc(t->headers, capacity * sizeof(DeltaHeader));
        if (!grown)
            return false;
        t->headers = grown;
        t->capacity = capacity;
    }
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
    if (t->count == 0 || wcscmp(name, t->name) != 0) {
        InstallResult result = FinishTarget(c);
        if (result != InstallResult::Ok)
            return result;
        t->first = c->plan->entries;
        t->count = 0;
        result = ReadTarget(t, name);
        if (result != InstallResult::Ok)
            return result;
    }
    if (!Grow(c))
        return InstallResult::Corrupt;
    t->headers[t->count++] = h;
    c->plan->apply[c->plan->entries++] = 0;
    return InstallResult::Ok;
}

InstallResult NoRange(const EntryWriters *, const uint8_t *, uint32_t, const NameUnit *, uint64_t)
{
    return InstallResult::Corrupt;  // a delta resource holds deltas only
}

// Moves the bar by the entry's share of the work the applier did; the base, not checked again,
// counts as done from the start.
struct BarMover {
    uint64_t start;      // progressBytes before the entry
    uint32_t dataSize;   // the entry's bytes
    uint64_t unchecked;  // work the applier counts done from the start
};

void MoveBar(void *context, uint64_t done, uint64_t total)
{
    const BarMover *m = (const BarMover *)context;
    progressBytes = m->start + EntryShare(m->dataSize, done - m->unchecked, total - m->unchecked);
    RefreshProgressBar();
}

InstallResult ApplyDelta(DeltaPlan *plan, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name)
{
    wchar_t path[TargetPathCapacity];
    wchar_t temporary[TemporaryCapacity];
    DeltaHeader h;
    if (!GetDeltaHeader(data, dataSize, &h))
        return InstallResult::Corrupt;
    if (!MakeDeltaPaths(name, path, temporary))
        return InstallResult::CannotCreate;
    BarMover mover = {progressBytes, dataSize, h.baseSize};
    DeltaObserver observer = {&mover, MoveBar, CancelSeen};
    DeltaResult applied = ApplyDeltaThroughTemporary(data, dataSize, path, temporary, &observer);
    InstallResult result = InstallResultOfDelta(applied);
    // a base that does not match here changed since the check
    return result == InstallResult::WrongBase ? RefuseBase(plan, name) : result;
}

struct DeltaWriter {
    EntryWriters writers;  // first
    DeltaPlan *plan;
    uint32_t entry;
};

InstallResult WriteDelta(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name)
{
    DeltaWriter *w = (DeltaWriter *)self;
    uint32_t entry = w->entry++;
    if (entry < w->plan->entries && w->plan->apply[entry])
        return ApplyDelta(w->plan, data, dataSize, name);
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

void ReleaseDeltaPlan(DeltaPlan *plan)
{
    free(plan->apply);
    plan->apply = nullptr;
    plan->entries = 0;
}

bool HasDeltas()
{
    const uint8_t *bytes;
    uint32_t size;
    return FindOwnResource(QPATCH_DELTA_TYPE, IDR_FIRST_CHUNK, &bytes, &size);
}

InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize, DeltaPlan *plan)
{
    uint64_t headerBytes = 0;  // the check's walk moves no bar
    DeltaChecker checker = {
        {CheckDelta, NoRange, &headerBytes, &cancelRequested}, need, clusterSize, 0, plan, {}};
    ReleaseDeltaPlan(plan);
    InstallResult result = WalkDeltas(&checker.writers);
    if (result == InstallResult::Ok)
        result = FinishTarget(&checker);
    free(checker.target.headers);
    return result;
}

InstallResult ApplyDeltas(DeltaPlan *plan)
{
    DeltaWriter writer = {{WriteDelta, NoRange, &progressBytes, &cancelRequested}, plan, 0};
    return WalkDeltas(&writer.writers);
}
