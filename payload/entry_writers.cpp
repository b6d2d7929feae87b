#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"

bool MakeTargetPath(wchar_t path[TargetPathCapacity], const wchar_t *name, uint32_t nameUnits)
{
    uint32_t length = 0;
    for (uint32_t i = 0; i < PathCapacity && gameRoot[i] != 0; ++i) {
        path[length++] = gameRoot[i];
    }
    for (uint32_t i = 0; i < nameUnits && name[i] != 0; ++i) {
        if (length + 1 >= TargetPathCapacity) {
            return false;
        }
        path[length++] = name[i];
    }
    if (length >= TargetPathCapacity) {
        return false;
    }
    path[length] = 0;
    return true;
}

namespace {

HANDLE OpenTarget(const wchar_t *path, DWORD creation)
{
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Creates gameRoot + each part of name before a forward slash, outermost first; folder is scratch.
// Returns: false when a folder could not be created and does not exist.
bool CreateParentFolders(const wchar_t *name, wchar_t folder[TargetPathCapacity])
{
    for (uint32_t p = 0; name[p] != 0; ++p) {
        if (name[p] != L'/') {
            continue;
        }
        if (!MakeTargetPath(folder, name, p)) {
            return false;
        }
        if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

// Returns: true when all length bytes were written.
bool WritePiece(HANDLE file, const void *bytes, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(file, bytes, length, &written, nullptr) && written == length;
}

// Decodes the whole stream into file, accounting each piece as its share of dataSize.
InstallResult CopyDecoded(Stream *blocks, HANDLE file, uint32_t dataSize, uint64_t decodedSize,
                          uint64_t base)
{
    uint8_t buffer[WriterStepSize];
    uint64_t decoded = 0;
    while (decoded < decodedSize) {
        uint32_t n = blocks->methods->read(blocks, buffer, WriterStepSize);
        if (n == 0) {
            return InstallResult::Corrupt;
        }
        decoded += n;
        if (!WritePiece(file, buffer, n)) {
            return InstallResult::WriteFailed;
        }
        if (cancelRequested) {
            return InstallResult::Cancelled;
        }
        progressBytes = base + EntryShare(dataSize, decoded, decodedSize);
        RefreshProgressBar();
    }
    return InstallResult::Ok;
}

// Returns: true when the file pointer now stands exactly at offset.
bool SeekTo(HANDLE file, uint64_t offset)
{
    LONG high = (LONG)(uint32_t)(offset >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file, (LONG)(uint32_t)offset, &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
        return false;
    }
    return ((uint64_t)(uint32_t)high << 32 | low) == offset;
}

InstallResult CopyRange(HANDLE file, const uint8_t *data, uint32_t dataSize)
{
    uint32_t remaining = dataSize;
    while (remaining != 0) {
        uint32_t piece = remaining < WriterStepSize ? remaining : WriterStepSize;
        if (!WritePiece(file, data, piece)) {
            return InstallResult::WriteFailed;
        }
        if (cancelRequested) {
            return InstallResult::Cancelled;
        }
        data += piece;
        progressBytes += piece;
        RefreshProgressBar();
        remaining -= piece;
    }
    return InstallResult::Ok;
}

}  // namespace

HANDLE CreateTargetFile(const wchar_t *name)
{
    wchar_t path[TargetPathCapacity];
    if (!MakeTargetPath(path, name, WholeName)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = OpenTarget(path, CREATE_ALWAYS);
    if (file != INVALID_HANDLE_VALUE) {
        return file;
    }
    if (!CreateParentFolders(name, path)) {
        return INVALID_HANDLE_VALUE;
    }
    MakeTargetPath(path, name, WholeName);
    return OpenTarget(path, CREATE_ALWAYS);
}

InstallResult WriteWholeFileEntry(const uint8_t *data, uint32_t dataSize, const wchar_t *name)
{
    uint64_t base = progressBytes;
    Stream *memory = openMemoryStream(data, dataSize);
    if (!memory) {
        return InstallResult::Corrupt;
    }
    Stream *blocks = openBlockStream(memory);
    if (!blocks) {
        memory->methods->release(memory);
        return InstallResult::Corrupt;
    }
    uint64_t decodedSize = 0;
    InstallResult result = InstallResult::Corrupt;
    if (blocks->methods->getSize(blocks, &decodedSize, nullptr)) {
        result = InstallResult::CannotCreate;
        HANDLE file = CreateTargetFile(name);
        if (file != INVALID_HANDLE_VALUE) {
            result = CopyDecoded(blocks, file, dataSize, decodedSize, base);
            CloseHandle(file);
        }
    }
    blocks->methods->release(blocks);
    return result;
}

InstallResult WriteRangeEntry(const uint8_t *data, uint32_t dataSize, const wchar_t *name,
                              uint64_t targetOffset)
{
    wchar_t path[TargetPathCapacity];
    if (!MakeTargetPath(path, name, WholeName)) {
        return InstallResult::CannotCreate;
    }
    HANDLE file = OpenTarget(path, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return InstallResult::CannotCreate;
    }
    InstallResult result =
        SeekTo(file, targetOffset) ? CopyRange(file, data, dataSize) : InstallResult::Corrupt;
    CloseHandle(file);
    return result;
}
