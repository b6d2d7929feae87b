#pragma once
// The build's progress line: phase, percent of the phase's bytes, time left, current file.
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>

#include "tools/patchtool/host/report.h"

struct Progress {
    explicit Progress(Report &r) : report(r) {}
    Report &report;
    const char *phase = "";
    uint64_t total = 0;
    std::atomic<uint64_t> done{0};
    std::string current;
    double phaseStart = 0;
    double lastShown = 0;
    std::mutex showing;
};

void StartPhase(Progress *p, const char *phase, uint64_t total);
void SetCurrent(Progress *p, const std::string &name);

// Hands the line to the report at most five times a second; final always, ending the phase.
void ShowProgress(Progress *p, bool final);
