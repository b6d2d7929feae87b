#include "tools/patchtool/builder/pack.h"

#include <string.h>

#include <algorithm>
#include <system_error>

#include "tools/patchtool/builder/outputs.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/temporaries.h"

namespace {

const char ChunkSuffix[] = ".bin";
const char DeltaSuffix[] = ".delta";

// Returns: true with the id of a file named DIGITS.bin or DIGITS.delta (suffix); false with the
// reason when the digits are missing or name no chunk. Leading zeros count for nothing.
bool ChunkIdOf(const fs::path &path, const std::string &suffix, uint32_t *id, std::string *error)
{
    std::string name = PathText(path.filename());
    std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        *error = "not a chunk id: " + PathText(path);
        return false;
    }
    size_t first = std::min(digits.find_first_not_of('0'), digits.size());
    uint64_t value =
        digits.size() - first > 5 ? UINT64_MAX : std::stoull("0" + digits.substr(first));
    if (value < IDR_FIRST_CHUNK || value > LastChunkId) {
        *error = Format("chunk ids run from %u to %u: %s", (unsigned)IDR_FIRST_CHUNK,
                        (unsigned)LastChunkId, PathText(path).c_str());
        return false;
    }
    *id = (uint32_t)value;
    return true;
}

// Returns: the suffix of a directory entry to read as a chunk or a delta: a file (or a link to
// one) named *.bin or *.delta, not hidden; otherwise null.
const char *PatchFileSuffix(const fs::directory_entry &entry)
{
    std::string name = PathText(entry.path().filename());
    std::error_code ec;
    for (const char *suffix : {ChunkSuffix, DeltaSuffix}) {
        size_t length = strlen(suffix);
        if (name.size() > length && name[0] != '.' &&
            name.compare(name.size() - length, std::string::npos, suffix) == 0 &&
            fs::is_regular_file(entry.path(), ec)) {
            return suffix;
        }
    }
    return nullptr;
}

// Returns: the warning about resources of what (chunks or deltas) after a gap, or an empty text.
std::string GapWarning(const std::vector<std::pair<uint32_t, fs::path>> &files, const char *what)
{
    std::vector<uint32_t> ids;
    for (const auto &file : files) {
        ids.push_back(file.first);
    }
    ChunkSequence sequence = SplitChunkIds(ids);
    if (sequence.stray.empty()) {
        return std::string();
    }
    std::string stray;
    for (uint32_t id : sequence.stray) {
        stray += (stray.empty() ? "" : " ") + std::to_string(id);
    }
    return Format("%s %u is missing, so %ss %s will never be applied", what,
                  (unsigned)(IDR_FIRST_CHUNK + sequence.applied.size()), what, stray.c_str());
}

// Returns: false with the reason when two files name the same id.
bool CheckUniqueIds(const std::vector<std::pair<uint32_t, fs::path>> &files, const char *what,
                    std::string *error)
{
    for (size_t i = 1; i < files.size(); ++i) {
        if (files[i].first == files[i - 1].first) {
            *error = "both " + PathText(files[i - 1].second) + " and " + PathText(files[i].second) +
                     " are " + what + " " + std::to_string(files[i].first);
            return false;
        }
    }
    return true;
}

// The installer is never one of the files it is made of, and never replaces a folder.
// Returns: false with the reason.
bool CheckInstallerPath(const PackOptions &o, const fs::path &stub, std::string *error)
{
    std::vector<fs::path> inputs = {stub};
    if (!o.files.descriptor.empty()) {
        inputs.push_back(o.files.descriptor);
    }
    for (const auto &chunk : o.files.chunks) {
        inputs.push_back(chunk.second);
    }
    for (const auto &delta : o.files.deltas) {
        inputs.push_back(delta.second);
    }
    if (!o.files.removals.empty()) {
        inputs.push_back(o.files.removals);
    }
    for (const fs::path &input : inputs) {
        if (PathIsWithin(o.installer, input)) {
            *error = Format("the installer %s would replace %s, which it is made of",
                            PathText(o.installer).c_str(), PathText(input).c_str());
            return false;
        }
    }
    std::error_code ec;
    if (fs::is_directory(fs::status(o.installer, ec))) {
        *error = Format("the installer %s is a folder; it is never replaced",
                        PathText(o.installer).c_str());
        return false;
    }
    return true;
}

}  // namespace

bool ReadPatchFolder(const fs::path &folder, PatchFiles *files, std::string *error)
{
    *files = PatchFiles();
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        uint32_t id = 0;
        const char *suffix = PatchFileSuffix(*it);
        if (!suffix) {
            continue;
        }
        if (!ChunkIdOf(it->path(), suffix, &id, error)) {
            return false;
        }
        (suffix == ChunkSuffix ? files->chunks : files->deltas).push_back({id, it->path()});
    }
    if (ec) {
        *error = "cannot read folder " + PathText(folder) + ": " + ec.message();
        return false;
    }
    std::sort(files->chunks.begin(), files->chunks.end());
    std::sort(files->deltas.begin(), files->deltas.end());
    if (!CheckUniqueIds(files->chunks, "chunk", error) ||
        !CheckUniqueIds(files->deltas, "delta", error)) {
        return false;
    }
    fs::path descriptor = folder / DescriptorFileName;
    if (fs::is_regular_file(descriptor, ec)) {
        files->descriptor = descriptor;
    }
    fs::path removals = folder / RemovalFileName;
    if (fs::is_regular_file(removals, ec)) {
        files->removals = removals;
    }
    return true;
}

int PackInstaller(const PackOptions &o, Report &report)
{
    Stub stub;
    stub.path = ResolveStub(o.stub);
    std::string error;
    if (!CheckInstallerPath(o, stub.path, &error) || !LoadStub(&stub, &error)) {
        report.Error(error);
        return 1;
    }
    for (const std::string &gap :
         {GapWarning(o.files.chunks, "chunk"), GapWarning(o.files.deltas, "delta")}) {
        if (!gap.empty()) {
            report.Warning(gap);
        }
    }
    RemoveStaleTemporaries(o.installer, report);
    fs::path temporary = TemporarySibling(o.installer);
    if (!WriteInstaller(stub, o.files, temporary, o.checksumRecord, report, &error) ||
        !Publish(temporary, o.installer, &error)) {
        RemoveTree(temporary);
        report.Error(error);
        return 1;
    }
    return 0;
}
