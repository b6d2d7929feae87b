#pragma once
// The running process: its id and file, whether another is alive, interrupts and the clock.
#include <stdint.h>

#include "tools/patchtool/host/text.h"

uint64_t ProcessId();

// Returns: true when process id may still be running.
bool ProcessAlive(uint64_t id);

// SIGINT and SIGTERM (Ctrl-C, Ctrl-Break on Windows) set a flag that the long loops poll, so
// every temporary is removed on the way out; a second signal ends the process at once.
void InstallInterruptHandler();
bool Interrupted();

// Returns: the running program's own file.
fs::path OwnExecutable();

// Milliseconds from a fixed point, for elapsed times.
double NowMilliseconds();
