// Loaded into the installer by a WH_CALLWNDPROC hook on its main thread, before that thread makes
// its first window. In-process it:
// - reports the progress dialog's state when it is shown, receives WM_INSTALL_DONE or is
//   destroyed, moments the driver's polling could miss;
// - answers the driver's inspect request: a window redrawn at once, a box's icon kind told by
//   comparing its icon handle with the system icons this process loaded (handles cannot be
//   compared across processes, and pixels on the screen depend on when the box painted);
// - holds the installer's writes at points the test chose (see HookHoldsVariable), by taking the
//   place of WriteFile and WritePrivateProfileStringW in the installer's import table. The
//   installer itself is unchanged.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "tools/uidriver/hook_protocol.h"

static HWND FindSink()
{
    wchar_t className[64];
    swprintf(className, 64, L"%ls%lu", HookSinkClassPrefix, GetCurrentProcessId());
    return FindWindowW(className, nullptr);
}

static void SendToSink(ULONG_PTR magic, HWND about, const void *data, DWORD size)
{
    HWND sink = FindSink();
    if (!sink)
        return;
    COPYDATASTRUCT copy = {magic, size, (void *)data};
    DWORD_PTR ignored;
    SendMessageTimeoutW(sink, WM_COPYDATA, (WPARAM)about, (LPARAM)&copy, SMTO_NORMAL, 5000,
                        &ignored);
}

// ---- the dialog's state -------------------------------------------------------------------

static void ReportDialog(HWND dialog, UINT reason)
{
    HWND bar = GetDlgItem(dialog, HookProgressId);
    if (!bar)
        return;
    static HookReport report;  // large; reports come from the main thread only
    memset(&report, 0, sizeof report);
    report.reason = reason;
    report.enabled = IsWindowEnabled(dialog) != FALSE;
    report.closeEnabled = IsWindowEnabled(GetDlgItem(dialog, IDCANCEL)) != FALSE;
    report.updateEnabled = IsWindowEnabled(GetDlgItem(dialog, HookUpdateId)) != FALSE;
    GetDlgItemTextW(dialog, HookInfoId, report.info, HookInfoCapacity);
    GetWindowTextW(dialog, report.caption, 256);
    GetDlgItemTextW(dialog, IDCANCEL, report.closeText, 64);
    GetDlgItemTextW(dialog, HookUpdateId, report.updateText, 64);
    report.position = (int32_t)SendMessageW(bar, PBM_GETPOS, 0, 0);
    report.rangeLow = (int32_t)SendMessageW(bar, PBM_GETRANGE, TRUE, 0);
    report.rangeHigh = (int32_t)SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    SendToSink(HookReportMagic, dialog, &report, sizeof report);
}

// ---- inspect requests ---------------------------------------------------------------------

static HWND IconStatic(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t className[16] = {0};
        GetClassNameW(child, className, 16);
        if (!lstrcmpiW(className, L"Static") &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            return child;
    }
    return nullptr;
}

// A message box shows a system icon loaded with LoadIcon: within one process that is one shared
// handle per icon.
static HookIconKind IconKindOf(HICON shown)
{
    struct Candidate {
        LPCWSTR id;
        HookIconKind kind;
    };
    static const Candidate candidates[] = {
        {IDI_ERROR, HookIconError},
        {IDI_WARNING, HookIconWarning},
        {IDI_QUESTION, HookIconQuestion},
        {IDI_INFORMATION, HookIconInformation},
    };
    if (!shown)
        return HookIconNone;
    for (const Candidate &c : candidates)
        if (LoadIconW(nullptr, c.id) == shown)
            return c.kind;
    return HookIconUnknown;
}

static void Inspect(HWND window)
{
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    HWND icon = IconStatic(window);
    if (!icon)
        return;
    uint32_t kind = IconKindOf((HICON)SendMessageW(icon, STM_GETICON, 0, 0));
    SendToSink(HookIconMagic, window, &kind, sizeof kind);
}

// ---- holds --------------------------------------------------------------------------------

typedef BOOL(WINAPI *WriteFileFunction)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI *WriteProfileFunction)(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR);

// Only the installer's worker writes, so the hold state has a single user.
static struct {
    uint64_t points[HookMaxHolds];  // bytes, or VersionPoint
    int count;
    int next;
    uint64_t written;
    HANDLE release;
    WriteFileFunction writeFile;
    WriteProfileFunction writeProfile;
} holds;
static const uint64_t VersionPoint = ~(uint64_t)0;

static void Hold(bool version)
{
    HookHeldReport report = {(uint32_t)holds.next, version ? 1u : 0u, holds.written};
    ++holds.next;
    SendToSink(HookHeldMagic, nullptr, &report, sizeof report);
    WaitForSingleObject(holds.release, INFINITE);
}

static BOOL WINAPI HeldWriteFile(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written,
                                 LPOVERLAPPED overlapped)
{
    while (holds.next < holds.count && holds.points[holds.next] != VersionPoint &&
           holds.written + length > holds.points[holds.next])
        Hold(false);
    holds.written += length;
    return holds.writeFile(file, bytes, length, written, overlapped);
}

static BOOL WINAPI HeldWriteProfile(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file)
{
    if (holds.next < holds.count && holds.points[holds.next] == VersionPoint)
        Hold(true);
    return holds.writeProfile(section, key, value, file);
}

// Points the import of name from kernel32 in module at replacement; returns the original.
static void *ReplaceImport(HMODULE module, const char *name, void *replacement)
{
    BYTE *base = (BYTE *)module;
    IMAGE_NT_HEADERS *nt = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress)
        return nullptr;
    for (IMAGE_IMPORT_DESCRIPTOR *d = (IMAGE_IMPORT_DESCRIPTOR *)(base + directory.VirtualAddress);
         d->Name; ++d) {
        if (lstrcmpiA((const char *)(base + d->Name), "kernel32.dll") || !d->OriginalFirstThunk)
            continue;
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME *import = (IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
            if (strcmp((const char *)import->Name, name))
                continue;
            DWORD protection;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &protection))
                return nullptr;
            void *original = (void *)slots->u1.Function;
            slots->u1.Function = (ULONG_PTR)replacement;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return original;
        }
    }
    return nullptr;
}

static bool ParseHolds(const wchar_t *list)
{
    for (const wchar_t *at = list; *at && holds.count < HookMaxHolds;) {
        if (!wcsncmp(at, L"ini", 3)) {
            holds.points[holds.count++] = VersionPoint;
            at += 3;
        } else {
            wchar_t *end = nullptr;
            holds.points[holds.count++] = _wcstoui64(at, &end, 10);
            if (end == at)
                return false;
            at = end;
        }
        if (*at == L',')
            ++at;
        else if (*at)
            return false;
    }
    return holds.count > 0;
}

// Without a valid list nothing is held; a list that cannot be put in place ends the installer,
// so that a test never mistakes an unheld run for a held one.
static void SetUpHolds()
{
    wchar_t list[256];
    DWORD n = GetEnvironmentVariableW(HookHoldsVariable, list, 256);
    if (n == 0 || n >= 256 || !ParseHolds(list))
        return;
    wchar_t name[64];
    swprintf(name, 64, L"%ls%lu", HookHoldSemaphorePrefix, GetCurrentProcessId());
    holds.release = CreateSemaphoreW(nullptr, 0, 1 << 20, name);
    HMODULE installer = GetModuleHandleW(nullptr);
    holds.writeFile =
        (WriteFileFunction)ReplaceImport(installer, "WriteFile", (void *)HeldWriteFile);
    holds.writeProfile = (WriteProfileFunction)ReplaceImport(
        installer, "WritePrivateProfileStringW", (void *)HeldWriteProfile);
    bool bytePoints = false, versionPoints = false;
    for (int i = 0; i < holds.count; ++i)
        (holds.points[i] == VersionPoint ? versionPoints : bytePoints) = true;
    if (!holds.release || (bytePoints && !holds.writeFile) ||
        (versionPoints && !holds.writeProfile))
        ExitProcess(250);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK
    UiDriverCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT inspect = RegisterWindowMessageW(HookInspectMessage);
    // The first call comes as the main thread makes its first window, before any worker exists.
    static const bool holdsReady = (SetUpHolds(), true);
    (void)holdsReady;
    if (code == HC_ACTION) {
        const CWPSTRUCT *call = (const CWPSTRUCT *)lParam;
        if (call->message == WM_SHOWWINDOW && call->wParam)
            ReportDialog(call->hwnd, HookReasonShown);
        else if (call->message == HookInstallDoneMessage)
            ReportDialog(call->hwnd, HookReasonInstallDone);
        else if (call->message == inspect)
            Inspect(call->wParam ? (HWND)call->wParam : call->hwnd);
        else if (call->message == WM_DESTROY)
            ReportDialog(call->hwnd, HookReasonDestroy);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
