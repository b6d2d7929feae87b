#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "payload/readiness.h"
#include "payload/removals.h"
#include "payload/run_state.h"
#include "payload/chunk.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/walk.h"
#include "resources/resource.h"
#include "stream/block_stream.h"
#include "stream/little_endian.h"

namespace {

const uint32_t FallbackClusterSize = 4096;
// The most units of names kept for range entries to look up; past them nothing is ruled out.
const uint32_t MaxCreatedUnits = 1u << 26;

// The names of the files that whole-file entries create, each with its zero, one after another:
// a range entry may patch a file that is not there yet when an earlier entry creates it.
struct CreatedFiles {
    NameUnit *names;
    uint32_t used;      // in units
    uint32_t capacity;  // in units
    bool complete;      // false once a name could not be kept: then every name counts as created
};

struct Checker {
    EntryWriters writers;  // first: the walk hands the table back to the writers
    SpaceNeed *need;
    uint32_t clusterSize;
    CreatedFiles created;
};

void NoteCreated(CreatedFiles *created, const NameUnit *name)
{
    uint32_t units = (uint32_t)wcslen(name) + 1;
    if (created->used + units > created->capacity) {
        uint32_t capacity = 2 * (created->capacity + units);
        NameUnit *grown = capacity <= MaxCreatedUnits
                              ? (NameUnit *)realloc(created->names, capacity * sizeof(NameUnit))
                              : nullptr;
        if (!grown) {
            created->complete = false;
            return;
        }
        created->names = grown;
        created->capacity = capacity;
    }
    memcpy(created->names + created->used, name, units * sizeof(NameUnit));
    created->used += units;
}

// Returns: true when an entry noted so far creates name, or when that cannot be ruled out.
bool IsCreated(const CreatedFiles *created, const NameUnit *name)
{
    for (uint32_t at = 0; at < created->used; at += (uint32_t)wcslen(created->names + at) + 1) {
        if (wcscmp(created->names + at, name) == 0)
            return true;
    }
    return !created->complete;
}

// Opens an existing target as the writers do (write access, no sharing), without creating it.
HANDLE OpenExisting(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Returns: the size of the open file, 0 when it cannot be read.
uint64_t FileSize(HANDLE file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? (uint64_t)size.QuadPart : 0;
}

// Opens gameRoot + name as its writer will and closes it again at once.
// Returns: Ok with *exists and *size set; CannotCreate when it exists but cannot be opened, or
// when the path does not fit.
InstallResult ProbeTarget(const NameUnit *name, bool *exists, uint64_t *size)
{
    *exists = false;
    *size = 0;
    wchar_t path[TargetPathCapacity];
    if (!MakeTargetPath(path, name, MaxNameLength))
        return InstallResult::CannotCreate;
    HANDLE file = OpenExisting(path);
    if (file == INVALID_HANDLE_VALUE)
        return IsMissing(GetLastError()) ? InstallResult::Ok : InstallResult::CannotCreate;
    *exists = true;
    *size = FileSize(file);
    CloseHandle(file);
    return InstallResult::Ok;
}

InstallResult CheckWholeFile(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                             const NameUnit *name)
{
    if (!data || dataSize < BlockStreamHeaderSize)
        return InstallResult::Corrupt;  // its writer refuses it the same way, touching nothing
    bool exists;
    uint64_t size;
    InstallResult result = ProbeTarget(name, &exists, &size);
    if (result == InstallResult::Ok) {
        Checker *checker = (Checker *)self;
        AddSpaceChange(checker->need, size, GetU64(data), checker->clusterSize);
        if (!exists)
            NoteCreated(&checker->created, name);
    }
    return result;
}

InstallResult CheckRange(const EntryWriters *self, const uint8_t *, uint32_t dataSize,
                         const NameUnit *name, uint64_t targetOffset)
{
    Checker *checker = (Checker *)self;
    bool exists;
    uint64_t size;
    InstallResult result = ProbeTarget(name, &exists, &size);
    if (result != InstallResult::Ok)
        return result;
    if (!exists)  // ranges never create their file: only an earlier entry of the patch may
        return IsCreated(&checker->created, name) ? InstallResult::Ok : InstallResult::CannotCreate;
    uint64_t reach = targetOffset + dataSize;
    if (reach > size)
        AddSpaceChange(checker->need, size, reach, checker->clusterSize);
    return InstallResult::Ok;
}

uint32_t ClusterSize(const wchar_t *folder)
{
    wchar_t volume[MAX_PATH + 1];
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetVolumePathNameW(folder, volume, MAX_PATH + 1) ||
        !GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return FallbackClusterSize;
    uint32_t size = sectorsPerCluster * bytesPerSector;
    bool powerOfTwo = size != 0 && (size & (size - 1)) == 0 && sectorsPerCluster <= 0x10000 &&
                      bytesPerSector <= 0x10000;
    return powerOfTwo ? size : FallbackClusterSize;
}

}  // namespace

InstallResult CheckWriteReadiness(Readiness *decided)
{
    uint64_t headerBytes = 0;  // the check's walk moves no bar
    Checker checker = {{CheckWholeFile, CheckRange, &headerBytes, &cancelRequested},
                       &decided->space,
                       ClusterSize(gameRoot),
                       {nullptr, 0, 0, true}};
    InstallResult result = ForEachChunk(&checker.writers);
    free(checker.created.names);
    if (result == InstallResult::Ok || result == InstallResult::NoChunk) {
        result = CheckDeltaTargets(&decided->space, checker.clusterSize, decided->checkBytes,
                                   &decided->deltas);
        if (result == InstallResult::Ok)
            result = CheckRemovals();
    } else if (result == InstallResult::Corrupt) {
        result = InstallResult::Ok;  // the real run stops at that entry, before any delta
    }
    if (result != InstallResult::Ok)
        return result;
    ULARGE_INTEGER available;
    if (decided->space.peak > 0 && GetDiskFreeSpaceExW(gameRoot, &available, nullptr, nullptr) &&
        available.QuadPart < (uint64_t)decided->space.peak)
        return InstallResult::WriteFailed;
    return InstallResult::Ok;
}
