#pragma once
// What the hook DLL inside the installer and the driver tell each other. The driver asks for a
// screenshot by sending the dialog the registered message HookScreenshotMessage; the hook sees it
// before the dialog procedure (which ignores it) and saves the picture to the file named by the
// environment variable HookScreenshotVariable, which the installer inherits from the driver.
// (Under Wine a hook does not see the data of a WM_COPYDATA sent from another process.)
#include <stdint.h>
#include <windows.h>

#define HookSinkClassPrefix L"QPatchUiDriverSink."
enum : ULONG_PTR { HookReportMagic = 0x51554944 };
#define HookScreenshotMessage L"QPatchUiDriverScreenshot"
#define HookScreenshotVariable L"QPATCH_UIDRIVER_SCREENSHOT"
enum : UINT { HookInstallDoneMessage = WM_USER + 2000 };
enum : int { HookProgressId = 101, HookUpdateId = 102, HookInfoId = 1000 };
enum : uint32_t { HookReasonShown = 0, HookReasonInstallDone = 1, HookReasonDestroy = 2 };

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
