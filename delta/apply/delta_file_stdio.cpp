#include "delta/apply/delta_file_stdio.h"

#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool SeekTo(FILE *file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (int64_t)offset, SEEK_SET) == 0;
#else
    return offset <= INT64_MAX && fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

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

FILE *OpenDeltaFile(const fs::path &path, const char *mode)
{
#ifdef _WIN32
    wchar_t wideMode[8] = {0};
    for (int i = 0; i < 7 && mode[i]; ++i)
        wideMode[i] = (wchar_t)mode[i];
    return _wfopen(path.c_str(), wideMode);
#else
    return fopen(path.c_str(), mode);
#endif
}

bool IdentifyFile(const fs::path &path, FileIdentity *identity)
{
    FILE *file = OpenDeltaFile(path, "rb");
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
    b.file = ec ? nullptr : OpenDeltaFile(base, "rb");
    if (!b.file)
        return DeltaResult::ReadFailed;
    StdioSink s = {{WriteSink}, OpenDeltaFile(out, "wb")};
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

DeltaResult ApplyDeltaInPlace(const uint8_t *data, uint32_t size, const fs::path &target,
                              bool checkBase, const DeltaObserver *observer)
{
    fs::path temporary = target;
    temporary += DELTA_TEMPORARY_SUFFIX;
    DeltaResult r = ApplyDeltaFile(data, size, target, temporary, checkBase, observer);
    std::error_code ec;
    if (r == DeltaResult::Done) {
        fs::rename(temporary, target, ec);
        if (ec)
            r = DeltaResult::WriteFailed;
    }
    if (r != DeltaResult::Done)
        fs::remove(temporary, ec);
    return r;
}
