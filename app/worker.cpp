// The install worker: applies the payload chunks in id order, reports the first failure, records
// the new version on success and tells the dialog it is done.
#include <windows.h>
#include <commctrl.h>
#include "app/dialog.h"
#include "app/state.h"
#include "app/texts.h"
#include "payload/chunk.h"
#include "payload/progress.h"
#include "payload/readiness.h"
#include "resources/resource.h"
#include "payload/window_api.h"

// Chunk ids run from 1601 up to the first missing id; 2000 is the descriptor and never a chunk.
static const uint16_t LastChunkId = IDR_DESCRIPTOR - 1;

static bool ChunkExists(uint16_t id, uint32_t *size)
{
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), QPATCH_TYPE);
    if (!resource)
        return false;
    *size = SizeofResource(nullptr, resource);
    return true;
}

// Returns: the sum of the chunk sizes up to the first missing id, in 64 bits.
static uint64_t TotalPayloadSize()
{
    uint64_t total = 0;
    uint32_t size;
    for (uint16_t id = IDR_FIRST_CHUNK; id <= LastChunkId && ChunkExists(id, &size); ++id)
        total += size;
    return total;
}

static void SetUpProgressBar(uint64_t total)
{
    progressWindow = dialogWindow;
    uint64_t divisor = total / 100;
    progressDivisor = divisor > INT32_MAX ? INT32_MAX : (int32_t)divisor;
    windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
}

// Returns: the result that ended the sequence; *applied counts the chunks that returned Ok.
static InstallResult ApplyAllChunks(uint32_t *applied)
{
    *applied = 0;
    for (uint16_t id = IDR_FIRST_CHUNK; id <= LastChunkId; ++id) {
        InstallResult result = ApplyPayloadChunk(id);
        if (result != InstallResult::Ok)
            return result;
        ++*applied;
    }
    return InstallResult::NoChunk;
}

// Shows at most one message for the result that ended the sequence.
// Returns: the verdict, true for a complete installation.
static bool ReportResult(InstallResult last, uint32_t applied)
{
    if (last == InstallResult::NoChunk) {
        if (applied > 0)
            return true;
        ShowText(nullptr, IDS_NO_CONTENT, MB_OK | MB_ICONERROR);  // no owner: the dialog stays usable
        return false;
    }
    // The messages of Corrupt, CannotCreate and WriteFailed, by result; Cancelled shows none.
    static_assert((int)InstallResult::CannotCreate == (int)InstallResult::Corrupt + 1 &&
                      (int)InstallResult::WriteFailed == (int)InstallResult::Corrupt + 2,
                  "the failure texts follow the results' order");
    static const UINT failureText[] = {IDS_PACKAGE_CORRUPT, IDS_CANNOT_WRITE_GAME, IDS_WRITE_FAILED};
    uint32_t index = (uint32_t)last - (uint32_t)InstallResult::Corrupt;
    if (index < sizeof failureText / sizeof failureText[0])
        ShowText(dialogWindow, failureText[index], MB_OK | MB_ICONERROR);
    return false;
}

// Writes the value into a copy of game.ini beside it and moves the copy over the original in one
// step: a process killed on the way leaves the old file whole, still naming the old version, so
// running the installer again passes the gate and finishes the job.
static bool ReplaceVersionValue(const wchar_t *path, const wchar_t *copy, const wchar_t *value)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return false;  // a read-only game.ini keeps its version, as a write into it would fail
    SetFileAttributesW(copy, FILE_ATTRIBUTE_NORMAL);  // a copy left by a killed run goes first
    DeleteFileW(copy);
    if (attributes != INVALID_FILE_ATTRIBUTES && !CopyFileW(path, copy, TRUE))
        return false;
    if (WritePrivateProfileStringW(L"GAME", L"VERSION", value, copy) &&
        MoveFileExW(copy, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(copy);
    return false;
}

// Returns: true when "GAME"/"VERSION" in Bin\game.ini now holds targetVersion.
static bool WriteInstalledVersion()
{
    wchar_t path[PathCapacity + 16];
    wchar_t copy[PathCapacity + 20];
    wchar_t value[32];
    uint32_t v = targetVersion;
    if (lstrlenW(gameRoot) + lstrlenW(L"Bin\\game.ini") >= (int)(sizeof path / sizeof path[0]))
        return false;
    lstrcpyW(path, gameRoot);
    lstrcatW(path, L"Bin\\game.ini");
    lstrcpyW(copy, path);
    lstrcatW(copy, L".new");
    windowApi.wsprintfW(value, L"%d.%d.%d.%d", (int)(v >> 24), (int)((v >> 16) & 255), (int)((v >> 8) & 255),
                        (int)(v & 255));
    return ReplaceVersionValue(path, copy, value);
}

DWORD WINAPI InstallWorker(LPVOID)
{
    SetUpProgressBar(TotalPayloadSize());
    // A target in use, a read-only one or too small a disk is refused before the first byte,
    // with the message the failing write would have shown, so no game is left half-patched.
    uint32_t applied = 0;
    InstallResult last = CheckWriteReadiness();
    if (last == InstallResult::Ok)
        last = ApplyAllChunks(&applied);
    installSucceeded = ReportResult(last, applied);
    installing = false;
    if (installSucceeded)
        installSucceeded = WriteInstalledVersion();
    windowApi.SendMessageW(dialogWindow, WM_INSTALL_DONE, 0, 0);
    return 0;
}
