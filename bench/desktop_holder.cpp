// Keeps Wine's desktop alive while the install benchmark runs. Windows always has a desktop; Wine
// starts its desktop process for the first GUI program on a display and ends it about a second
// after the last one exits. Without a holder every timed GUI program would pay for that start,
// or not, depending on how long ago the previous one ended. Runs until it is killed.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
