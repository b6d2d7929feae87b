// The start-up floor of a GUI program: registers the common controls, shows one window with a
// progress bar, lets it paint once and exits. The install benchmark times it as a whole process.
#include <windows.h>
#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    InitCommonControls();
    HWND window = CreateWindowExW(0, L"STATIC", L"trivial", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  300, 120, nullptr, nullptr, instance, nullptr);
    CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 10, 10, 260, 20, window,
                    nullptr, instance, nullptr);
    UpdateWindow(window);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    DestroyWindow(window);
    return 0;
}
