// The limit an installation can reach: the same chunk files walked, every whole-file block decoded
// with LzmaDecode straight into one buffer and every byte written in 4096-byte WriteFile calls,
// without streams, progress or dialog; then the delta files (NNNN.delta), each delta applied as a
// plain applying process does it: the base checked and read at offsets, the result written to a
// temporary that replaces the target. Chunks are mapped, not read, as the installer's resources
// are. Prints the elapsed time and the bytes written.
//   install_limit.exe PATCH_DIR TARGET_DIR
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include "LzmaDec.h"
#include "delta/apply/delta_file_win32.h"
#include "payload/walk.h"
#include "stream/little_endian.h"

static void *LimitAlloc(void *, size_t size)
{
    return malloc(size);
}
static void LimitFree(void *, void *block)
{
    free(block);
}
static ISzAlloc limitAllocator = {LimitAlloc, LimitFree};

static std::wstring targetRoot;
static uint64_t bytesWritten;
static std::vector<uint8_t> blockBuffer;

static HANDLE OpenTarget(const NameUnit *name, DWORD creation)
{
    std::wstring path = targetRoot + name;
    for (size_t slash = path.find(L'/', targetRoot.size()); slash != std::wstring::npos;
         slash = path.find(L'/', slash + 1))
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

static bool WritePieces(HANDLE file, const uint8_t *data, uint64_t size)
{
    for (uint64_t done = 0; done < size;) {
        DWORD piece = (DWORD)(size - done < 4096 ? size - done : 4096), written = 0;
        if (!WriteFile(file, data + done, piece, &written, nullptr) || written != piece)
            return false;
        done += piece;
    }
    bytesWritten += size;
    return true;
}

static InstallResult DecodeWholeFile(const EntryWriters *, const uint8_t *data, uint32_t dataSize,
                                     const NameUnit *name)
{
    if (dataSize < 12)
        return InstallResult::Corrupt;
    uint64_t total = GetU64(data);
    uint32_t blockSize = GetU32(data + 8);
    uint64_t blocks = blockSize ? (total + blockSize - 1) / blockSize : 0;
    const uint8_t *table = data + 12, *stored = table + 4 * blocks;
    HANDLE file = OpenTarget(name, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return InstallResult::CannotCreate;
    blockBuffer.resize(blockSize);
    InstallResult result = InstallResult::Ok;
    for (uint64_t i = 0; i < blocks && result == InstallResult::Ok; ++i) {
        uint32_t size = GetU32(table + 4 * i);
        uint64_t expected = i + 1 < blocks ? blockSize : total - i * blockSize;
        SizeT outLength = blockSize, inLength = size - 5;
        ELzmaStatus status;
        LzmaDecode(blockBuffer.data(), &outLength, stored + 5, &inLength, stored, 5,
                   LZMA_FINISH_ANY, &status, &limitAllocator);
        if (outLength < expected || !WritePieces(file, blockBuffer.data(), expected))
            result = InstallResult::Corrupt;
        stored += size;
    }
    CloseHandle(file);
    return result;
}

static InstallResult WriteRange(const EntryWriters *, const uint8_t *data, uint32_t dataSize,
                                const NameUnit *name, uint64_t offset)
{
    HANDLE file = OpenTarget(name, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return InstallResult::CannotCreate;
    LONG high = (LONG)(offset >> 32);
    SetFilePointer(file, (LONG)offset, &high, FILE_BEGIN);
    bool ok = WritePieces(file, data, dataSize);
    CloseHandle(file);
    return ok ? InstallResult::Ok : InstallResult::WriteFailed;
}

// Applies one delta to its target, which must hold the delta's base: the base read whole for its
// identity first, as the installer's check does, then the result through a temporary.
static InstallResult ApplyDelta(const EntryWriters *, const uint8_t *data, uint32_t dataSize,
                                const NameUnit *name)
{
    std::wstring path = targetRoot + name, temporary = path + DELTA_TEMPORARY_SUFFIX_WIDE,
                 expanded = path + DELTA_EXPANDED_SUFFIX_WIDE;
    DeltaHeader h;
    FileIdentity installed;
    HANDLE base = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (base == INVALID_HANDLE_VALUE || !GetDeltaHeader(data, dataSize, &h))
        return InstallResult::CannotCreate;
    DeltaResult read = IdentifyOpenFile(base, &installed, nullptr);
    CloseHandle(base);
    if (read != DeltaResult::Done || !SameIdentity(installed, BaseIdentity(h)))
        return InstallResult::WrongBase;
    DeltaResult result = ApplyDeltaThroughTemporary(data, dataSize, path.c_str(), temporary.c_str(),
                                                    expanded.c_str(), nullptr);
    if (result != DeltaResult::Done)
        return InstallResult::WriteFailed;
    bytesWritten += h.resultSize;
    return InstallResult::Ok;
}

static InstallResult NoRange(const EntryWriters *, const uint8_t *, uint32_t, const NameUnit *,
                             uint64_t)
{
    return InstallResult::Corrupt;
}

static uint64_t headerBytes;
static const std::atomic<bool> never{false};
static const EntryWriters deltaWriters = {ApplyDelta, NoRange, &headerBytes, &never};

static const EntryWriters limitWriters = {
    DecodeWholeFile, /* writeWholeFile */
    WriteRange,      /* writeRange */
    &headerBytes,
    &never,
};

// The installer reads its chunks in place from its mapped image; the limit maps each chunk file
// the same way, so that paging the stored bytes in is part of both measurements.
struct MappedChunk {
    HANDLE file = INVALID_HANDLE_VALUE, mapping = nullptr;
    const uint8_t *bytes = nullptr;
    uint32_t size = 0;
};

static bool MapChunk(const std::wstring &path, MappedChunk *chunk)
{
    chunk->file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (chunk->file == INVALID_HANDLE_VALUE)
        return false;
    chunk->size = GetFileSize(chunk->file, nullptr);
    chunk->mapping = chunk->size
                         ? CreateFileMappingW(chunk->file, nullptr, PAGE_READONLY, 0, 0, nullptr)
                         : nullptr;
    chunk->bytes = chunk->mapping
                       ? (const uint8_t *)MapViewOfFile(chunk->mapping, FILE_MAP_READ, 0, 0, 0)
                       : nullptr;
    return true;
}

static void UnmapChunk(MappedChunk *chunk)
{
    if (chunk->bytes)
        UnmapViewOfFile(chunk->bytes);
    if (chunk->mapping)
        CloseHandle(chunk->mapping);
    CloseHandle(chunk->file);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        fwprintf(stderr, L"usage: install_limit PATCH_DIR TARGET_DIR\n");
        return 2;
    }
    targetRoot = std::wstring(argv[2]) + L"\\";
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    double seconds = 0;
    MappedChunk chunk;
    for (const wchar_t *suffix : {L".bin", L".delta"}) {
        const EntryWriters *writers = suffix[1] == L'b' ? &limitWriters : &deltaWriters;
        for (int id = 1601;
             MapChunk(std::wstring(argv[1]) + L"\\" + std::to_wstring(id) + suffix, &chunk); ++id) {
            QueryPerformanceCounter(&start);
            InstallResult result = WalkEntries(chunk.bytes, chunk.size, writers);
            QueryPerformanceCounter(&end);
            UnmapChunk(&chunk);
            seconds += (double)(end.QuadPart - start.QuadPart) / frequency.QuadPart;
            if (result != InstallResult::Ok) {
                fwprintf(stderr, L"%d%ls: result %d\n", id, suffix, (int)result);
                return 1;
            }
        }
    }
    printf("limit_seconds=%.3f bytes_written=%llu\n", seconds, (unsigned long long)bytesWritten);
    return 0;
}
