#include "tools/patchtool/check/host_install.h"

#include <string.h>
#include <atomic>
#include <system_error>

#include "delta/apply/delta_file_stdio.h"
#include "delta/common/delta_choice.h"
#include "payload/delta_result.h"
#include "payload/walk.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/process.h"

namespace {

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
    *path = w->root / PathFromUtf8(text);
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
    for (size_t slash = name.find(u'/'); slash != std::u16string::npos;
         slash = name.find(u'/', slash + 1)) {
        fs::path folder;
        std::error_code ec;
        if (!HostPath(w, name, slash, &folder)) {
            return nullptr;
        }
        fs::create_directory(folder, ec);
        if (ec && !fs::is_directory(folder)) {
            return nullptr;
        }
    }
    return OpenFile(path, "wb");
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

// ---- deltas, as the installer applies them ----

void CollectDelta(const DeltaInfo &d, void *context)
{
    ((std::vector<DeltaInfo> *)context)->push_back(d);
}

// The installer's choice before anything is written, target by target (ChooseDelta).
// Returns: Ok with the deltas to apply in *chosen; WrongBase naming a file that matches none.
InstallResult ChooseDeltas(const std::vector<DeltaInfo> &deltas, const HostWriters *w,
                           std::vector<DeltaInfo> *chosen)
{
    for (size_t first = 0; first < deltas.size();) {
        const std::u16string &name = deltas[first].entry.name;
        std::vector<DeltaHeader> headers;
        for (size_t k = first; k < deltas.size() && deltas[k].entry.name == name; ++k) {
            headers.push_back(deltas[k].header);
        }
        fs::path path;
        FileFacts target = {false, {0, 0}};
        target.present = NameStaysInside(name) && HostPath(w, name, name.size(), &path) &&
                         IdentifyFile(path, &target.identity);
        std::vector<FileFacts> bases(headers.size(), target);
        DeltaChoice choice =
            ChooseDelta(target, headers.data(), bases.data(), (uint32_t)headers.size(), nullptr);
        if (choice.kind == DeltaChoiceKind::Refuse) {
            return Fail(w, InstallResult::WrongBase, name,
                        "the installer refuses (IDS_DELTA_BASE_MISMATCH): no delta's base or "
                        "result matches");
        }
        if (choice.kind == DeltaChoiceKind::Apply) {
            chosen->push_back(deltas[first + choice.delta]);
        }
        first += headers.size();
    }
    return InstallResult::Ok;
}

bool StopOnInterrupt(void *)
{
    return Interrupted();
}

// Applies one delta as the installer does: the result into a temporary beside the target, which
// replaces the target only once the result is complete and matches.
InstallResult ApplyDelta(const HostWriters *w, const DeltaInfo &d)
{
    const std::u16string &name = d.entry.name;
    fs::path path;
    HostPath(w, name, name.size(), &path);
    DeltaObserver interrupt = {nullptr, nullptr, StopOnInterrupt};
    DeltaResult r = ApplyDeltaInPlace(d.data, (uint32_t)d.entry.dataSize, path, true, &interrupt);
    InstallResult result = InstallResultOfDelta(r);
    if (result == InstallResult::Cancelled) {
        return Fail(w, result, name, "interrupted while applying the delta of");
    }
    return result == InstallResult::Ok ? result
                                       : Fail(w, result, name, "the delta does not apply to");
}

const char *ResultName(InstallResult result)
{
    static const char *const names[] = {"Ok",          "NoChunk",   "Corrupt",  "CannotCreate",
                                        "WriteFailed", "Cancelled", "WrongBase"};
    uint32_t index = (uint32_t)result;
    return index < sizeof names / sizeof names[0] ? names[index] : "unknown";
}

// Reads every delta entry and chooses those to apply, before anything is written.
InstallResult PrepareDeltas(const LoadedPatch &patch, const HostWriters *w,
                            std::vector<DeltaInfo> *chosen)
{
    std::vector<DeltaInfo> deltas;
    for (const ChunkView &resource : patch.deltas) {
        std::string fault = CheckDeltaResource(resource, CollectDelta, &deltas);
        if (!fault.empty()) {
            *w->detail = "Corrupt: " + fault;
            return InstallResult::Corrupt;
        }
    }
    return ChooseDeltas(deltas, w, chosen);
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

}  // namespace

InstallResult ApplyPatchToFolder(const LoadedPatch &patch, const fs::path &root,
                                 std::string *detail)
{
    uint64_t headerBytes = 0;
    std::atomic<bool> never{false};  // an interrupt is served by the writers
    HostWriters writers = {{WriteWholeFile, WriteRange, &headerBytes, &never}, root, detail};
    if (patch.chunks.empty() && patch.deltas.empty()) {  // deltas alone install
        *detail = "the patch has no chunk " + std::to_string(IDR_FIRST_CHUNK) + " and no delta";
        return InstallResult::NoChunk;
    }
    std::vector<DeltaInfo> chosen;
    InstallResult result = PrepareDeltas(patch, &writers, &chosen);
    if (result == InstallResult::Ok) {
        result = WalkChunks(patch, &writers, detail);
    }
    for (size_t i = 0; result == InstallResult::Ok && i < chosen.size(); ++i) {
        result = ApplyDelta(&writers, chosen[i]);
    }
    return result;
}
