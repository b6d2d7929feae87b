#include "tools/patchtool/builder/package.h"

#include <inttypes.h>

#include <algorithm>

#include "tools/patchtool/host/text.h"

namespace {

// Every stored block costs at least its table entry, its LZMA properties and the range coder's
// flush.
const uint64_t RangeCoderFlushBytes = 5;
const uint64_t MinStoredBlockBytes = BlockTableEntrySize + LzmaPropsSize + RangeCoderFlushBytes;

}  // namespace

namespace {

// Returns: what w writes, for messages.
const char *Label(const ChunkWriter *w)
{
    return w->deltas ? "delta resource" : "chunk";
}

}  // namespace

bool CloseChunk(ChunkWriter *w, std::string *error)
{
    bool ok = !w->file || fclose(w->file) == 0;
    w->file = nullptr;
    if (!ok) {
        *error = Format("cannot write %s %u: %s", Label(w), w->id, SystemReason().c_str());
    }
    return ok;
}

namespace {

std::string NameText(const FileWork &f)
{
    return f.file->name;
}

// A dry run lists each entry it would write.
void ListDryRunEntry(const ChunkWriter *w, const char *kind, const FileWork &f, uint64_t stored,
                     uint64_t decoded)
{
    if (w->dryRun) {
        w->report->Listing(Format("%-6s %-48s stored %12" PRIu64 "  decoded %12" PRIu64, kind,
                                  NameText(f).c_str(), stored, decoded));
    }
}

// Starts an entry of size bytes: in the current chunk while it fits, else in a new chunk.
bool BeginEntry(ChunkWriter *w, uint64_t size, std::string *error)
{
    if (size > MaxChunkBytes) {
        *error = Format("an entry of %" PRIu64 " bytes is larger than a %s can be", size, Label(w));
        return false;
    }
    if (w->id >= IDR_FIRST_CHUNK && w->used > 0 && w->used + size <= w->limit) {
        return true;
    }
    if (!CloseChunk(w, error)) {
        return false;
    }
    if (++w->id > LastChunkId) {
        *error = Format("the patch needs more than %u %ss (ids %u to %u; %u is the descriptor): "
                        "raise --chunk-size",
                        (unsigned)MaxChunkCount, Label(w), (unsigned)IDR_FIRST_CHUNK,
                        (unsigned)LastChunkId, (unsigned)IDR_DESCRIPTOR);
        return false;
    }
    w->used = 0;
    if (w->dryRun) {
        return true;
    }
    fs::path path = w->folder / (w->deltas ? DeltaFileName(w->id) : ChunkFileName(w->id));
    w->file = OpenFile(path, "wb");
    if (!w->file) {
        *error = "cannot create " + PathText(path) + ": " + SystemReason();
        return false;
    }
    return true;
}

bool Put(ChunkWriter *w, const void *data, size_t size, std::string *error)
{
    if (w->file && size && fwrite(data, 1, size, w->file) != size) {
        *error = Format("cannot write %s %u: %s", Label(w), w->id, SystemReason().c_str());
        return false;
    }
    w->used += size;
    w->total += size;
    return true;
}

// Copies length bytes at offset of from into the chunk, a piece at a time.
bool CopyInto(ChunkWriter *w, FILE *from, uint64_t offset, uint64_t length,
              std::vector<uint8_t> *piece, std::string *error)
{
    if (w->dryRun) {
        w->used += length;
        w->total += length;
        return true;
    }
    if (!SeekTo(from, offset)) {
        *error = "cannot seek: " + SystemReason();
        return false;
    }
    piece->resize(ReadBufferBytes);
    while (length > 0) {
        size_t n = (size_t)std::min<uint64_t>(length, ReadBufferBytes);
        if (fread(piece->data(), 1, n, from) != n) {
            *error =
                "cannot read: " + (ferror(from) ? SystemReason() : std::string("the file shrank"));
            return false;
        }
        if (!Put(w, piece->data(), n, error)) {
            return false;
        }
        length -= n;
    }
    return true;
}

}  // namespace

bool EmitRanges(const BuildOptions &o, ChunkWriter *w, FileWork &f, std::vector<uint8_t> *piece,
                std::string *error)
{
    uint64_t header = EntryHeaderSize(EntryKindRange, f.name.size());
    SplitLongRanges(&f.ranges, std::max<uint64_t>(o.chunkSize, header + 1) - header);
    FILE *source = w->dryRun ? nullptr : OpenFile(f.file->path, "rb");
    if (!w->dryRun && !source) {
        *error = "cannot open " + PathText(f.file->path) + ": " + SystemReason();
        return false;
    }
    bool ok = true;
    for (const ByteRange &r : f.ranges) {
        std::vector<uint8_t> head;
        AppendEntryHeader(&head, EntryKindRange, f.name, r.length, r.offset);
        ok = BeginEntry(w, head.size() + r.length, error) &&
             Put(w, head.data(), head.size(), error) &&
             CopyInto(w, source, r.offset, r.length, piece, error);
        if (!ok) {
            *error = NameText(f) + ": " + *error;
            break;
        }
        ListDryRunEntry(w, "range", f, r.length, r.length);
    }
    if (source) {
        fclose(source);
    }
    return ok;
}

uint64_t WholeCost(const FileWork &f, const Spool &s)
{
    return EntryHeaderSize(WholeFileKind, f.name.size()) + BlockStreamHeaderSize +
           BlockTableEntrySize * f.blockCount + s.bytes;
}

// The least a whole-file entry of f can cost, before its blocks are compressed.
uint64_t LeastWholeCost(const FileWork &f)
{
    return EntryHeaderSize(WholeFileKind, f.name.size()) + BlockStreamHeaderSize +
           MinStoredBlockBytes * f.blockCount;
}

bool EmitWhole(const BuildOptions &o, ChunkWriter *w, const FileWork &f, Spool *s,
               std::vector<uint8_t> *piece, std::string *error)
{
    std::vector<uint8_t> stream = BlockStreamHead(f.file->size, o.blockSize, s->sizes);
    uint64_t streamSize = stream.size() + s->bytes;
    std::vector<uint8_t> head;
    AppendEntryHeader(&head, WholeFileKind, f.name, streamSize, 0);
    size_t fields = head.size();
    head.insert(head.end(), stream.begin(), stream.end());
    if (!BeginEntry(w, fields + streamSize, error) || !Put(w, head.data(), head.size(), error) ||
        (s->bytes && !CopyInto(w, s->file, 0, s->bytes, piece, error))) {
        *error = NameText(f) + ": " + *error;
        return false;
    }
    ListDryRunEntry(w, "whole", f, streamSize, f.file->size);
    return true;
}

bool EmitDeltas(ChunkWriter *w, const FileWork &f, const DeltaSpool &s, std::vector<uint8_t> *piece,
                std::string *error)
{
    for (const SpooledDelta &d : f.deltas) {
        std::vector<uint8_t> head;
        AppendEntryHeader(&head, WholeFileKind, f.name, d.size, 0);
        if (!BeginEntry(w, head.size() + d.size, error) ||
            !Put(w, head.data(), head.size(), error) ||
            !CopyInto(w, s.file, d.offset, d.size, piece, error)) {
            *error = NameText(f) + ": " + *error;
            return false;
        }
        ListDryRunEntry(w, "delta", f, d.size, f.file->size);
        if (w->dryRun && !f.baseName.empty()) {
            std::string base;
            Utf16ToUtf8(f.baseName, &base);
            w->report->Listing(Format("       base file %s", base.c_str()));
        }
    }
    return true;
}

uint64_t DeltaHeadersCost(const FileWork &f, uint64_t count)
{
    return count * EntryHeaderSize(WholeFileKind, (uint32_t)f.name.size());
}
