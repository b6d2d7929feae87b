#include "tools/patchtool/host/temporaries.h"

#include <atomic>
#include <string>
#include <system_error>

#include "tools/patchtool/host/files.h"
#include "tools/patchtool/host/process.h"

namespace {

// What follows the target's own name: TARGET.tmp-PID-N.
const char TemporaryMark[] = ".tmp-";

// Returns: base's folder, "." when it has none.
fs::path FolderOf(const fs::path &base)
{
    return base.parent_path().empty() ? fs::path(".") : base.parent_path();
}

// Returns: the target itself, or its folder's path when it ends in a separator.
fs::path NamedTarget(const fs::path &target)
{
    return target.has_filename() ? target : target.parent_path();
}

// Returns: the process id in a name "PREFIX<pid>-<n>", or 0 when name is not of that form.
uint64_t TemporaryOwner(const std::string &name, const std::string &prefix)
{
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size() ||
        name.find_first_not_of("0123456789", prefix.size()) != dash ||
        name.find_first_not_of("0123456789", dash + 1) != std::string::npos ||
        dash - prefix.size() > 10) {
        return 0;
    }
    return std::stoull(name.substr(prefix.size(), dash - prefix.size()));
}

}  // namespace

fs::path TemporarySibling(const fs::path &target)
{
    static std::atomic<uint32_t> counter{0};
    fs::path base = NamedTarget(target);
    for (;;) {
        fs::path candidate = base;
        candidate += TemporaryMark + std::to_string(ProcessId()) + "-" + std::to_string(counter++);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) {
            return candidate;
        }
    }
}

fs::path MakeTemporaryFolder(const char *prefix)
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        return fs::path();
    }
    fs::path folder = TemporarySibling(base / prefix);
    if (!fs::create_directory(folder, ec) || ec) {
        return fs::path();
    }
    return folder;
}

void RemoveStaleTemporaries(const fs::path &target, Report &report)
{
    fs::path base = NamedTarget(target);
    std::string prefix = PathText(base.filename()) + TemporaryMark;
    std::error_code ec;
    for (fs::directory_iterator it(FolderOf(base), ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
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
