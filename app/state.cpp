#include "app/state.h"

// Zero-initialised before the entry point runs: empty strings, null handles, false flags.
#ifdef _WIN32
wchar_t *patchDescription;
uint32_t patchDescriptionLength;
HICON appIcon;
std::atomic<HWND> dialogWindow{nullptr};
HANDLE workerThread;
#endif
PackedVersion targetVersion;
GateOperator gateOperator;
PackedVersion baseVersion;

std::atomic<bool> installing{false};
std::atomic<bool> installSucceeded{false};
