// The installer's entry point: checks, the progress dialog, the final report.
#include <windows.h>
#include "app/dialog.h"
#include "app/preflight.h"
#include "app/state.h"
#include "app/texts.h"
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

// Registers the progress bar class used by the dialog template. Common controls are no DLL
// that Windows protects by name, so they are loaded only after the search is restricted (the
// manifest still selects version 6); InitCommonControls is ordinal 17.
static void InitCommonControlsFromSystem()
{
    typedef void(WINAPI * InitCommonControlsCall)(void);
    HMODULE controls = LoadLibraryW(L"comctl32.dll");
    InitCommonControlsCall init =
        controls ? (InitCommonControlsCall)(void *)GetProcAddress(controls, MAKEINTRESOURCEA(17)) : nullptr;
    if (init)
        init();
}

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    RestrictDllSearch();
    InitCommonControlsFromSystem();
    if (!Preflight())
        return ExitRefused;
    appIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc, 0);
    // The worker may still be writing the version back; the process must not end under it.
    WaitForWorker();
    if (installSucceeded && !cancelRequested)
        ShowText(nullptr, IDS_INSTALL_OK, MB_OK);
    return ExitRan;
}
