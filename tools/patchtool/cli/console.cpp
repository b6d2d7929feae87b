#include "tools/patchtool/cli/console.h"

#include <inttypes.h>
#include <stdio.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const char Prefix[] = "patchtool: ";

}  // namespace

void ConsoleReport::Say(Kind kind, const std::string &text)
{
    switch (kind) {
    case Kind::Note:
        fprintf(stderr, "%snote: %s\n", Prefix, text.c_str());
        break;
    case Kind::Warning:
        fprintf(stderr, "%swarning: %s\n", Prefix, text.c_str());
        break;
    case Kind::Error:
        fprintf(stderr, "%s%s\n", Prefix, text.c_str());
        break;
    case Kind::Summary:
        if (level_ == DisplayLevel::Quiet) {
            break;
        }
        // fall through
    case Kind::Listing:
        printf("%s\n", text.c_str());
        break;
    }
}

void ConsoleReport::Progress(const std::string &line, bool final)
{
    if (!ShowsProgress()) {
        return;
    }
    fprintf(stderr, "\r%s%s", line.c_str(), final ? "\n" : "");
    fflush(stderr);
}

void ReportSummary(const BuildSummary &s, Report &report)
{
    double ratio = s.bytesIn ? 100.0 * (double)s.bytesOut / (double)s.bytesIn : 0.0;
    char line[256];
    snprintf(line, sizeof line,
             "files: %" PRIu64 " scanned, %" PRIu64 " unchanged, %" PRIu64
             " whole-file entries, %" PRIu64 " changed in place as %" PRIu64 " range entries",
             s.filesScanned, s.filesUnchanged, s.wholeEntries, s.rangeFiles, s.rangeEntries);
    report.Say(Report::Kind::Summary, line);
    if (s.deltaFiles) {
        snprintf(line, sizeof line, "deltas: %" PRIu64 " files as %" PRIu64 " deltas", s.deltaFiles,
                 s.deltaEntries);
        report.Say(Report::Kind::Summary, line);
    }
    snprintf(line, sizeof line,
             "bytes: %" PRIu64 " in, %" PRIu64
             " out in %u chunks and %u delta resources (%.1f%%); range entries saved %" PRIu64
             " bytes",
             s.bytesIn, s.bytesOut, s.chunks, s.deltaResources, ratio, s.rangeSavings);
    report.Say(Report::Kind::Summary, line);
    snprintf(line, sizeof line, "time: %.2f s", s.milliseconds / 1000.0);
    report.Say(Report::Kind::Summary, line);
}

bool StderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}
