#include "delta/apply/delta_file_stdio.h"
#include "delta/apply/delta_recipe_apply.h"
#include "stream/stdio_file.h"

#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct StdioBase {
    DeltaBase base;  // first: the applier hands it back
    FILE *file;
};

struct StdioSink {
    DeltaSink sink;  // first
    FILE *file;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    FILE *file = ((const StdioBase *)self)->file;
    return SeekTo(file, offset) && fread(buffer, 1, length, file) == length;
}

bool WriteSink(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    return fwrite(bytes, 1, length, ((const StdioSink *)self)->file) == length;
}

}  // namespace

bool IdentifyFile(const fs::path &path, FileIdentity *identity)
{
    FILE *file = OpenFile(path, "rb");
    if (!file)
        return false;
    std::vector<uint8_t> piece(1 << 20);
    *identity = FileIdentity{0, 0};
    size_t n;
    while ((n = fread(piece.data(), 1, piece.size(), file)) > 0)
        AddToIdentity(identity, piece.data(), (uint32_t)n);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

namespace {

DeltaResult ApplyPlain(const uint8_t *data, uint32_t size, const StdioBase &b, const StdioSink &s,
                       bool checkBase, const DeltaObserver *observer)
{
    DeltaApplier *applier = nullptr;
    DeltaResult r = OpenDelta(data, size, &b.base, &s.sink, checkBase, &applier);
    if (r == DeltaResult::InProgress)
        r = RunDelta(applier, observer);
    CloseDelta(applier);
    return r;
}

// A delta with a recipe: the base expanded into a file beside out, removed on every path.
DeltaResult ApplyExpanded(const uint8_t *data, uint32_t size, const fs::path &base,
                          const StdioBase &b, const StdioSink &s, const fs::path &out,
                          bool checkBase, const DeltaObserver *observer)
{
    DeltaHeader h;
    FileIdentity found;
    if (!GetDeltaHeader(data, size, &h))
        return DeltaResult::Corrupt;
    if (checkBase && (!IdentifyFile(base, &found) || !SameIdentity(found, BaseIdentity(h))))
        return DeltaResult::BaseMismatch;
    fs::path path = out;
    path += DELTA_EXPANDED_SUFFIX;
    StdioBase reader = {{h.expandedBaseSize, ReadBase}, OpenFile(path, "w+b")};
    if (!reader.file)
        return DeltaResult::CannotCreate;
    StdioSink writer = {{WriteSink}, reader.file};
    ExpandedStore expanded = {&writer.sink, &reader.base};
    DeltaResult r = ApplyRecipeDelta(data, size, &b.base, &expanded, &s.sink, observer);
    fclose(reader.file);
    std::error_code ec;
    fs::remove(path, ec);
    return r;
}

}  // namespace

DeltaResult ApplyDeltaFile(const uint8_t *data, uint32_t size, const fs::path &base,
                           const fs::path &out, bool checkBase, const DeltaObserver *observer)
{
    std::error_code ec;
    StdioBase b = {{fs::file_size(base, ec), ReadBase}, nullptr};
    b.file = ec ? nullptr : OpenFile(base, "rb");
    if (!b.file)
        return DeltaResult::ReadFailed;
    StdioSink s = {{WriteSink}, OpenFile(out, "wb")};
    DeltaResult r = DeltaResult::CannotCreate;
    if (s.file) {
        r = DeltaHasRecipe(data, size)
                ? ApplyExpanded(data, size, base, b, s, out, checkBase, observer)
                : ApplyPlain(data, size, b, s, checkBase, observer);
        if (fclose(s.file) != 0 && r == DeltaResult::Done)
            r = DeltaResult::WriteFailed;
    }
    fclose(b.file);
    return r;
}
