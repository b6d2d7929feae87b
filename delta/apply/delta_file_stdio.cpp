#include "delta/apply/delta_file_stdio.h"
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
        DeltaApplier *applier = nullptr;
        r = OpenDelta(data, size, &b.base, &s.sink, checkBase, &applier);
        if (r == DeltaResult::InProgress)
            r = RunDelta(applier, observer);
        CloseDelta(applier);
        if (fclose(s.file) != 0 && r == DeltaResult::Done)
            r = DeltaResult::WriteFailed;
    }
    fclose(b.file);
    return r;
}
