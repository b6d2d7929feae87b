#include "payload/removals.h"
#include <windows.h>
#include "delta/apply/delta_file_win32.h"
#include "format/name_rule.h"
#include "format/removal_list.h"
#include "format/version.h"
#include "payload/chunk.h"
#include "payload/delta_result.h"
#include "payload/entry_writers.h"
#include "resources/resource.h"

namespace {

// A file on the list, opened for removal and read.
enum class Found : uint8_t { Missing, Other, Listed };

bool CancelSeen(void *)
{
    return cancelRequested;
}

// The record's name under the game folder.
// Returns: false for a name that leaves the game folder or does not fit.
// *gameIni tells a record of the game's ini, which the version is recorded in last: its other keys
// stay, so it is never removed.
bool RemovalPath(const Removal &r, wchar_t path[TargetPathCapacity], bool *gameIni)
{
    NameUnit name[NameBufferUnits];
    GetNameUnits(r.name, r.nameLength, name);
    *gameIni = SameFileName(name, GameIniPath);
    return NameStaysInside(name, r.nameLength) && MakeTargetPath(path, name, WholeName);
}

// Opens the file as its removal needs it (no other program may hold it) and reads it.
// Returns: Ok with *found; CannotCreate when it exists but cannot be opened or read so, or is
// read-only and listed; Cancelled.
InstallResult Inspect(const Removal &r, const wchar_t *path, Found *found)
{
    *found = Found::Missing;
    HANDLE file = CreateFileW(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return missing ? InstallResult::Ok : InstallResult::CannotCreate;
    }
    FileIdentity identity;
    DeltaObserver cancel = {nullptr, nullptr, CancelSeen};
    InstallResult result = InstallResultOfDelta(IdentifyOpenFile(file, &identity, &cancel));
    CloseHandle(file);
    if (result != InstallResult::Ok)
        return result;
    bool listed = RemovalNamesContent(r, identity.size, identity.crc);
    *found = listed ? Found::Listed : Found::Other;
    DWORD attributes = GetFileAttributesW(path);
    bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    return listed && readOnly ? InstallResult::CannotCreate : InstallResult::Ok;
}

// What is done with each record: checked, or carried out.
typedef InstallResult (*RemovalStep)(const Removal &r, const wchar_t *path);

InstallResult CheckOne(const Removal &r, const wchar_t *path)
{
    Found found;
    return r.kind == RemoveFile ? Inspect(r, path, &found) : InstallResult::Ok;
}

InstallResult RemoveOne(const Removal &r, const wchar_t *path)
{
    if (r.kind == RemoveFolder) {
        RemoveDirectoryW(path);  // fails, as it should, while anything is left inside
        return InstallResult::Ok;
    }
    Found found;
    InstallResult result = Inspect(r, path, &found);
    if (result != InstallResult::Ok || found != Found::Listed)
        return result == InstallResult::CannotCreate ? InstallResult::WriteFailed : result;
    if (DeleteFileW(path) || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return InstallResult::Ok;
    return InstallResult::WriteFailed;
}

// Walks the list, whole and sound before the first step, then step by step.
InstallResult ForEachRemoval(RemovalStep step)
{
    const uint8_t *bytes;
    uint32_t size;
    if (!FindOwnResource(QPATCH_REMOVE_TYPE, IDR_FIRST_CHUNK, &bytes, &size))
        return InstallResult::Ok;
    RemovalReader reader;
    Removal r;
    wchar_t path[TargetPathCapacity];
    if (!OpenRemovalList(bytes, size, &reader))
        return InstallResult::Corrupt;
    RemovalReader first = reader;
    RemovalRead read;
    bool gameIni;
    while ((read = NextRemoval(&first, &r)) == RemovalRead::Record) {
        if (!RemovalPath(r, path, &gameIni))
            return InstallResult::Corrupt;
    }
    if (read != RemovalRead::End)
        return InstallResult::Corrupt;
    while (NextRemoval(&reader, &r) == RemovalRead::Record) {
        if (cancelRequested)
            return InstallResult::Cancelled;
        RemovalPath(r, path, &gameIni);
        if (gameIni)
            continue;
        InstallResult result = step(r, path);
        if (result != InstallResult::Ok)
            return result;
    }
    return InstallResult::Ok;
}

}  // namespace

bool HasRemovals()
{
    const uint8_t *bytes;
    uint32_t size;
    return FindOwnResource(QPATCH_REMOVE_TYPE, IDR_FIRST_CHUNK, &bytes, &size);
}

InstallResult CheckRemovals()
{
    return ForEachRemoval(CheckOne);
}

InstallResult ApplyRemovals()
{
    return ForEachRemoval(RemoveOne);
}
