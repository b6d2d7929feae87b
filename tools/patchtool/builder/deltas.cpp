#include "tools/patchtool/builder/deltas.h"

#include <algorithm>

#include "delta/apply/delta_file_stdio.h"
#include "delta/common/delta_format.h"
#include "stream/encode/block_encoder.h"
#include "delta/encode/delta_encode.h"
#include "delta/encode/delta_file.h"
#include "tools/patchtool/builder/scan.h"
#include "tools/patchtool/format/checksum_writer.h"
#include "tools/patchtool/host/process.h"

namespace {

// Below this a delta can save nothing worth its encoding: files smaller than it, and files whose
// ranges cost less than a delta's headers plus it, are left to ranges or the whole file.
const uint64_t DeltaWorthBytes = 4096;

bool HasRanges(const FileWork &f)
{
    return f.choice == Choice::Ranges || f.choice == Choice::RangesOrWhole;
}

// Returns: true when a delta could save enough on f to be worth encoding.
bool WorthTrying(const FileWork &f)
{
    uint64_t least = DeltaHeadersCost(f, 1) + DeltaHeaderSize;
    return !f.olds.empty() && f.choice != Choice::Unchanged && f.file->size >= DeltaWorthBytes &&
           !(HasRanges(f) && f.rangeCost < least + DeltaWorthBytes);
}

// The old copies of f that differ from it, one for each distinct content: a copy at f's own path
// equal to the new file needs no delta, as the installer skips a target that is already the
// result; a named base of that content is a copy to make.
// Returns: false with a reason when a file cannot be read.
bool DistinctBases(const FileWork &f, std::vector<const TreeFile *> *bases, std::string *error)
{
    FileIdentity target;
    if (!IdentifyTreeFile(*f.file, &target, error)) {
        return false;
    }
    std::vector<FileIdentity> seen;
    if (f.baseName.empty()) {
        seen.push_back(target);
    }
    for (const TreeFile *old : f.olds) {
        FileIdentity id;
        if (!IdentifyTreeFile(*old, &id, error)) {
            return false;
        }
        bool known = false;
        for (const FileIdentity &s : seen) {
            known = known || SameIdentity(s, id);
        }
        if (!known) {
            seen.push_back(id);
            bases->push_back(old);
        }
    }
    return true;
}

// Appends a delta to the spool (only counted in a dry run).
// Returns: false with a reason when the spool cannot be written.
bool SpoolDelta(DeltaSpool *s, const std::vector<uint8_t> &delta, SpooledDelta *piece,
                std::string *error)
{
    *piece = SpooledDelta{s->bytes, delta.size()};
    if (s->file &&
        (!SeekTo(s->file, s->bytes) ||
         fwrite(delta.data(), 1, delta.size(), s->file) != delta.size() || fflush(s->file) != 0)) {
        *error = "cannot write the delta spool " + PathText(s->path) + ": " + SystemReason();
        return false;
    }
    s->bytes += delta.size();
    return true;
}

// A whole file compressed at the build's level is seldom under half of what a quick compression of
// it (level 1, in pieces of QuickBlockBytes) makes of it.
const uint64_t QuickToFullRatio = 2;
const uint32_t QuickBlockBytes = 1 << 20;

// Whether the whole file would surely cost more than deltaCost, so that it need not be compressed
// at the build's level at all (that would cost as much time again as the deltas did). Blocks are
// compressed quickly, a piece at a time, only until their output passes QuickToFullRatio x
// deltaCost.
// Returns: false with a reason when the file cannot be read; *surely otherwise.
bool WholeSurelyCostsMore(const BuildOptions &o, const FileWork &f, uint64_t deltaCost,
                          bool *surely, std::string *error)
{
    *surely = false;
    FILE *file = OpenFile(f.file->path, "rb");
    if (!file) {
        *error = "cannot open " + PathText(f.file->path) + ": " + SystemReason();
        return false;
    }
    BlockEncoderOptions quick;
    quick.blockSize = std::min(o.blockSize, QuickBlockBytes);
    quick.level = 1;
    std::vector<uint8_t> block(std::min<uint64_t>(quick.blockSize, f.file->size));
    std::vector<uint8_t> stored;
    uint64_t output = 0;
    size_t n = 0;
    while (!*surely && (n = fread(block.data(), 1, block.size(), file)) > 0) {
        if (!EncodeStoredBlock(block.data(), (uint32_t)n, quick, stored)) {
            break;  // no verdict: the whole file is compressed as usual
        }
        output += stored.size();
        *surely = output >= QuickToFullRatio * deltaCost;
    }
    bool ok = !ferror(file);
    fclose(file);
    if (!ok) {
        *error = "cannot read " + PathText(f.file->path) + ": " + SystemReason();
    }
    return ok;
}

// Encodes f's deltas and chooses them when they cost less than its ranges; otherwise the spool
// takes the next file's deltas in their place.
bool EncodeFileDeltas(const BuildOptions &o, FileWork *f, DeltaSpool *spool, std::string *error)
{
    std::vector<const TreeFile *> bases;
    if (!DistinctBases(*f, &bases, error)) {
        return false;
    }
    uint64_t start = spool->bytes;
    uint64_t cost = DeltaHeadersCost(*f, bases.size());
    std::vector<SpooledDelta> pieces;
    for (const TreeFile *base : bases) {
        if (Interrupted()) {
            *error = "interrupted";
            return false;
        }
        std::vector<uint8_t> delta;
        pieces.emplace_back();
        if (!EncodeFileDelta(base->path, f->file->path, o.level, o.threads, &delta, error)) {
            return false;
        }
        if (!f->baseName.empty() && !NameDeltaBase(&delta, f->baseName)) {
            *error = "the base name " + base->name + " does not fit a delta's header";
            return false;
        }
        if (!SpoolDelta(spool, delta, &pieces.back(), error)) {
            return false;
        }
        cost += delta.size();
    }
    if (bases.empty() || (HasRanges(*f) && f->rangeCost <= cost)) {
        spool->bytes = start;
        return true;
    }
    bool wholeCostsMore = cost < LeastWholeCost(*f);
    if (!wholeCostsMore && !WholeSurelyCostsMore(o, *f, cost, &wholeCostsMore, error)) {
        return false;
    }
    f->deltas.swap(pieces);
    f->deltaCost = cost;
    f->choice = wholeCostsMore ? Choice::Delta : Choice::DeltaOrWhole;
    return true;
}

}  // namespace

bool EncodeDeltas(const BuildOptions &o, std::vector<FileWork> &files, DeltaOutput *deltas,
                  Progress *progress, std::string *error)
{
    if (!o.deltas) {
        return true;
    }
    uint64_t total = 0;
    for (const FileWork &f : files) {
        total += WorthTrying(f) ? f.file->size : 0;
    }
    if (total == 0) {
        return true;
    }
    StartPhase(progress, "encoding deltas", total);
    for (FileWork &f : files) {
        if (WorthTrying(f)) {
            SetCurrent(progress, f.file->name);
            if (!EncodeFileDeltas(o, &f, &deltas->spool, error)) {
                return false;
            }
            progress->done += f.file->size;
            ShowProgress(progress, false);
        }
    }
    ShowProgress(progress, true);
    return true;
}
