#pragma once
#include <windows.h>

// The progress dialog's procedure (template IDD_UPDATE). It starts the install worker while it
// initialises and ends on WM_INSTALL_DONE, or on Close once the worker has finished.
INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Disables IDC_UPDATE, sets installing and starts the worker thread.
void StartInstall(HWND dialog);

// Waits until the worker thread, if one was started, has finished, and closes its handle.
// Called by the entry point after the dialog has ended, so that the process never ends in the
// middle of a file write or the version write-back.
void WaitForWorker();
