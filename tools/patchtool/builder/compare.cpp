#include "tools/patchtool/builder/compare.h"

#include <algorithm>

#include "tools/patchtool/builder/package.h"
#include "tools/patchtool/host/process.h"

namespace {

// Past this many runs a file goes in whole: the list of runs is the only state that grows with it.
const size_t MaxRangeRuns = 1 << 20;

// Marks in mask the bytes of piece that differ from old's first oldLength bytes, and every byte
// past them.
void MarkDifferences(const uint8_t *old, size_t oldLength, const uint8_t *piece, size_t length,
                     uint8_t *mask)
{
    size_t i = 0;
    for (; i < oldLength; ++i) {
        mask[i] |= old[i] != piece[i];
    }
    for (; i < length; ++i) {
        mask[i] = 1;
    }
}

struct OpenFiles {
    std::vector<FILE *> files;
    ~OpenFiles()
    {
        for (FILE *f : files) {
            if (f) {
                fclose(f);
            }
        }
    }
};

// Reads up to size bytes at the file's current position. Returns: the count, or -1 on an error.
int64_t ReadPiece(FILE *file, uint8_t *data, size_t size)
{
    size_t n = fread(data, 1, size, file);
    return n < size && ferror(file) ? -1 : (int64_t)n;
}

}  // namespace

// Sorts the new folder's files into work items; with ranges allowed, each is given its copies in
// every old folder, and marked for ranges when none of them is longer.
std::vector<FileWork> MakeWork(const BuildOptions &o, const Plan &plan)
{
    std::vector<FileWork> files(plan.newFiles.size());
    for (size_t i = 0; i < files.size(); ++i) {
        FileWork &f = files[i];
        f.file = &plan.newFiles[i];
        Utf8ToUtf16(f.file->name, &f.name);
        f.blockCount = BlockCount(f.file->size, o.blockSize);
        for (size_t k = 0; plan.rangesAllowed && k < plan.olds.size(); ++k) {
            auto old = plan.olds[k].byName.find(f.file->name);
            if (old == plan.olds[k].byName.end()) {
                f.olds.clear();
                break;
            }
            f.rangesPossible = f.rangesPossible && old->second->size <= f.file->size;
            f.olds.push_back(old->second);
        }
    }
    return files;
}

// Compares the new file with every old one, a piece at a time, and decides its entries.
bool CompareFile(FileWork *f, Progress *progress, std::string *error)
{
    uint64_t size = f->file->size;
    uint64_t header = EntryHeaderSize(EntryKindRange, f->name.size());
    OpenFiles open;
    open.files.push_back(OpenFile(f->file->path, "rb"));
    for (const TreeFile *old : f->olds) {
        open.files.push_back(OpenFile(old->path, "rb"));
    }
    for (size_t k = 0; k < open.files.size(); ++k) {
        if (!open.files[k]) {
            *error = "cannot open " + PathText(k == 0 ? f->file->path : f->olds[k - 1]->path) +
                     ": " + SystemReason();
            return false;
        }
    }
    RangeCollector collector(header, size + header, MaxRangeRuns);
    std::vector<uint8_t> piece(ReadBufferBytes);
    std::vector<uint8_t> old(ReadBufferBytes);
    std::vector<uint8_t> mask(f->olds.size() > 1 ? ReadBufferBytes : 0);
    std::vector<uint8_t> zeros(mask.size());
    for (uint64_t at = 0; at < size && !collector.GaveUp(); at += ReadBufferBytes) {
        size_t length = (size_t)std::min<uint64_t>(ReadBufferBytes, size - at);
        if (Interrupted()) {
            *error = "interrupted";
            return false;
        }
        if (ReadPiece(open.files[0], piece.data(), length) != (int64_t)length) {
            *error = "cannot read " + PathText(f->file->path);
            return false;
        }
        std::fill(mask.begin(), mask.end(), 0);
        for (size_t k = 0; k < f->olds.size(); ++k) {
            uint64_t oldSize = f->olds[k]->size;
            size_t oldLength =
                (size_t)(at >= oldSize ? 0 : std::min<uint64_t>(length, oldSize - at));
            if (ReadPiece(open.files[k + 1], old.data(), oldLength) != (int64_t)oldLength) {
                *error = "cannot read " + PathText(f->olds[k]->path);
                return false;
            }
            if (!mask.empty()) {
                MarkDifferences(old.data(), oldLength, piece.data(), length, mask.data());
            } else if (CollectDifferences(old.data(), piece.data(), oldLength, at, &collector) &&
                       oldLength < length) {
                collector.Add(at + oldLength, at + length);
            }
        }
        if (!mask.empty()) {
            CollectDifferences(zeros.data(), mask.data(), length, at, &collector);
        }
        progress->done += length;
        ShowProgress(progress, false);
    }
    if (collector.GaveUp()) {
        f->choice = Choice::Whole;
    } else if (collector.Runs().empty()) {
        f->choice = Choice::Unchanged;
    } else {
        f->ranges.swap(collector.Runs());
        f->rangeCost = collector.Cost();
        f->choice = f->rangeCost < LeastWholeCost(*f) ? Choice::Ranges : Choice::RangesOrWhole;
    }
    return true;
}
