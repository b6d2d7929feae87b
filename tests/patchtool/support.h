#pragma once
// What the publisher's tool's tests share: a report that records what the library says.
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/patchtool/host/report.h"

// Keeps every line said, and echoes it to stderr so that a failing test's log shows it.
class RecordingReport : public Report {
public:
    void Say(Kind kind, const std::string &text) override
    {
        said.push_back({kind, text});
        fprintf(stderr, "%s\n", text.c_str());
    }
    bool ShowsProgress() const override { return false; }
    void Progress(const std::string &, bool) override {}

    // Returns: every line of that kind, each ended by a line feed.
    std::string Text(Kind kind) const
    {
        std::string text;
        for (const auto &line : said) {
            if (line.first == kind) {
                text += line.second + "\n";
            }
        }
        return text;
    }

    std::vector<std::pair<Kind, std::string>> said;
};

// A report for calls whose words the test does not look at.
inline Report &TestReport()
{
    static RecordingReport report;
    report.said.clear();
    return report;
}
