// A stand-in with known behaviour for testing the UI driver.
//   fakeapp box STYLE TEXT     one message box (no owner); exits with the answer's id
//   fakeapp hang               never ends
//   fakeapp hold PATH MARKER   holds PATH open without sharing (as a running game holds its
//                              files), creates MARKER once it does, and never ends
//   fakeapp dialog STEPMS      a progress dialog whose worker steps the bar to 100, one step per
//                              STEPMS, each after a write of one byte to NUL (so that the driver
//                              can hold it), then ends it at once; a Close asks Yes/No (owned by
//                              the dialog), Yes stops the steps. Exits with 10 + final position.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

static HWND dialogWindow;
static volatile LONG cancelled;
static DWORD stepMs;

static DWORD WINAPI Worker(LPVOID)
{
    HWND bar = GetDlgItem(dialogWindow, 101);
    SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessageW(bar, PBM_SETSTEP, 1, 0);
    HANDLE sink = CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    for (int i = 0; i < 100 && !cancelled; ++i) {
        Sleep(stepMs);
        DWORD written;
        WriteFile(sink, "s", 1, &written, nullptr);
        SendMessageW(bar, PBM_STEPIT, 0, 0);
    }
    CloseHandle(sink);
    SendMessageW(dialogWindow, WM_USER + 2000, 0, 0);
    return 0;
}

static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    dialogWindow = dialog;
    if (message == WM_INITDIALOG) {
        SetDlgItemTextW(dialog, 1000, L"fake description");
        EnableWindow(GetDlgItem(dialog, 102), FALSE);
        CloseHandle(CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr));
        return FALSE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        if (MessageBoxW(dialog, L"really?", L"Fake", MB_YESNO | MB_ICONERROR) == IDYES) {
            cancelled = 1;
            EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
        }
        return TRUE;
    }
    if (message == WM_USER + 2000) {
        EndDialog(dialog, SendDlgItemMessageW(dialog, 101, PBM_GETPOS, 0, 0));
        return TRUE;
    }
    return FALSE;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    InitCommonControls();
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc >= 4 && !wcscmp(argv[1], L"box"))
        return MessageBoxW(nullptr, argv[3], L"Fake", (UINT)wcstoul(argv[2], nullptr, 0));
    if (argc >= 2 && !wcscmp(argv[1], L"hang"))
        Sleep(INFINITE);
    if (argc >= 4 && !wcscmp(argv[1], L"hold")) {
        HANDLE held = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 1;
        CloseHandle(CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        Sleep(INFINITE);
    }
    if (argc >= 3 && !wcscmp(argv[1], L"dialog")) {
        stepMs = (DWORD)_wtoi(argv[2]);
        return 10 + (int)DialogBoxParamW(instance, MAKEINTRESOURCEW(100), nullptr, DialogProc, 0);
    }
    return 1;
}
