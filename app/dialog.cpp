// The progress dialog: shows the description, starts the install worker as it opens, asks before
// cancelling, and ends when the worker reports that it is done.
#include <windows.h>
#include "app/dialog.h"
#include "app/state.h"
#include "app/texts.h"
#include "app/worker.h"
#include "payload/progress.h"
#include "resources/resource.h"
#include "payload/window_api.h"

// Tells the user why the installation could not start. No string of the catalogue fits a failed
// thread start, so the system's own text for the error is shown.
static void ReportStartFailure(HWND dialog, DWORD error)
{
    wchar_t text[512];
    if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                        0, text, sizeof text / sizeof text[0], nullptr))
        windowApi.wsprintfW(text, L"CreateThread: %lu", error);
    ShowTitledBox(dialog, text, MB_OK | MB_ICONERROR);
}

void StartInstall(HWND dialog)
{
    windowApi.EnableWindow(windowApi.GetDlgItem(dialog, IDC_UPDATE), FALSE);
    if (workerThread)
        return;  // one worker per process: a second one would write the same files at once
    installing = true;
    workerThread = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
    if (workerThread)
        return;
    // Without a worker nothing would ever end the dialog: end it now as a failed run.
    DWORD error = GetLastError();
    installing = false;
    ReportStartFailure(dialog, error);
    windowApi.EndDialog(dialog, 0);
}

void WaitForWorker()
{
    if (!workerThread)
        return;
    // The worker never waits for a window that is gone: the system answers messages sent to a
    // destroyed window, so a WM_INSTALL_DONE sent as the dialog closed on Close returns at once.
    WaitForSingleObject(workerThread, INFINITE);
    CloseHandle(workerThread);
    workerThread = nullptr;
}

static void ConfirmCancel(HWND dialog)
{
    if (ShowText(dialogWindow, IDS_CONFIRM_CANCEL, MB_YESNO | MB_ICONERROR) != IDYES)
        return;
    cancelRequested = true;
    windowApi.SetDlgItemTextW(dialog, IDC_INFO, LoadText(IDS_CANCELLING).chars);
    windowApi.EnableWindow(windowApi.GetDlgItem(dialog, IDCANCEL), FALSE);
}

static void InitDialog(HWND dialog)
{
    ReplyToBarMovesFirst(windowApi.GetDlgItem(dialog, IDC_PROGRESS));
    windowApi.SendMessageW(dialog, WM_SETICON, ICON_BIG, (LPARAM)appIcon);
    windowApi.SendMessageW(dialog, WM_SETICON, ICON_SMALL, (LPARAM)appIcon);
    windowApi.SetDlgItemTextW(dialog, IDC_INFO, patchDescription ? patchDescription : L"");
    StartInstall(dialog);
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    dialogWindow = dialog;
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            if (!installing) {
                windowApi.EndDialog(dialog, wParam);
                return TRUE;
            }
            ConfirmCancel(dialog);
            return FALSE;
        case IDC_UPDATE:
            StartInstall(dialog);
            return FALSE;
        }
        return FALSE;
    case WM_INSTALL_DONE:
        windowApi.EndDialog(dialog, wParam);
        return TRUE;
    }
    return FALSE;
}
