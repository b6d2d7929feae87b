#include "payload/run_state.h"

// Zero-initialised before the entry point runs: an empty path, no window, no cancel.
#ifdef _WIN32
wchar_t gameRoot[PathCapacity];
HWND progressWindow;
#endif
std::atomic<bool> cancelRequested{false};
