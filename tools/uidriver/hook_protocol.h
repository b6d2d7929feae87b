#pragma once
// What the hook DLL inside the installer and the driver tell each other. Reports go from the hook
// to the driver's sink window as WM_COPYDATA; the sink's class name carries the installer's
// process id. Requests go from the driver to a window of the installer's main thread as a
// registered message, which the hook sees before the window procedure (which ignores it).
// (Under Wine a hook does not see the data of a WM_COPYDATA sent from another process.)
#include <stdint.h>
#include <windows.h>

#define HookSinkClassPrefix L"QPatchUiDriverSink."
enum : ULONG_PTR {
    HookReportMagic = 0x51554944,
    HookIconMagic = 0x51554949,
    HookHeldMagic = 0x51554948
};
enum : UINT { HookInstallDoneMessage = WM_USER + 2000 };
enum : int { HookProgressId = 101, HookUpdateId = 102, HookInfoId = 1000 };
enum : uint32_t { HookReasonShown = 0, HookReasonInstallDone = 1, HookReasonDestroy = 2 };

// Request: wParam names a window (0: the one the request was sent to). The hook redraws it and
// its children at once (every paint done before the request returns) and, when it holds an icon
// static, reports the icon's kind (HookIconMagic, a uint32_t HookIconKind) before returning.
// A box of another thread is named through a window of the main thread, where the hook is.
#define HookInspectMessage L"QPatchUiDriverInspect"
enum HookIconKind : uint32_t {
    HookIconNone,
    HookIconError,
    HookIconWarning,
    HookIconQuestion,
    HookIconInformation,
    HookIconUnknown
};

// Holds: the installer inherits this variable from the driver: a comma-separated list of points,
// in order, at which the installer's writes wait. A number N holds the write that would take the
// bytes written through WriteFile past N; "ini" holds the next WritePrivateProfileStringW. At
// each point the hook reports HookHeldReport and waits until the driver releases the semaphore
// named HookHoldSemaphorePrefix + the installer's process id once.
#define HookHoldsVariable L"QPATCH_UIDRIVER_HOLDS"
#define HookHoldSemaphorePrefix L"QPatchUiDriverHold."
enum : int { HookMaxHolds = 16 };
struct HookHeldReport {
    uint32_t point;    // 0 for the first point of the list
    uint32_t version;  // 1 when held at the version write ("ini")
    uint64_t written;  // bytes written through WriteFile so far
};

enum : int { HookInfoCapacity = 1024 };

// The dialog's state when it is first shown and at its end, read in-process: a dialog may live
// or keep its last state for only a few milliseconds, too short for the driver's polling.
struct HookReport {
    uint32_t reason;
    int32_t position;
    int32_t rangeLow;
    int32_t rangeHigh;
    uint8_t enabled;
    uint8_t closeEnabled;
    uint8_t updateEnabled;
    wchar_t info[HookInfoCapacity];
    wchar_t caption[256];
    wchar_t closeText[64];
    wchar_t updateText[64];
};
