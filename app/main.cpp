// The installer's entry point: checks, the progress dialog, the final report.
#include <windows.h>
#include "app/dialog.h"
#include "app/preflight.h"
#include "app/state.h"
#include "app/texts.h"
#include "payload/window_api.h"
#include "resources/resource.h"

// Exit codes: 2 when the start-up checks refuse, 0 once the dialog has run (whatever its outcome).
static const int ExitRefused = 2;
static const int ExitRan = 0;

// The installer runs elevated from a folder anybody may have written to (a download folder):
// every DLL loaded by plain name from here on must come from the system folder. Windows 7
// without its 2011 loader update lacks SetDefaultDllDirectories; there the current folder at
// least leaves the search.
static void RestrictDllSearch()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesCall)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesCall setDefault =
        (SetDefaultDllDirectoriesCall)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    RestrictDllSearch();
    // Without user32 no box can say why: the process ends as refused, before anything is read.
    // Common controls are no DLL that Windows protects by name, so they too are loaded only now
    // (the manifest still selects version 6); their init registers the dialog's progress bar.
    if (!LoadWindowApi())
        return ExitRefused;
    windowApi.InitCommonControls();
    if (!Preflight())
        return ExitRefused;
    appIcon = windowApi.LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowApi.DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
    // The worker may still be writing the version back; the process must not end under it.
    WaitForWorker();
    if (installSucceeded && !cancelRequested)
        ShowText(nullptr, IDS_INSTALL_OK, MB_OK);
    return ExitRan;
}
