#pragma once
// The process-wide values of one installer run. Each has the writers and readers named beside it;
// the values written by Preflight are complete before the dialog exists and never written again.
#include <stdint.h>
#include <atomic>
#ifdef _WIN32
#include <windows.h>
#endif
#include "format/version_types.h"
#include "payload/run_state.h"  // gameRoot, cancelRequested: shared with the payload writers

#ifdef _WIN32
extern wchar_t *patchDescription;        // Preflight; null or zero-terminated
extern uint32_t patchDescriptionLength;  // in UTF-16 units
extern HICON appIcon;                    // wWinMain, once
extern std::atomic<HWND>
    dialogWindow;            // the dialog procedure, on every message; read by the worker
extern HANDLE workerThread;  // the dialog, when it starts the worker
#endif
extern PackedVersion targetVersion;  // Preflight
extern GateOperator gateOperator;    // Preflight
extern PackedVersion baseVersion;    // Preflight

// One-byte flags with a single writer each, read by the other thread without a lock.
extern std::atomic<bool> installing;        // set by the dialog, cleared once by the worker
extern std::atomic<bool> installSucceeded;  // written by the worker only
static_assert(sizeof(std::atomic<bool>) == 1, "flags are single bytes");
