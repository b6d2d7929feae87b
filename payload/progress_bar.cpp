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
