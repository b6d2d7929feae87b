#include "payload/delta_entries.h"
#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "delta/apply/delta_file_win32.h"
#include "delta/common/delta_choice.h"
#include "delta/common/delta_recipe.h"
#include "format/name_rule.h"
#include "payload/chunk.h"
#include "payload/delta_result.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "resources/resource.h"

static_assert((uint32_t)DeltaMaxBaseNameLength == (uint32_t)MaxNameLength,
              "a base's name fits a name buffer");

namespace {

static_assert(sizeof DELTA_EXPANDED_SUFFIX_WIDE >= sizeof DELTA_TEMPORARY_SUFFIX_WIDE,
              "the longer suffix sizes the temporaries' buffers");

enum : uint32_t {
    SuffixUnits = sizeof DELTA_EXPANDED_SUFFIX_WIDE / sizeof(wchar_t) - 1,
    TemporaryNameUnits = NameBufferUnits + SuffixUnits,
    TemporaryCapacity = TargetPathCapacity + SuffixUnits,
};

// ---- names and files ----

// The name of a file beside the target: the target's followed by suffix (a temporary's).
void MakeNameBeside(const NameUnit *name, const wchar_t *suffix, wchar_t beside[TemporaryNameUnits])
{
    lstrcpyW(beside, name);
    lstrcatW(beside, suffix);
}

// The temporary's name beside the target's.
void MakeTemporaryName(const NameUnit *name, wchar_t temporary[TemporaryNameUnits])
{
    MakeNameBeside(name, DELTA_TEMPORARY_SUFFIX_WIDE, temporary);
}

// The path under the game folder of a file beside the target.
// Returns: false when it would not fit.
bool MakePathBeside(const NameUnit *name, const wchar_t *suffix, wchar_t path[TemporaryCapacity])
{
    wchar_t beside[TemporaryNameUnits];
    MakeNameBeside(name, suffix, beside);
    return MakeTargetPath(path, beside, WholeName);
}

// The temporary's path, and the path of a recipe's expanded base, beside the target.
bool MakeTemporaryPath(const NameUnit *name, wchar_t path[TemporaryCapacity])
{
    return MakePathBeside(name, DELTA_TEMPORARY_SUFFIX_WIDE, path);
}

bool MakeExpandedPath(const NameUnit *name, wchar_t path[TemporaryCapacity])
{
    return MakePathBeside(name, DELTA_EXPANDED_SUFFIX_WIDE, path);
}

// The name of the delta's base: its target's, or the one the header names.
// Returns: false for a named base that would leave the game folder.
bool BaseNameOf(const DeltaHeader &h, const NameUnit *target, NameUnit base[NameBufferUnits])
{
    if (!h.baseName) {
        lstrcpyW(base, target);
        return true;
    }
    GetNameUnits(h.baseName, h.baseNameLength, base);
    return NameStaysInside(base, h.baseNameLength);
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool CancelSeen(void *)
{
    return cancelRequested;
}

// Where the check's reading may take the bar: what it stood at plus the check's bytes.
uint64_t checkBarEnd;

// Moves the bar by the piece the check just read, never past the check's share.
void MoveCheckBar(void *context, uint64_t done, uint64_t)
{
    uint64_t *counted = (uint64_t *)context;
    uint64_t piece = done - *counted;
    *counted = done;
    progressBytes = checkBarEnd - progressBytes > piece ? progressBytes + piece : checkBarEnd;
    RefreshProgressBar();
}

// Reads the file name under the game folder, opened with access and sharing, for its identity.
// Returns: Ok with *facts (not present when it is missing); CannotCreate when it exists but
// cannot be opened so or read; Cancelled.
InstallResult ReadFacts(const wchar_t *name, DWORD access, DWORD sharing, FileFacts *facts)
{
    wchar_t path[TemporaryCapacity];
    facts->present = false;
    if (!MakeTargetPath(path, name, WholeName))
        return InstallResult::CannotCreate;
    HANDLE file =
        CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return IsMissing(GetLastError()) ? InstallResult::Ok : InstallResult::CannotCreate;
    uint64_t counted = 0;
    DeltaObserver observer = {&counted, MoveCheckBar, CancelSeen};
    DeltaResult read = IdentifyOpenFile(file, &facts->identity, &observer);
    CloseHandle(file);
    facts->present = read == DeltaResult::Done;
    return InstallResultOfDelta(read);
}

InstallResult RefuseBase(DeltaPlan *plan, const NameUnit *name)
{
    lstrcpyW(plan->wrongBase, name);
    return InstallResult::WrongBase;
}

// Returns: true when name is a named base of a delta of the package: its own result waits.
bool IsNamedBase(const DeltaPlan *plan, const NameUnit *name)
{
    for (uint32_t at = 0; at < plan->baseUnits; at += (uint32_t)wcslen(plan->baseNames + at) + 1) {
        if (SameFileName(plan->baseNames + at, name))
            return true;
    }
    return false;
}

// Returns: Ok for an installer without deltas, otherwise the walk's result.
InstallResult WalkDeltas(const EntryWriters *writers)
{
    InstallResult result = ForEachResource(QPATCH_DELTA_TYPE, writers);
    return result == InstallResult::NoChunk ? InstallResult::Ok : result;
}

InstallResult NoRange(const EntryWriters *, const uint8_t *, uint32_t, const NameUnit *, uint64_t)
{
    return InstallResult::Corrupt;  // a delta resource holds deltas only
}

// ---- the check: the named bases first, then every target ----

struct BaseNoter {
    EntryWriters writers;  // first: the walk hands the table back to the writers
    DeltaPlan *plan;
    uint32_t capacity;  // units of plan->baseNames
};

bool AppendName(BaseNoter *n, const NameUnit *name)
{
    DeltaPlan *plan = n->plan;
    uint32_t units = (uint32_t)wcslen(name) + 1;
    if (plan->baseUnits + units > n->capacity) {
        uint32_t capacity = 2 * (n->capacity + units);
        NameUnit *grown = (NameUnit *)realloc(plan->baseNames, capacity * sizeof(NameUnit));
        if (!grown)
            return false;
        plan->baseNames = grown;
        n->capacity = capacity;
    }
    memcpy(plan->baseNames + plan->baseUnits, name, units * sizeof(NameUnit));
    plan->baseUnits += units;
    return true;
}

InstallResult NoteBaseName(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                           const NameUnit *name)
{
    BaseNoter *n = (BaseNoter *)self;
    DeltaHeader h;
    NameUnit base[NameBufferUnits];
    if (!GetDeltaHeader(data, dataSize, &h) || !BaseNameOf(h, name, base))
        return InstallResult::Corrupt;
    if (!h.baseName || IsNamedBase(n->plan, base))
        return InstallResult::Ok;
    n->plan->namedBases = true;
    return AppendName(n, base) ? InstallResult::Ok : InstallResult::Corrupt;
}

// The deltas of the target being walked, and what was read of it.
struct TargetState {
    NameUnit name[NameBufferUnits];
    FileFacts facts;
    uint64_t temporarySize;  // of a temporary a killed run left
    bool temporaryFound;
    uint32_t first;  // its first delta entry
    uint32_t count;  // its delta entries so far
    uint32_t capacity;
    DeltaHeader *headers;
    FileFacts *bases;
};

struct DeltaChecker {
    EntryWriters writers;  // first
    SpaceNeed *need;
    uint32_t clusterSize;
    uint32_t capacity;  // of plan->actions
    DeltaPlan *plan;
    TargetState target;
};

// Starts the check of the target name: opens it as the check must (read to sum it, write
// without sharing, as the move will need it) and reads it.
InstallResult ReadTarget(TargetState *t, const NameUnit *name)
{
    wchar_t path[TemporaryCapacity];
    lstrcpyW(t->name, name);
    WIN32_FILE_ATTRIBUTE_DATA stray;
    t->temporaryFound =
        MakeTemporaryPath(name, path) && GetFileAttributesExW(path, GetFileExInfoStandard, &stray);
    t->temporarySize =
        t->temporaryFound ? (uint64_t)stray.nFileSizeHigh << 32 | stray.nFileSizeLow : 0;
    return ReadFacts(name, GENERIC_READ | GENERIC_WRITE, 0, &t->facts);
}

// Reads the base of each of the target's deltas: the target itself, or the file it names.
InstallResult ReadBases(TargetState *t)
{
    for (uint32_t k = 0; k < t->count; ++k) {
        NameUnit base[NameBufferUnits];
        if (!BaseNameOf(t->headers[k], t->name, base))
            return InstallResult::Corrupt;
        InstallResult result = t->headers[k].baseName
                                   ? ReadFacts(base, GENERIC_READ, FILE_SHARE_READ, &t->bases[k])
                                   : InstallResult::Ok;
        if (!t->headers[k].baseName)
            t->bases[k] = t->facts;
        if (result != InstallResult::Ok)
            return result;
    }
    return InstallResult::Ok;
}

// Chooses through ChooseDelta; the temporary is read only when nothing else would do.
InstallResult Choose(TargetState *t, DeltaChoice *choice)
{
    *choice = ChooseDelta(t->facts, t->headers, t->bases, t->count, nullptr);
    if (choice->kind != DeltaChoiceKind::Refuse || !t->temporaryFound)
        return InstallResult::Ok;
    wchar_t temporary[TemporaryNameUnits];
    FileFacts found;
    MakeTemporaryName(t->name, temporary);
    InstallResult result = ReadFacts(temporary, GENERIC_READ, FILE_SHARE_READ, &found);
    if (result == InstallResult::Ok)
        *choice = ChooseDelta(t->facts, t->headers, t->bases, t->count, &found);
    return result;
}

// Decides for the target walked so far and notes what the worker does with its entries.
InstallResult FinishTarget(DeltaChecker *c)
{
    TargetState *t = &c->target;
    if (t->count == 0)
        return InstallResult::Ok;
    DeltaChoice choice;
    InstallResult result = ReadBases(t);
    if (result == InstallResult::Ok)
        result = Choose(t, &choice);
    if (result != InstallResult::Ok || choice.kind == DeltaChoiceKind::Skip)
        return result;
    if (choice.kind == DeltaChoiceKind::Refuse) {
        NameUnit base[NameBufferUnits];
        BaseNameOf(t->headers[0], t->name, base);
        return RefuseBase(c->plan, base);
    }
    const DeltaHeader &h = t->headers[choice.delta];
    if (choice.kind == DeltaChoiceKind::Apply) {
        c->plan->actions[t->first + choice.delta] = DeltaApply;
        // a recipe's expanded base lives while the result is written, then goes
        uint64_t expanded = h.flags & DeltaFlagRecipe ? h.expandedBaseSize : 0;
        AddSpaceChange(c->need, 0, expanded, c->clusterSize);
        AddSpaceChange(c->need, t->temporarySize, h.resultSize, c->clusterSize);
        AddSpaceChange(c->need, expanded, 0, c->clusterSize);
    } else {
        c->plan->actions[t->first] = DeltaMoveTemporary;
    }
    // the temporary takes the target's place; one kept back gives nothing back until the end
    if (t->facts.present && !IsNamedBase(c->plan, t->name))
        AddSpaceChange(c->need, t->facts.identity.size, 0, c->clusterSize);
    return InstallResult::Ok;
}

// Makes room for one more entry in the plan and one more delta of the target.
// Returns: false when there is no memory for it.
bool Grow(DeltaChecker *c)
{
    DeltaPlan *plan = c->plan;
    TargetState *t = &c->target;
    if (plan->entries == c->capacity) {
        uint32_t capacity = 2 * c->capacity + 64;
        uint8_t *grown = (uint8_t *)realloc(plan->actions, capacity);
        if (!grown)
            return false;
        plan->actions = grown;
        c->capacity = capacity;
    }
    if (t->count == t->capacity) {
        uint32_t capacity = 2 * t->capacity + 4;
        DeltaHeader *headers = (DeltaHeader *)realloc(t->headers, capacity * sizeof(DeltaHeader));
        if (headers)
            t->headers = headers;
        FileFacts *bases = (FileFacts *)realloc(t->bases, capacity * sizeof(FileFacts));
        if (bases)
            t->bases = bases;
        if (!headers || !bases)
            return false;
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
    RecipeLists lists;  // a recipe is read whole now, not found damaged half-way through the run
    if (!GetDeltaHeader(data, dataSize, &h) || !GetRecipeLists(h, &lists))
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
    c->plan->actions[c->plan->entries++] = DeltaLeave;
    return InstallResult::Ok;
}

// ---- the check's share of the bar ----

uint64_t SizeIfPresent(const NameUnit *name)
{
    wchar_t path[TemporaryCapacity];
    WIN32_FILE_ATTRIBUTE_DATA found;
    if (!MakeTargetPath(path, name, WholeName) ||
        !GetFileAttributesExW(path, GetFileExInfoStandard, &found))
        return 0;
    return (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
}

struct CheckCounter {
    EntryWriters writers;  // first
    uint64_t bytes;
    NameUnit target[NameBufferUnits];
};

// Counts what the check reads for the entry: its target the first time, and its named base.
InstallResult CountCheckBytes(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                              const NameUnit *name)
{
    CheckCounter *c = (CheckCounter *)self;
    DeltaHeader h;
    NameUnit base[NameBufferUnits];
    if (!GetDeltaHeader(data, dataSize, &h) || !BaseNameOf(h, name, base))
        return InstallResult::Corrupt;
    if (wcscmp(name, c->target) != 0) {
        lstrcpyW(c->target, name);
        c->bytes += SizeIfPresent(name);
    }
    if (h.baseName)
        c->bytes += SizeIfPresent(base);
    return InstallResult::Ok;
}

// ---- the worker ----

// Moves the bar by the entry's share of the work the applier did; the base, not checked again,
// counts as done from the start (WriteDeltaResult reports the work so).
struct BarMover {
    uint64_t start;     // progressBytes before the entry
    uint32_t dataSize;  // the entry's bytes
};

void MoveBar(void *context, uint64_t done, uint64_t total)
{
    const BarMover *m = (const BarMover *)context;
    progressBytes = m->start + EntryShare(m->dataSize, done, total);
    RefreshProgressBar();
}

// Moves the target's complete temporary over it in one step.
// Returns: Ok; WriteFailed.
InstallResult MoveIntoPlace(const NameUnit *name)
{
    wchar_t path[TargetPathCapacity];
    wchar_t temporary[TemporaryCapacity];
    if (!MakeTargetPath(path, name, WholeName) || !MakeTemporaryPath(name, temporary))
        return InstallResult::WriteFailed;
    return MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? InstallResult::Ok
               : InstallResult::WriteFailed;
}

// Writes the delta's result from its base into the target's temporary (created anew, with its
// folders when the target is new); on any failure the temporary is deleted.
InstallResult WriteTemporary(DeltaPlan *plan, const uint8_t *data, uint32_t dataSize,
                             const NameUnit *name)
{
    DeltaHeader h;
    NameUnit base[NameBufferUnits];
    wchar_t basePath[TargetPathCapacity];
    wchar_t temporaryName[TemporaryNameUnits];
    wchar_t temporary[TemporaryCapacity];
    wchar_t expanded[TemporaryCapacity];
    if (!GetDeltaHeader(data, dataSize, &h) || !BaseNameOf(h, name, base))
        return InstallResult::Corrupt;
    MakeTemporaryName(name, temporaryName);
    if (!MakeTargetPath(basePath, base, WholeName) || !MakeTemporaryPath(name, temporary) ||
        !MakeExpandedPath(name, expanded))
        return InstallResult::CannotCreate;
    HANDLE baseFile = CreateFileW(basePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (baseFile == INVALID_HANDLE_VALUE)
        return InstallResult::CannotCreate;
    InstallResult result = InstallResult::CannotCreate;
    HANDLE out = CreateTargetFile(temporaryName);
    if (out != INVALID_HANDLE_VALUE) {
        BarMover mover = {progressBytes, dataSize};
        DeltaObserver observer = {&mover, MoveBar, CancelSeen};
        result = InstallResultOfDelta(
            WriteDeltaResult(data, dataSize, baseFile, out, expanded, &observer));
        CloseHandle(out);
    }
    CloseHandle(baseFile);
    if (result != InstallResult::Ok)
        DeleteFileW(temporary);
    // a base that does not match here changed since the check
    return result == InstallResult::WrongBase ? RefuseBase(plan, base) : result;
}

struct DeltaWriter {
    EntryWriters writers;  // first
    DeltaPlan *plan;
    uint32_t entry;
};

// Moves the entry's result into place now, or, when its target is a base another delta reads,
// once every delta is written.
InstallResult MoveOrKeepBack(DeltaPlan *plan, uint32_t entry, const NameUnit *name)
{
    if (IsNamedBase(plan, name)) {
        plan->actions[entry] |= DeltaMoveLater;
        return InstallResult::Ok;
    }
    return MoveIntoPlace(name);
}

InstallResult WriteDelta(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name)
{
    DeltaWriter *w = (DeltaWriter *)self;
    uint32_t entry = w->entry++;
    uint8_t action = entry < w->plan->entries ? w->plan->actions[entry] : (uint8_t)DeltaLeave;
    if (action == DeltaApply) {
        InstallResult result = WriteTemporary(w->plan, data, dataSize, name);
        if (result != InstallResult::Ok)
            return result;
        result = MoveOrKeepBack(w->plan, entry, name);
        wchar_t temporary[TemporaryCapacity];
        if (result != InstallResult::Ok && MakeTemporaryPath(name, temporary))
            DeleteFileW(temporary);
        return result;
    }
    progressBytes += dataSize;  // already new, another base's delta, or only a move
    RefreshProgressBar();
    return action == DeltaMoveTemporary ? MoveOrKeepBack(w->plan, entry, name) : InstallResult::Ok;
}

InstallResult MoveKeptBack(const EntryWriters *self, const uint8_t *, uint32_t,
                           const NameUnit *name)
{
    DeltaWriter *w = (DeltaWriter *)self;
    uint32_t entry = w->entry++;
    bool kept = entry < w->plan->entries && (w->plan->actions[entry] & DeltaMoveLater);
    return kept ? MoveIntoPlace(name) : InstallResult::Ok;
}

}  // namespace

void ReleaseDeltaPlan(DeltaPlan *plan)
{
    free(plan->actions);
    free(plan->baseNames);
    plan->actions = nullptr;
    plan->baseNames = nullptr;
    plan->entries = 0;
    plan->baseUnits = 0;
    plan->namedBases = false;
}

bool HasDeltas()
{
    const uint8_t *bytes;
    uint32_t size;
    return FindOwnResource(QPATCH_DELTA_TYPE, IDR_FIRST_CHUNK, &bytes, &size);
}

uint64_t DeltaCheckBytes()
{
    uint64_t headerBytes = 0;
    CheckCounter counter = {{CountCheckBytes, NoRange, &headerBytes, &cancelRequested}, 0, {0}};
    return WalkDeltas(&counter.writers) == InstallResult::Ok ? counter.bytes : 0;
}

InstallResult CheckDeltaTargets(SpaceNeed *need, uint32_t clusterSize, uint64_t checkBytes,
                                DeltaPlan *plan)
{
    checkBarEnd = progressBytes + checkBytes;
    uint64_t headerBytes = 0;  // the check's walks count no header
    ReleaseDeltaPlan(plan);
    BaseNoter noter = {{NoteBaseName, NoRange, &headerBytes, &cancelRequested}, plan, 0};
    InstallResult result = WalkDeltas(&noter.writers);
    if (result != InstallResult::Ok)
        return result;
    DeltaChecker checker = {
        {CheckDelta, NoRange, &headerBytes, &cancelRequested}, need, clusterSize, 0, plan, {}};
    result = WalkDeltas(&checker.writers);
    if (result == InstallResult::Ok)
        result = FinishTarget(&checker);
    free(checker.target.headers);
    free(checker.target.bases);
    return result;
}

InstallResult ApplyDeltas(DeltaPlan *plan)
{
    DeltaWriter writer = {{WriteDelta, NoRange, &progressBytes, &cancelRequested}, plan, 0};
    InstallResult result = WalkDeltas(&writer.writers);
    if (result != InstallResult::Ok || !plan->namedBases)
        return result;
    uint64_t headerBytes = 0;                     // counted by the walk above already
    static const std::atomic<bool> never{false};  // the moves finish once begun
    DeltaWriter mover = {{MoveKeptBack, NoRange, &headerBytes, &never}, plan, 0};
    return WalkDeltas(&mover.writers);
}
