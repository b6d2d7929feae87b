#pragma once
// The console: the one place that prints. Messages go to stderr behind "patchtool: ", the
// command's own output and the summary to stdout.
#include "tools/patchtool/builder/build.h"
#include "tools/patchtool/host/report.h"

enum class DisplayLevel {
    Quiet,         // --quiet: no summary, no progress line
    Normal,        // the summary
    WithProgress,  // and a progress line, on a terminal
};

class ConsoleReport : public Report {
public:
    explicit ConsoleReport(DisplayLevel level) : level_(level) {}
    void Say(Kind kind, const std::string &text) override;
    bool ShowsProgress() const override { return level_ == DisplayLevel::WithProgress; }
    void Progress(const std::string &line, bool final) override;

private:
    DisplayLevel level_;
};

// The summary after a build, a line at a time through report.
void ReportSummary(const BuildSummary &summary, Report &report);

// Returns: true when stderr is a terminal, where a progress line can replace itself.
bool StderrIsTerminal();
