#include <windows.h>
#include <commctrl.h>
#include "payload/progress.h"
#include "payload/progress_math.h"
#include "payload/run_state.h"
#include "resources/resource.h"
#include "payload/window_api.h"

void RefreshProgressBar()
{
    // The bar's position equals progressPercent, which never passes 100, so the bar never wraps.
    int32_t rise = RaiseProgressPercent();
    if (rise == 1) {
        windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_STEPIT, 0, 0);
    } else if (rise > 1) {
        windowApi.SendDlgItemMessageW(progressWindow, IDC_PROGRESS, PBM_DELTAPOS, (WPARAM)rise, 0);
    }
}

WNDPROC barProcedure;

// Replied to first, a PBM_STEPIT or PBM_DELTAPOS sent by the worker returns as the dialog thread
// takes it up; the bar then moves and repaints while the worker goes on. Moves are still made one
// at a time, in the order sent. The worker ignores the result.
LRESULT CALLBACK RepliedBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_STEPIT || message == PBM_DELTAPOS)
        windowApi.ReplyMessage(0);
    return windowApi.CallWindowProcW(barProcedure, bar, message, wParam, lParam);
}
