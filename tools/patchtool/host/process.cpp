#include "tools/patchtool/host/process.h"

#include <chrono>
#include <csignal>
#include <system_error>

#include <errno.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

uint64_t ProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (uint64_t)getpid();
#endif
}

bool ProcessAlive(uint64_t id)
{
#ifdef _WIN32
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)id);
    if (!process) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
#else
    return kill((pid_t)id, 0) == 0 || errno == EPERM;
#endif
}

static volatile std::sig_atomic_t interruptSignal = 0;

extern "C" void OnInterrupt(int signal)
{
    interruptSignal = signal;
    std::signal(signal, SIG_DFL);  // a second one ends the process
}

void InstallInterruptHandler()
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef SIGBREAK
    std::signal(SIGBREAK, OnInterrupt);
#endif
}

bool Interrupted()
{
    return interruptSignal != 0;
}

fs::path OwnExecutable()
{
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &buffer[0], (DWORD)buffer.size());
    buffer.resize(n);
    return fs::path(buffer);
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
#endif
}

double NowMilliseconds()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
