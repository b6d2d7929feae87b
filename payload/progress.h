#pragma once
#include <stdint.h>
#ifdef _WIN32
#include "payload/window_api.h"
#endif

// Progress is counted in chunk bytes: entry headers by the walk, data by the writers.
// All three values are touched on the worker thread only.
extern uint64_t progressBytes;  // chunk bytes accounted so far, over all chunks
extern int32_t
    progressDivisor;  // bytes per percent: total payload / 100; 1 until the worker sets it
extern int32_t progressPercent;  // the percent the bar shows

// Moves the dialog's progress bar when the percent computed from progressBytes has risen.
void RefreshProgressBar();

#ifdef _WIN32
// The bar's own procedure, and the one that replies to a move before passing it on to it.
extern WNDPROC barProcedure;
LRESULT CALLBACK RepliedBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam);

// Makes the bar's window reply to a move before it takes it. The bar repaints inside the handler
// of every move (Wine's does), and a sent message returns only when its handler does: the worker
// would wait out each repaint. Call once, on the dialog's thread. Inline: the installer's code is
// counted in bytes.
inline void ReplyToBarMovesFirst(HWND bar)
{
    barProcedure =
        (WNDPROC)windowApi.SetWindowLongPtrW(bar, GWLP_WNDPROC, (LONG_PTR)RepliedBarProc);
}
#endif
