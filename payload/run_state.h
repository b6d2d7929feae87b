#pragma once
// What one installation run shares between the application, which sets it up, and the payload
// writers, which use it: the game folder, the cancel flag and the window that shows the progress.
#include <stdint.h>
#include <atomic>
#ifdef _WIN32
#include <windows.h>
#endif

// Capacity of the working path buffer and of gameRoot, in wide characters.
enum : uint32_t { PathCapacity = 32768 };

#ifdef _WIN32
// The game folder with a trailing separator; written once before any worker exists.
extern wchar_t gameRoot[PathCapacity];
// The dialog whose IDC_PROGRESS child the writers move, or null for none; set by the worker
// before its first chunk and read by the worker only.
extern HWND progressWindow;
#endif

// Set by the dialog on a confirmed cancel, read by the writers without a lock.
extern std::atomic<bool> cancelRequested;
