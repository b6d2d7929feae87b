#pragma once
// The install worker: the installer's only background thread, started by the dialog as it opens.
#include <windows.h>

// Applies the payload chunks in id order after the write-readiness check, reports the first
// failure in a message box, records the new version on success and sends WM_INSTALL_DONE.
// The parameter is ignored.
// Returns: 0, the thread's exit code.
DWORD WINAPI InstallWorker(LPVOID);
