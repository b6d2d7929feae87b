// The installer's entry point: checks, the progress dialog, the final report.
#include <windows.h>
#include <commctrl.h>
#include "app/dialog.h"
#include "app/preflight.h"
#include "app/state.h"
#include "app/texts.h"
#include "resources/resource.h"

// Exit codes: 2 when the start-up checks refuse, 0 once the dialog has run (whatever its outcome).
static const int ExitRefused = 2;
static const int ExitRan = 0;

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Registers the progress bar class used by the dialog template.
    InitCommonControls();
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
