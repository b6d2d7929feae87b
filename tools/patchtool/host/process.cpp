#include "tools/patchtool/host/process.h"

#include <chrono>
#include <csignal>
#include <system_error>

#include <errno.h>

#include "tools/patchtool/host/files.h"

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

// Returns: true when process id may still be running.
static bool ProcessAlive(uint64_t id)
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

// Returns: the process id in a name "PREFIX<pid>-<n>", or 0 when name is not of that form.
static uint64_t TemporaryOwner(const std::string &name, const std::string &prefix)
{
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size() ||
        name.find_first_not_of("0123456789", prefix.size()) != dash ||
        name.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash - prefix.size() > 10) {
        return 0;
    }
    return std::stoull(name.substr(prefix.size(), dash - prefix.size()));
}

void RemoveStaleTemporaries(const fs::path &target, Report &report)
{
    fs::path base = target.has_filename() ? target : target.parent_path();
    fs::path folder = base.parent_path().empty() ? fs::path(".") : base.parent_path();
    std::string prefix = PathText(base.filename()) + ".tmp-";
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        uint64_t owner = TemporaryOwner(PathText(it->path().filename()), prefix);
        if (owner == 0 || owner == ProcessId()) {
            continue;
        }
        if (ProcessAlive(owner)) {
            report.Note(PathText(it->path()) + " belongs to a run that is still going (process " +
                        std::to_string(owner) + ")");
            continue;
        }
        RemoveTree(it->path());
        report.Note("removed " + PathText(it->path()) + ", left behind by an interrupted run");
    }
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

