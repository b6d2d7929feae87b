#pragma once
// Where the library's words go. The command line hands one Report down to the work it calls; the
// library never prints, so tests see the same words through a Report of their own.
#include <string>

class Report {
public:
    enum class Kind {
        Note,     // something the publisher may want to know
        Warning,  // the result works, but not as the publisher may think
        Error,    // why the command failed
        Listing,  // a line of the command's own output: entries, inspection, verdicts
        Summary,  // a line of the closing summary, which --quiet leaves out
    };

    virtual ~Report() = default;
    virtual void Say(Kind kind, const std::string &text) = 0;
    // Returns: true when Progress lines are shown, so that the work need not compose them.
    virtual bool ShowsProgress() const = 0;
    // One line that replaces the previous one; final ends it.
    virtual void Progress(const std::string &line, bool final) = 0;

    void Note(const std::string &text) { Say(Kind::Note, text); }
    void Warning(const std::string &text) { Say(Kind::Warning, text); }
    void Error(const std::string &text) { Say(Kind::Error, text); }
    void Listing(const std::string &text) { Say(Kind::Listing, text); }
};
