#pragma once
// The running process: its id and file, interrupts, the clock, and what earlier runs left behind.
#include <stdint.h>

#include "tools/patchtool/host/report.h"
#include "tools/patchtool/host/text.h"

uint64_t ProcessId();

// Removes what a run that no longer exists left next to target under a TemporarySibling name,
// and notes what a run still alive holds there.
void RemoveStaleTemporaries(const fs::path &target, Report &report);

// SIGINT and SIGTERM (Ctrl-C, Ctrl-Break on Windows) set a flag that the long loops poll, so
// every temporary is removed on the way out; a second signal ends the process at once.
void InstallInterruptHandler();
bool Interrupted();

// Returns: the running program's own file.
fs::path OwnExecutable();

// Milliseconds from a fixed point, for elapsed times.
double NowMilliseconds();
