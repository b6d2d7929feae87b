#pragma once
// The process-wide values of one installer run. Each has the writers and readers named beside it;
// the values written by Preflight are complete before the dialog exists and never written again.
#include <stdint.h>
#include <atomic>
#ifdef _WIN32
#include <windows.h>
#endif
#include "payload/run_state.h"  // gameRoot, cancelRequested: shared with the payload writers

// Versions a.b.c.d packed as ((a*256+b)*256+c)*256+d, compared as unsigned 32-bit values.
typedef uint32_t PackedVersion;

enum class GateOperator : int32_t {
    None = 0,   // anything unrecognised
    Exact = 1,  // "="
    UpTo = 2,   // "<="
};

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
