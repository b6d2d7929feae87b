#include "tools/patchtool/builder/progress.h"

#include <inttypes.h>
#include <stdio.h>

#include <algorithm>

#include "tools/patchtool/host/process.h"
#include "tools/patchtool/host/text.h"

void StartPhase(Progress *p, const char *phase, uint64_t total)
{
    std::lock_guard<std::mutex> lock(p->showing);
    p->phase = phase;
    p->total = total;
    p->done = 0;
    p->phaseStart = NowMilliseconds();
    p->lastShown = 0;
}

void SetCurrent(Progress *p, const std::string &name)
{
    std::lock_guard<std::mutex> lock(p->showing);
    p->current = name;
}

void ShowProgress(Progress *p, bool final)
{
    if (!p->report.ShowsProgress()) {
        return;
    }
    std::lock_guard<std::mutex> lock(p->showing);
    double now = NowMilliseconds();
    if (!final && now - p->lastShown < 200) {
        return;
    }
    p->lastShown = now;
    uint64_t done = std::min(p->done.load(), p->total);
    unsigned percent = p->total ? (unsigned)(done * 100 / p->total) : 100;
    double elapsed = (now - p->phaseStart) / 1000.0;
    char eta[32] = "--:--";
    if (done > 0 && elapsed > 0.5) {
        unsigned left = (unsigned)(elapsed * (double)(p->total - done) / (double)done);
        snprintf(eta, sizeof eta, "%u:%02u", left / 60, left % 60);
    }
    std::string name =
        p->current.size() > 40 ? "..." + p->current.substr(p->current.size() - 37) : p->current;
    p->report.Progress(Format("%-11s %3u%%  %5" PRIu64 " of %" PRIu64 " MiB  ETA %-6s %-40s",
                              p->phase, percent, done >> 20, p->total >> 20, final ? "0:00" : eta,
                              final ? "" : name.c_str()),
                       final);
}
