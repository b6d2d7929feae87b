// The installer's work on the host, in four divisions: the writers of chunk entries (whole files
// and ranges, as payload/entry_writers does them); deltas, chosen before anything is written and
// applied through temporaries; removals, after every write; and ApplyPatchToFolder, which runs
// them in the installer's phases.
#include "tools/patchtool/check/host_install.h"

#include <string.h>
#include <atomic>
#include <set>
#include <system_error>

#include "delta/apply/delta_file_stdio.h"
#include "delta/common/delta_choice.h"
#include "format/name_rule.h"
#include "format/removal_list.h"
#include "payload/delta_result.h"
#include "payload/walk.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/check/removals.h"
#include "tools/patchtool/format/gate.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/process.h"

namespace {

// ---- the writers of chunk entries ----

struct HostWriters {
    EntryWriters table;  // first member: the walk passes this record back to the writers
    fs::path root;
    std::string *detail;
};

std::u16string ToU16(const NameUnit *name)
{
    std::u16string text;
    for (; *name; ++name) {
        text.push_back((char16_t)*name);
    }
    return text;
}

// The part of folder that Windows opens for part: part itself, else an entry whose name differs
// from it only in ASCII case (Windows takes "ogre.json" for an existing "Ogre.json").
fs::path PartAsWindowsFindsIt(const fs::path &folder, const fs::path &part)
{
    std::error_code ec;
    if (fs::exists(folder / part, ec) || !fs::is_directory(folder, ec)) {
        return part;
    }
    std::string key = FoldCase(part.u8string());
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, ec)) {
        if (FoldCase(entry.path().filename().u8string()) == key) {
            return entry.path().filename();
        }
    }
    return part;
}

// root / relative, each part as Windows finds it on a file system that ignores case.
fs::path AsWindowsFindsIt(const fs::path &root, const fs::path &relative)
{
    fs::path path = root;
    for (const fs::path &part : relative) {
        path /= PartAsWindowsFindsIt(path, part);
    }
    return path;
}

// The host path of name's first length units, with backslashes taken as separators too.
// Returns: false when the units are not valid Unicode.
bool HostPath(const HostWriters *w, const std::u16string &name, size_t length, fs::path *path)
{
    std::u16string mapped = name.substr(0, length);
    for (char16_t &unit : mapped) {
        if (unit == u'\\') {
            unit = u'/';
        }
    }
    std::string text;
    if (!Utf16ToUtf8(mapped, &text)) {
        return false;
    }
    *path = AsWindowsFindsIt(w->root, PathFromUtf8(text));
    return true;
}

// Creates the folders of name at each forward slash, as the installer does.
// Returns: false when one cannot be made.
bool CreateFolders(const HostWriters *w, const std::u16string &name)
{
    for (size_t slash = name.find(u'/'); slash != std::u16string::npos;
         slash = name.find(u'/', slash + 1)) {
        fs::path folder;
        std::error_code ec;
        if (!HostPath(w, name, slash, &folder)) {
            return false;
        }
        fs::create_directory(folder, ec);
        if (ec && !fs::is_directory(folder)) {
            return false;
        }
    }
    return true;
}

// Creates the target as the installer does: on failure, the folders at each forward slash, then
// once more. Returns: the open file, or null.
FILE *CreateTarget(const HostWriters *w, const std::u16string &name)
{
    fs::path path;
    if (!HostPath(w, name, name.size(), &path)) {
        return nullptr;
    }
    FILE *file = OpenFile(path, "wb");
    if (file) {
        return file;
    }
    return CreateFolders(w, name) ? OpenFile(path, "wb") : nullptr;
}

InstallResult Fail(const HostWriters *w, InstallResult result, const std::u16string &name,
                   const char *what)
{
    std::string text;
    Utf16ToUtf8(name, &text);
    *w->detail = std::string(what) + ": \"" + text + "\"";
    return result;
}

InstallResult WriteWholeFile(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                             const NameUnit *nameUnits)
{
    const HostWriters *w = (const HostWriters *)self;
    std::u16string name = ToU16(nameUnits);
    Stream *source = openMemoryStream(data, dataSize);
    if (!source) {
        return Fail(w, InstallResult::Corrupt, name, "no memory for the stream of");
    }
    Stream *stream = openBlockStream(source);
    if (!stream) {
        source->methods->release(source);
        return Fail(w, InstallResult::Corrupt, name, "the compressed stream cannot be opened for");
    }
    uint64_t decodedSize = 0;
    stream->methods->getSize(stream, &decodedSize, nullptr);
    FILE *file = NameStaysInside(name) ? CreateTarget(w, name) : nullptr;
    if (!file) {
        stream->methods->release(stream);
        return Fail(w, InstallResult::CannotCreate, name, "cannot create");
    }
    InstallResult result = InstallResult::Ok;
    uint8_t piece[WriterStepSize];
    for (uint64_t decoded = 0; decoded < decodedSize;) {
        if (Interrupted()) {
            result = Fail(w, InstallResult::Cancelled, name, "interrupted while writing");
            break;
        }
        uint32_t n = stream->methods->read(stream, piece, WriterStepSize);
        decoded += n;
        if (n == 0) {
            result =
                Fail(w, InstallResult::Corrupt, name, "the compressed stream does not decode for");
            break;
        }
        if (fwrite(piece, 1, n, file) != n) {
            result = Fail(w, InstallResult::WriteFailed, name, "cannot write");
            break;
        }
    }
    stream->methods->release(stream);
    if (fclose(file) != 0 && result == InstallResult::Ok) {
        result = Fail(w, InstallResult::WriteFailed, name, "cannot write");
    }
    return result;
}

InstallResult WriteRange(const EntryWriters *self, const uint8_t *data, uint32_t dataSize,
                         const NameUnit *nameUnits, uint64_t targetOffset)
{
    const HostWriters *w = (const HostWriters *)self;
    std::u16string name = ToU16(nameUnits);
    fs::path path;
    FILE *file = NameStaysInside(name) && HostPath(w, name, name.size(), &path)
                     ? OpenFile(path, "r+b")
                     : nullptr;
    if (!file) {
        return Fail(w, InstallResult::CannotCreate, name, "cannot open the existing file");
    }
    InstallResult result = InstallResult::Ok;
    if (!SeekTo(file, targetOffset)) {
        result = Fail(w, InstallResult::Corrupt, name, "cannot seek in");
    } else if (dataSize != 0 && fwrite(data, 1, dataSize, file) != dataSize) {
        result = Fail(w, InstallResult::WriteFailed, name, "cannot write");
    }
    if (fclose(file) != 0 && result == InstallResult::Ok) {
        result = Fail(w, InstallResult::WriteFailed, name, "cannot write");
    }
    return result;
}

const char *ResultName(InstallResult result)
{
    static const char *const names[] = {"Ok",          "NoChunk",   "Corrupt",  "CannotCreate",
                                        "WriteFailed", "Cancelled", "WrongBase"};
    uint32_t index = (uint32_t)result;
    return index < sizeof names / sizeof names[0] ? names[index] : "unknown";
}

InstallResult WalkChunks(const LoadedPatch &patch, HostWriters *writers, std::string *detail)
{
    for (const ChunkView &chunk : patch.chunks) {
        detail->clear();
        if (Interrupted()) {
            *detail = "interrupted";
            return InstallResult::Cancelled;
        }
        if (chunk.size > MaxChunkBytes) {
            *detail = "chunk " + std::to_string(chunk.id) + " is too large";
            return InstallResult::Corrupt;
        }
        InstallResult result = WalkEntries(chunk.data, (uint32_t)chunk.size, &writers->table);
        if (result != InstallResult::Ok) {
            std::string fault = CheckChunk(chunk, nullptr, nullptr);
            *detail = std::string(ResultName(result)) + " in chunk " + std::to_string(chunk.id) +
                      ": " + (detail->empty() ? fault : *detail);
            return result;
        }
    }
    return InstallResult::Ok;
}

// ---- deltas, as the installer applies them ----

void CollectDelta(const DeltaInfo &d, void *context)
{
    ((std::vector<DeltaInfo> *)context)->push_back(d);
}

bool StopOnInterrupt(void *)
{
    return Interrupted();
}

// One target's decision, made before anything is written.
struct DeltaStep {
    DeltaInfo delta;  // the delta to apply; for MoveTemporary, the target's first
    DeltaChoiceKind kind;
    bool deferred;  // the target is some delta's named base: its temporary waits for every result
};

FileFacts FactsOf(const HostWriters *w, const std::u16string &name)
{
    fs::path path;
    FileFacts facts = {false, {0, 0}};
    facts.present = HostPath(w, name, name.size(), &path) && IdentifyFile(path, &facts.identity);
    return facts;
}

// The target's choice through ChooseDelta: its temporary read only when the first call refuses.
DeltaChoice ChooseTarget(const HostWriters *w, const std::u16string &name,
                         const std::vector<DeltaHeader> &headers)
{
    FileFacts target = FactsOf(w, name);
    std::vector<FileFacts> bases;
    for (const DeltaHeader &h : headers) {
        bases.push_back(h.baseName ? FactsOf(w, DeltaBaseName(h)) : target);
    }
    uint32_t count = (uint32_t)headers.size();
    DeltaChoice choice = ChooseDelta(target, headers.data(), bases.data(), count, nullptr);
    if (choice.kind == DeltaChoiceKind::Refuse) {
        FileFacts temporary = FactsOf(w, name + u"" DELTA_TEMPORARY_SUFFIX);
        choice = ChooseDelta(target, headers.data(), bases.data(), count, &temporary);
    }
    return choice;
}

// Returns: true when name is a delta's named base, as Windows matches names.
bool IsNamedBase(const std::set<std::u16string> &namedBases, const std::u16string &name)
{
    for (const std::u16string &base : namedBases) {
        if (SameFileName(base.c_str(), name.c_str())) {
            return true;
        }
    }
    return false;
}

// The installer's choice before anything is written, target by target (ChooseDelta).
// Returns: Ok with the steps in *steps; WrongBase naming a file that matches none.
InstallResult ChooseDeltas(const std::vector<DeltaInfo> &deltas,
                           const std::set<std::u16string> &namedBases, const HostWriters *w,
                           std::vector<DeltaStep> *steps)
{
    for (size_t first = 0; first < deltas.size();) {
        const std::u16string &name = deltas[first].entry.name;
        std::vector<DeltaHeader> headers;
        for (size_t k = first; k < deltas.size() && deltas[k].entry.name == name; ++k) {
            headers.push_back(deltas[k].header);
        }
        DeltaChoice choice = ChooseTarget(w, name, headers);
        if (choice.kind == DeltaChoiceKind::Refuse) {
            return Fail(w, InstallResult::WrongBase, name,
                        "the installer refuses (IDS_DELTA_BASE_MISMATCH): no delta's base or "
                        "result matches");
        }
        if (choice.kind != DeltaChoiceKind::Skip) {
            steps->push_back(DeltaStep{deltas[first + choice.delta], choice.kind,
                                       IsNamedBase(namedBases, name)});
        }
        first += headers.size();
    }
    return InstallResult::Ok;
}

// Moves the target's temporary over it. Returns: Ok, or WriteFailed.
InstallResult MoveTemporary(const HostWriters *w, const std::u16string &name)
{
    fs::path path;
    std::error_code ec;
    HostPath(w, name, name.size(), &path);
    fs::path temporary = path;
    temporary += DELTA_TEMPORARY_SUFFIX;
    fs::rename(temporary, path, ec);
    return ec ? Fail(w, InstallResult::WriteFailed, name, "cannot move the temporary over")
              : InstallResult::Ok;
}

// Applies one delta as the installer does: the result into a temporary beside the target, which
// replaces the target once the result is complete and matches, unless the step is deferred.
InstallResult ApplyDelta(const HostWriters *w, const DeltaStep &step)
{
    const DeltaInfo &d = step.delta;
    const std::u16string &name = d.entry.name;
    if (step.kind == DeltaChoiceKind::MoveTemporary) {
        return step.deferred ? InstallResult::Ok : MoveTemporary(w, name);
    }
    fs::path path, base;
    HostPath(w, name, name.size(), &path);
    std::u16string baseName = d.header.baseName ? DeltaBaseName(d.header) : name;
    HostPath(w, baseName, baseName.size(), &base);
    fs::path temporary = path;
    temporary += DELTA_TEMPORARY_SUFFIX;
    DeltaObserver interrupt = {nullptr, nullptr, StopOnInterrupt};
    if (!CreateFolders(w, name)) {
        return Fail(w, InstallResult::CannotCreate, name, "cannot create the folders of");
    }
    DeltaResult r =
        ApplyDeltaFile(d.data, (uint32_t)d.entry.dataSize, base, temporary, true, &interrupt);
    InstallResult result = InstallResultOfDelta(r);
    if (result != InstallResult::Ok) {
        std::error_code ec;
        fs::remove(temporary, ec);
        return Fail(w, result, name,
                    result == InstallResult::Cancelled ? "interrupted while applying the delta of"
                                                       : "the delta does not apply to");
    }
    return step.deferred ? InstallResult::Ok : MoveTemporary(w, name);
}

// Reads every delta entry and chooses those to apply, before anything is written; names every
// named base in *namedBases, as the header gives it (a target is one when IsNamedBase says so, as
// the installer compares names).
InstallResult PrepareDeltas(const LoadedPatch &patch, const HostWriters *w,
                            std::set<std::u16string> *namedBases, std::vector<DeltaStep> *steps)
{
    std::vector<DeltaInfo> deltas;
    for (const ChunkView &resource : patch.deltas) {
        std::string fault = CheckDeltaResource(resource, CollectDelta, &deltas);
        if (!fault.empty()) {
            *w->detail = "Corrupt: " + fault;
            return InstallResult::Corrupt;
        }
    }
    for (const DeltaInfo &d : deltas) {
        if (d.header.baseName) {
            namedBases->insert(DeltaBaseName(d.header));
        }
    }
    return ChooseDeltas(deltas, *namedBases, w, steps);
}

// Applies the chosen deltas in package order, then moves the deferred temporaries over their
// targets in the same order.
InstallResult ApplyDeltas(const HostWriters *w, const std::vector<DeltaStep> &steps)
{
    InstallResult result = InstallResult::Ok;
    for (size_t i = 0; result == InstallResult::Ok && i < steps.size(); ++i) {
        result = ApplyDelta(w, steps[i]);
    }
    for (size_t i = 0; result == InstallResult::Ok && i < steps.size(); ++i) {
        if (steps[i].deferred) {
            result = MoveTemporary(w, steps[i].delta.entry.name);
        }
    }
    return result;
}

// ---- removals, after every write ----

bool IsListedContent(const RemovalInfo &r, const FileIdentity &found)
{
    for (const FileIdentity &id : r.identities) {
        if (SameIdentity(id, found)) {
            return true;
        }
    }
    return false;
}

// Removes each listed file whose content is a listed one, then each listed folder left empty.
// A file that is gone, changed or not a file stays as it is; so does a folder that is not empty.
InstallResult RemoveListed(const HostWriters *w, const std::vector<RemovalInfo> &removals)
{
    std::u16string gameIni;
    Utf8ToUtf16(GameIniName, &gameIni);
    for (const RemovalInfo &r : removals) {
        fs::path path;
        std::error_code ec;
        if (SameFileName(r.name.c_str(), gameIni.c_str())) {
            continue;  // the installer records the version in it last; its other keys stay
        }
        HostPath(w, r.name, r.name.size(), &path);
        FileIdentity found;
        if (r.kind == RemoveFolder) {
            if (fs::is_directory(fs::symlink_status(path, ec))) {
                fs::remove(path, ec);  // only an empty folder goes
            }
        } else if (fs::is_regular_file(path, ec) && IdentifyFile(path, &found) &&
                   IsListedContent(r, found) && !fs::remove(path, ec)) {
            return Fail(w, InstallResult::WriteFailed, r.name, "cannot remove");
        }
    }
    return InstallResult::Ok;
}

}  // namespace

InstallResult ApplyPatchToFolder(const LoadedPatch &patch, const fs::path &root,
                                 std::string *detail)
{
    uint64_t headerBytes = 0;
    std::atomic<bool> never{false};  // an interrupt is served by the writers
    HostWriters writers = {{WriteWholeFile, WriteRange, &headerBytes, &never}, root, detail};
    if (patch.chunks.empty() && patch.deltas.empty() && !patch.removals.data) {
        // deltas or removals alone install
        *detail = "the patch has no chunk " + std::to_string(IDR_FIRST_CHUNK) +
                  ", no delta and no removal list";
        return InstallResult::NoChunk;
    }
    std::vector<RemovalInfo> removals;
    std::string fault = ReadRemovals(patch, &removals);
    if (!fault.empty()) {
        *detail = "Corrupt: " + fault;
        return InstallResult::Corrupt;
    }
    std::set<std::u16string> namedBases;
    std::vector<DeltaStep> steps;
    InstallResult result = PrepareDeltas(patch, &writers, &namedBases, &steps);
    bool deltasFirst = !namedBases.empty();
    if (result == InstallResult::Ok && deltasFirst) {
        result = ApplyDeltas(&writers, steps);
    }
    if (result == InstallResult::Ok) {
        result = WalkChunks(patch, &writers, detail);
    }
    if (result == InstallResult::Ok && !deltasFirst) {
        result = ApplyDeltas(&writers, steps);
    }
    return result == InstallResult::Ok ? RemoveListed(&writers, removals) : result;
}
