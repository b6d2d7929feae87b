// Loaded into the installer by a WH_CALLWNDPROC hook on its main thread. It sees the progress
// dialog's first and last moments in-process, where the driver's polling could miss them: when
// the dialog is shown, receives WM_INSTALL_DONE or is destroyed, it reports the dialog's state to
// the driver's sink window with WM_COPYDATA. The sink's class name carries the installer's
// process id.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "tools/uidriver/hook_protocol.h"

static void ReportDialog(HWND dialog, UINT reason)
{
    HWND bar = GetDlgItem(dialog, HookProgressId);
    if (!bar) return;
    wchar_t className[64];
    swprintf(className, 64, L"%ls%lu", HookSinkClassPrefix, GetCurrentProcessId());
    HWND sink = FindWindowW(className, nullptr);
    if (!sink) return;
    static HookReport report;  // large; the hook runs on one thread
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
    COPYDATASTRUCT data = {HookReportMagic, sizeof report, &report};
    DWORD_PTR ignored;
    SendMessageTimeoutW(sink, WM_COPYDATA, (WPARAM)dialog, (LPARAM)&data, SMTO_NORMAL, 5000,
                        &ignored);
}

// Draws a window's client area and then its visible children, each at its place, through
// WM_PRINT. Under Wine the pixels of a window cannot be read back from its DC, and WM_PRINT
// itself leaves out the children; the window manager's caption is not part of the picture.
static void PrintTree(HWND window, HDC dc, POINT origin)
{
    SetViewportOrgEx(dc, origin.x, origin.y, nullptr);
    wchar_t className[32] = {0};
    GetClassNameW(window, className, 32);
    // Wine's buttons ignore WM_PRINTCLIENT but paint into a DC given with WM_PAINT.
    if (!lstrcmpiW(className, L"Button"))
        SendMessageW(window, WM_PAINT, (WPARAM)dc, 0);
    else
        SendMessageW(window, WM_PRINT, (WPARAM)dc, PRF_CLIENT | PRF_ERASEBKGND);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        POINT at = {0, 0};
        MapWindowPoints(child, window, &at, 1);
        PrintTree(child, dc, POINT{origin.x + at.x, origin.y + at.y});
    }
}

static void SaveScreenshot(HWND window, const wchar_t *path)
{
    RECT r;
    GetClientRect(window, &r);
    int w = r.right, h = r.bottom;
    if (w <= 0 || h <= 0) return;
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = -h;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, (BITMAPINFO *)&info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        PrintTree(window, memory, POINT{0, 0});
        GdiFlush();
        DWORD imageBytes = (DWORD)w * h * 4;
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info;
        file.bfSize = file.bfOffBits + imageBytes;
        FILE *out = _wfopen(path, L"wb");
        if (out) {
            fwrite(&file, sizeof file, 1, out);
            fwrite(&info, sizeof info, 1, out);
            fwrite(bits, 1, imageBytes, out);
            fclose(out);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

static void OnScreenshotRequest(HWND window)
{
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(HookScreenshotVariable, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) SaveScreenshot(window, path);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK UiDriverCallWndProc(int code, WPARAM wParam,
                                                                     LPARAM lParam)
{
    if (code == HC_ACTION) {
        const CWPSTRUCT *call = (const CWPSTRUCT *)lParam;
        if (call->message == WM_SHOWWINDOW && call->wParam)
            ReportDialog(call->hwnd, HookReasonShown);
        else if (call->message == HookInstallDoneMessage)
            ReportDialog(call->hwnd, HookReasonInstallDone);
        else if (call->message == RegisterWindowMessageW(HookScreenshotMessage))
            OnScreenshotRequest(call->hwnd);
        else if (call->message == WM_DESTROY)
            ReportDialog(call->hwnd, HookReasonDestroy);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
