// The install worker: applies the payload chunks in id order, then the deltas, reports the first
// failure, records the new version on success and tells the dialog it is done.
#include <windows.h>
#include <commctrl.h>
#include "app/state.h"
#include "app/texts.h"
#include "format/version.h"
#include "app/worker.h"
#include "payload/chunk.h"
#include "payload/delta_entries.h"
#include "payload/entry_writers.h"
#include "payload/progress.h"
#include "payload/readiness.h"
#include "payload/removals.h"
#include "resources/resource.h"
#include "payload/window_api.h"

static void SetUpProgressBar(uint64_t total)
{
    progressWindow = dialogWindow;
    uint64_t divisor = total / 100;
    progressDivisor = divisor > INT32_MAX ? INT32_MAX : (int32_t)divisor;
    windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_SETRANGE, 0,
                                  MAKELPARAM(0, 100));
    windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_SETSTEP, 1, 0);
}

// Names the delta target whose installed content the patch was not made for.
static void ShowWrongBase(NameUnit *name)
{
    wchar_t message[1024];  // wsprintfW writes at most 1024 units; the name has at most 511
    for (NameUnit *unit = name; *unit; ++unit) {
        if (*unit == L'/')
            *unit = L'\\';
    }
    windowApi.wsprintfW(message, LoadText(IDS_DELTA_BASE_MISMATCH).chars, name);
    ShowTitledBox(dialogWindow, message, MB_OK | MB_ICONERROR);
}

// Shows at most one message for the result that ended the sequence.
// Returns: the verdict, true for a complete installation.
static bool ReportResult(InstallResult last, NameUnit *wrongBase)
{
    if (last == InstallResult::Ok)
        return true;
    if (last == InstallResult::NoChunk) {
        ShowText(nullptr, IDS_NO_CONTENT,
                 MB_OK | MB_ICONERROR);  // no owner: the dialog stays usable
        return false;
    }
    if (last == InstallResult::WrongBase) {
        ShowWrongBase(wrongBase);
        return false;
    }
    // The messages of Corrupt, CannotCreate and WriteFailed, by result; Cancelled shows none.
    static_assert((int)InstallResult::CannotCreate == (int)InstallResult::Corrupt + 1 &&
                      (int)InstallResult::WriteFailed == (int)InstallResult::Corrupt + 2,
                  "the failure texts follow the results' order");
    static const UINT failureText[] = {IDS_PACKAGE_CORRUPT, IDS_CANNOT_WRITE_GAME,
                                       IDS_WRITE_FAILED};
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
    wchar_t path[TargetPathCapacity];
    wchar_t copy[TargetPathCapacity + 4];
    wchar_t value[32];
    if (!MakeTargetPath(path, GameIniPath, WholeName))
        return false;
    lstrcpyW(copy, path);
    lstrcatW(copy, L".new");
    VersionParts v = UnpackVersion(targetVersion);
    windowApi.wsprintfW(value, L"%d.%d.%d.%d", v.part[0], v.part[1], v.part[2], v.part[3]);
    return ReplaceVersionValue(path, copy, value);
}

// The chunks, then the deltas; the deltas first when one reads a base that a chunk may replace.
static InstallResult WriteEverything(DeltaPlan *deltas)
{
    InstallResult last = deltas->namedBases ? ApplyDeltas(deltas) : InstallResult::Ok;
    if (last == InstallResult::Ok)
        last = ForEachChunk(&diskWriters);
    if (last == InstallResult::NoChunk && (HasDeltas() || HasRemovals()))
        last = InstallResult::Ok;  // a patch of deltas or removals alone
    if (last == InstallResult::Ok && !deltas->namedBases)
        last = ApplyDeltas(deltas);
    return last;
}

DWORD WINAPI InstallWorker(LPVOID)
{
    // The bar counts the reading of the deltas' files before the payload: a large base takes a
    // while to read, and the bar moves meanwhile (nothing to count without deltas).
    Readiness decided = {};
    decided.checkBytes = DeltaCheckBytes();
    SetUpProgressBar(TotalPayloadSize() + decided.checkBytes);
    // A target in use, a read-only one or too small a disk is refused before the first byte,
    // with the message the failing write would have shown, so no game is left half-patched.
    InstallResult last = CheckWriteReadiness(&decided);
    if (last == InstallResult::Ok) {
        progressBytes = decided.checkBytes;  // exactly: a file may have changed size since
        last = WriteEverything(&decided.deltas);
    }
    if (last == InstallResult::Ok)
        last = ApplyRemovals();
    ReleaseDeltaPlan(&decided.deltas);
    installSucceeded = ReportResult(last, decided.deltas.wrongBase);
    installing = false;
    if (installSucceeded)
        installSucceeded = WriteInstalledVersion();
    windowApi.SendMessageW(dialogWindow, WM_INSTALL_DONE, 0, 0);
    return 0;
}
