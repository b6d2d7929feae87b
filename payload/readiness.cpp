#include <windows.h>
#include "payload/readiness.h"
#include "payload/chunk.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/walk.h"
#include "resources/resource.h"
#include "stream/block_stream.h"
#include "stream/little_endian.h"

namespace {

const uint32_t FallbackClusterSize = 4096;

struct Checker {
    EntryWriters writers;  // first: the walk hands the table back to the writers
    SpaceNeed need;
    uint32_t clusterSize;
};

// Opens an existing target as the writers do (write access, no sharing), without creating it.
HANDLE OpenExisting(const wchar_t *path)
{
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
        AddSpaceChange(&checker->need, size, GetU64(data), checker->clusterSize);
    }
    return result;
}

// Set while a range target is missing: the entry the search for an earlier creator stops at.
struct CreatorSearch {
    EntryWriters writers;
    const uint8_t *stopAt;
    const NameUnit *name;
    bool found;
};

bool SameName(const NameUnit *a, const NameUnit *b)
{
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

InstallResult FindWholeFile(const EntryWriters *self, const uint8_t *data, uint32_t, const NameUnit *name)
{
    CreatorSearch *search = (CreatorSearch *)self;
    if (data == search->stopAt)
        return InstallResult::NoChunk;  // reached the range entry itself: stop
    if (SameName(name, search->name)) {
        search->found = true;
        return InstallResult::NoChunk;
    }
    return InstallResult::Ok;
}

InstallResult FindStop(const EntryWriters *self, const uint8_t *data, uint32_t, const NameUnit *, uint64_t)
{
    return data == ((CreatorSearch *)self)->stopAt ? InstallResult::NoChunk : InstallResult::Ok;
}

// Walks every chunk in id order with writers, up to the first missing id or the first result
// that is not Ok, leaving progressBytes as it was (the walk counts header bytes into it).
// Returns: that result, or Ok when every chunk was walked.
InstallResult WalkAllChunks(const EntryWriters *writers)
{
    uint64_t bytes = progressBytes;
    InstallResult result = InstallResult::Ok;
    for (uint16_t id = IDR_FIRST_CHUNK; id < IDR_DESCRIPTOR && result == InstallResult::Ok; ++id)
        result = WalkChunkResource(id, writers);
    progressBytes = bytes;
    return result == InstallResult::NoChunk ? InstallResult::Ok : result;
}

// Returns: true when a whole-file entry before the one at entryData creates name.
bool CreatedEarlier(const NameUnit *name, const uint8_t *entryData)
{
    CreatorSearch search = {{FindWholeFile, FindStop}, entryData, name, false};
    WalkAllChunks(&search.writers);
    return search.found;
}

InstallResult CheckRange(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *name, uint64_t targetOffset)
{
    bool exists;
    uint64_t size;
    InstallResult result = ProbeTarget(name, &exists, &size);
    if (result != InstallResult::Ok)
        return result;
    if (!exists)  // ranges never create their file: only an earlier entry of the patch may
        return CreatedEarlier(name, data) ? InstallResult::Ok : InstallResult::CannotCreate;
    uint64_t reach = targetOffset + dataSize;
    if (reach > size)
        AddSpaceChange(&((Checker *)self)->need, size, reach, ((Checker *)self)->clusterSize);
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
    bool powerOfTwo = size != 0 && (size & (size - 1)) == 0 && sectorsPerCluster <= 0x10000 && bytesPerSector <= 0x10000;
    return powerOfTwo ? size : FallbackClusterSize;
}

}  // namespace

// Sizes beyond this are no disk's: capping them keeps the rounding and the sums from overflowing,
// and such a need is refused all the same.
static const uint64_t LargestSize = (uint64_t)1 << 62;

// Returns: size rounded up to whole clusters of clusterSize bytes, a power of two.
static uint64_t RoundToClusters(uint64_t size, uint32_t clusterSize)
{
    if (size > LargestSize)
        size = LargestSize;
    return (size + clusterSize - 1) & ~(uint64_t)(clusterSize - 1);
}

void AddSpaceChange(SpaceNeed *need, uint64_t oldSize, uint64_t newSize, uint32_t clusterSize)
{
    need->running += (int64_t)RoundToClusters(newSize, clusterSize) - (int64_t)RoundToClusters(oldSize, clusterSize);
    if (need->running > need->peak)
        need->peak = need->running;
}

InstallResult CheckWriteReadiness()
{
    Checker checker = {{CheckWholeFile, CheckRange}, {0, 0}, ClusterSize(gameRoot)};
    InstallResult result = WalkAllChunks(&checker.writers);
    if (result == InstallResult::Corrupt)
        return InstallResult::Ok;
    if (result != InstallResult::Ok)
        return result;
    ULARGE_INTEGER available;
    if (checker.need.peak > 0 && GetDiskFreeSpaceExW(gameRoot, &available, nullptr, nullptr) &&
        available.QuadPart < (uint64_t)checker.need.peak)
        return InstallResult::WriteFailed;
    return InstallResult::Ok;
}
