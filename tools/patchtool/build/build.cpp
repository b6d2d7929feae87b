#include "tools/patchtool/build/build.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "app/descriptor.h"
#include "resources/resource.h"
#include "stream/block_stream.h"
#include "tools/blockenc/block_encoder.h"
#include "tools/patchtool/format/gate.h"
#include "tools/patchtool/format/installer_extras.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/pe/pe_resources.h"
#include "tools/patchtool/build/ranges.h"

namespace {

// Files are compared and copied in pieces of this size, so memory does not grow with them.
const size_t PieceBytes = 1 << 20;
// Past this many runs a file goes in whole: the list of runs is the only state that grows with it.
const size_t MaxRangeRuns = 1 << 20;
// Every stored block costs at least its table entry, its LZMA properties and the range coder's flush.
const uint64_t MinStoredBlockBytes = 4 + 5 + 5;
// The installer opens files with plain paths of at most 259 characters. The shortest game folder
// it can run from ("C:\G\Update\..\") leaves this many for a name.
const size_t PlainPathNameLimit = 259 - 15;
// Longer names leave less than 100 characters for the player's game folder path.
const size_t LongNameWarning = 159;

enum class Choice : uint8_t {
    Unchanged,
    Ranges,
    Whole,
    Cheaper,  // ranges unless the compressed whole file turns out smaller
};

struct FileWork {
    const TreeFile *file;
    std::u16string name;
    std::vector<const TreeFile *> olds;  // one per old folder; empty when one of them lacks it
    Choice choice = Choice::Whole;
    std::vector<ByteRange> ranges;
    uint64_t rangeCost = 0;
    uint64_t blockCount = 0;
    std::atomic<bool> abandoned{false};  // the compressed size already exceeds the ranges
};

struct Progress {
    bool enabled = false;
    const char *phase = "";
    uint64_t total = 0;
    std::atomic<uint64_t> done{0};
    std::string current;
    double phaseStart = 0;
    double lastPrint = 0;
    std::mutex printing;
};

void StartPhase(Progress *p, const char *phase, uint64_t total)
{
    std::lock_guard<std::mutex> lock(p->printing);
    p->phase = phase;
    p->total = total;
    p->done = 0;
    p->phaseStart = NowMilliseconds();
    p->lastPrint = 0;
}

void SetCurrent(Progress *p, const std::string &name)
{
    std::lock_guard<std::mutex> lock(p->printing);
    p->current = name;
}

// One line on a terminal: phase, percent of the phase's bytes, estimated time left, current file.
void ShowProgress(Progress *p, bool final)
{
    if (!p->enabled) {
        return;
    }
    std::lock_guard<std::mutex> lock(p->printing);
    double now = NowMilliseconds();
    if (!final && now - p->lastPrint < 200) {
        return;
    }
    p->lastPrint = now;
    uint64_t done = std::min(p->done.load(), p->total);
    unsigned percent = p->total ? (unsigned)(done * 100 / p->total) : 100;
    double elapsed = (now - p->phaseStart) / 1000.0;
    char eta[32] = "--:--";
    if (done > 0 && elapsed > 0.5) {
        unsigned left = (unsigned)(elapsed * (double)(p->total - done) / (double)done);
        snprintf(eta, sizeof eta, "%u:%02u", left / 60, left % 60);
    }
    std::string name = p->current.size() > 40 ? "..." + p->current.substr(p->current.size() - 37) : p->current;
    fprintf(stderr, "\r%-11s %3u%%  %5" PRIu64 " of %" PRIu64 " MiB  ETA %-6s %-40s%s", p->phase, percent,
            done >> 20, p->total >> 20, final ? "0:00" : eta, final ? "" : name.c_str(), final ? "\n" : "");
    fflush(stderr);
}

// ---- chunks ----

struct ChunkWriter {
    fs::path folder;
    bool dryRun = false;
    FILE *file = nullptr;
    uint32_t id = FirstChunkId - 1;
    uint64_t used = 0;
    uint64_t limit = 0;
    uint64_t total = 0;
};

bool CloseChunk(ChunkWriter *w, std::string *error)
{
    bool ok = !w->file || fclose(w->file) == 0;
    w->file = nullptr;
    if (!ok) {
        *error = "cannot write chunk " + std::to_string(w->id) + ": " + SystemReason();
    }
    return ok;
}

// Starts an entry of size bytes: in the current chunk while it fits, else in a new chunk.
bool BeginEntry(ChunkWriter *w, uint64_t size, std::string *error)
{
    if (size > MaxChunkBytes) {
        *error = "an entry of " + std::to_string(size) + " bytes is larger than a chunk can be";
        return false;
    }
    if (w->id >= FirstChunkId && w->used > 0 && w->used + size <= w->limit) {
        return true;
    }
    if (!CloseChunk(w, error)) {
        return false;
    }
    if (++w->id > LastChunkId) {
        *error = "the patch needs more than 399 chunks (ids 1601 to 1999; 2000 is the descriptor): "
                 "raise --chunk-size";
        return false;
    }
    w->used = 0;
    if (w->dryRun) {
        return true;
    }
    fs::path path = w->folder / (std::to_string(w->id) + ".bin");
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
        *error = "cannot write chunk " + std::to_string(w->id) + ": " + SystemReason();
        return false;
    }
    w->used += size;
    w->total += size;
    return true;
}

// Copies length bytes at offset of from into the chunk, a piece at a time.
bool CopyInto(ChunkWriter *w, FILE *from, uint64_t offset, uint64_t length, std::vector<uint8_t> *piece,
              std::string *error)
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
    piece->resize(PieceBytes);
    while (length > 0) {
        size_t n = (size_t)std::min<uint64_t>(length, PieceBytes);
        if (fread(piece->data(), 1, n, from) != n) {
            *error = "cannot read: " + (ferror(from) ? SystemReason() : std::string("the file shrank"));
            return false;
        }
        if (!Put(w, piece->data(), n, error)) {
            return false;
        }
        length -= n;
    }
    return true;
}

std::string NameText(const FileWork &f) { return f.file->name; }

void ListEntry(const BuildOptions &o, const char *kind, const FileWork &f, uint64_t stored, uint64_t decoded)
{
    if (o.dryRun) {
        printf("%-6s %-48s stored %12" PRIu64 "  decoded %12" PRIu64 "\n", kind, NameText(f).c_str(), stored, decoded);
    }
}

bool EmitRanges(const BuildOptions &o, ChunkWriter *w, FileWork &f, std::vector<uint8_t> *piece, std::string *error)
{
    uint64_t header = RangeHeaderSize(f.name.size());
    SplitLongRanges(&f.ranges, std::max<uint64_t>(o.chunkSize, header + 1) - header);
    FILE *source = w->dryRun ? nullptr : OpenFile(f.file->path, "rb");
    if (!w->dryRun && !source) {
        *error = "cannot open " + PathText(f.file->path) + ": " + SystemReason();
        return false;
    }
    bool ok = true;
    for (const ByteRange &r : f.ranges) {
        std::vector<uint8_t> head;
        AppendEntryHeader(&head, RangeKind, f.name, r.length, r.offset);
        ok = BeginEntry(w, head.size() + r.length, error) && Put(w, head.data(), head.size(), error) &&
             CopyInto(w, source, r.offset, r.length, piece, error);
        if (!ok) {
            *error = NameText(f) + ": " + *error;
            break;
        }
        ListEntry(o, "range", f, r.length, r.length);
    }
    if (source) {
        fclose(source);
    }
    return ok;
}

// The stored blocks of the file being compressed, in order, in a spool file.
struct Spool {
    fs::path path;
    FILE *file = nullptr;
    std::vector<uint32_t> sizes;
    uint64_t bytes = 0;
};

uint64_t WholeCost(const FileWork &f, const Spool &s)
{
    return WholeFileHeaderSize(f.name.size()) + BlockStreamHeaderSize + 4 * f.blockCount + s.bytes;
}

// The least a whole-file entry of f can cost, before its blocks are compressed.
uint64_t LeastWholeCost(const FileWork &f)
{
    return WholeFileHeaderSize(f.name.size()) + BlockStreamHeaderSize + MinStoredBlockBytes * f.blockCount;
}

bool EmitWhole(const BuildOptions &o, ChunkWriter *w, const FileWork &f, Spool *s, std::vector<uint8_t> *piece,
               std::string *error)
{
    uint64_t streamSize = BlockStreamHeaderSize + 4 * (uint64_t)s->sizes.size() + s->bytes;
    std::vector<uint8_t> head;
    AppendEntryHeader(&head, WholeFileKind, f.name, streamSize, 0);
    size_t fields = head.size();
    head.resize(fields + BlockStreamHeaderSize + 4 * s->sizes.size());
    PutU64(&head[fields], f.file->size);
    PutU32(&head[fields + 8], o.blockSize);
    for (size_t i = 0; i < s->sizes.size(); ++i) {
        PutU32(&head[fields + BlockStreamHeaderSize + 4 * i], s->sizes[i]);
    }
    if (!BeginEntry(w, fields + streamSize, error) || !Put(w, head.data(), head.size(), error) ||
        (s->bytes && !CopyInto(w, s->file, 0, s->bytes, piece, error))) {
        *error = NameText(f) + ": " + *error;
        return false;
    }
    ListEntry(o, "whole", f, streamSize, f.file->size);
    return true;
}

// ---- the compression pipeline ----

struct Job {
    size_t file;
    uint32_t block;
};

// Compresses the blocks of every file that needs it with a bounded number of blocks in flight,
// and writes every entry in name order. The result never depends on the thread count: blocks
// are delivered in order, and each decision depends only on what was delivered before it.
class Pipeline {
public:
    Pipeline(const BuildOptions &o, std::vector<FileWork> &files, ChunkWriter *writer, Spool *spool,
             Progress *progress, BuildSummary *summary)
        : o_(o), files_(files), writer_(writer), spool_(spool), progress_(progress), summary_(summary)
    {
        for (size_t i = 0; i < files.size(); ++i) {
            if (files[i].choice == Choice::Whole || files[i].choice == Choice::Cheaper) {
                for (uint32_t b = 0; b < files[i].blockCount; ++b) {
                    jobs_.push_back(Job{i, b});
                }
            }
        }
    }

    uint64_t InputBytes() const
    {
        uint64_t total = 0;
        for (const Job &job : jobs_) {
            total += BlockLength(job);
        }
        return total;
    }

    bool Run(std::string *error)
    {
        unsigned threads = std::max(1u, std::min<unsigned>(o_.threads, (unsigned)std::max<size_t>(jobs_.size(), 1)));
        window_ = threads;
        std::vector<std::thread> pool;
        for (unsigned t = 1; t < threads; ++t) {
            pool.emplace_back([this]() { Work(); });
        }
        Work();
        for (std::thread &t : pool) {
            t.join();
        }
        if (!failed_ && !EmitUpTo(files_.size())) {
            failed_ = true;
        }
        *error = error_;
        return !failed_;
    }

private:
    uint32_t BlockLength(const Job &job) const
    {
        uint64_t start = (uint64_t)job.block * o_.blockSize;
        return (uint32_t)std::min<uint64_t>(o_.blockSize, files_[job.file].file->size - start);
    }

    // Returns: false with a reason when the block cannot be read.
    bool ReadBlock(const Job &job, std::vector<uint8_t> *data, std::string *error)
    {
        const FileWork &f = files_[job.file];
        data->resize(BlockLength(job));
        FILE *file = OpenFile(f.file->path, "rb");
        bool ok = file && SeekTo(file, (uint64_t)job.block * o_.blockSize) &&
                  fread(data->data(), 1, data->size(), file) == data->size();
        if (!ok) {
            *error = "cannot read " + PathText(f.file->path) + ": " +
                     (file && !ferror(file) ? std::string("the file shrank") : SystemReason());
        }
        if (file) {
            fclose(file);
        }
        return ok;
    }

    void Work()
    {
        BlockEncoderOptions encoder;
        encoder.blockSize = o_.blockSize;
        encoder.level = o_.level;
        std::vector<uint8_t> input;
        std::vector<uint8_t> output;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            turn_.wait(lock, [&]() { return failed_ || next_ >= jobs_.size() || next_ < delivered_ + window_; });
            if (failed_ || next_ >= jobs_.size()) {
                return;
            }
            size_t k = next_++;
            lock.unlock();
            const Job job = jobs_[k];
            if (job.block == 0) {
                SetCurrent(progress_, files_[job.file].file->name);
            }
            std::string problem;
            output.clear();
            bool ok = true;
            if (Interrupted()) {
                ok = false, problem = "interrupted";
            } else if (!files_[job.file].abandoned) {
                ok = ReadBlock(job, &input, &problem);
                if (ok && !EncodeStoredBlock(input.data(), (uint32_t)input.size(), encoder, output)) {
                    ok = false, problem = "the LZMA encoder failed";
                }
            }
            progress_->done += BlockLength(job);
            ShowProgress(progress_, false);
            lock.lock();
            turn_.wait(lock, [&]() { return failed_ || delivered_ == k; });
            if (failed_) {
                return;
            }
            if (!ok || !Deliver(job, output)) {
                failed_ = true;
                if (!ok) {
                    error_ = problem;
                }
            }
            ++delivered_;
            turn_.notify_all();
        }
    }

    // Called in job order, under the lock.
    bool Deliver(const Job &job, const std::vector<uint8_t> &stored)
    {
        if (!EmitUpTo(job.file)) {
            return false;
        }
        FileWork &f = files_[job.file];
        if (job.block == 0) {
            spool_->sizes.clear();
            spool_->bytes = 0;
            if (!o_.dryRun && (!spool_->file || !SeekTo(spool_->file, 0))) {
                error_ = "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
                return false;
            }
        }
        if (!f.abandoned) {
            if (spool_->file && fwrite(stored.data(), 1, stored.size(), spool_->file) != stored.size()) {
                error_ = "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
                return false;
            }
            spool_->sizes.push_back((uint32_t)stored.size());
            spool_->bytes += stored.size();
            if (f.choice == Choice::Cheaper && WholeCost(f, *spool_) > f.rangeCost) {
                f.abandoned = true;  // the ranges win; the rest of the file needs no compression
            }
        }
        if (job.block + 1 < f.blockCount) {
            return true;
        }
        emitted_ = job.file + 1;
        if (spool_->file && fflush(spool_->file) != 0) {
            error_ = "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
            return false;
        }
        return f.abandoned ? EmitChosenRanges(f) : EmitWholeFile(f);
    }

    bool EmitChosenRanges(FileWork &f)
    {
        summary_->bytesIn += f.file->size;
        summary_->rangeFiles += 1;
        summary_->rangeEntries += f.ranges.size();
        uint64_t whole = f.abandoned ? WholeCost(f, *spool_) : LeastWholeCost(f);
        summary_->rangeSavings += whole - f.rangeCost;
        return EmitRanges(o_, writer_, f, &piece_, &error_);
    }

    bool EmitWholeFile(FileWork &f)
    {
        summary_->bytesIn += f.file->size;
        summary_->wholeEntries += 1;
        return EmitWhole(o_, writer_, f, spool_, &piece_, &error_);
    }

    // Writes every file before end that needs no compression, in name order.
    bool EmitUpTo(size_t end)
    {
        for (; emitted_ < end; ++emitted_) {
            FileWork &f = files_[emitted_];
            if (f.choice == Choice::Unchanged) {
                ++summary_->filesUnchanged;
                continue;
            }
            bool ok = true;
            if (f.choice == Choice::Ranges) {
                ok = EmitChosenRanges(f);
            } else if (f.blockCount == 0) {  // an empty file: compared, it would be Unchanged
                spool_->sizes.clear();
                spool_->bytes = 0;
                ok = EmitWholeFile(f);
            } else {
                return true;  // its blocks come through Deliver
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    const BuildOptions &o_;
    std::vector<FileWork> &files_;
    ChunkWriter *writer_;
    Spool *spool_;
    Progress *progress_;
    BuildSummary *summary_;
    std::vector<Job> jobs_;
    std::vector<uint8_t> piece_;
    std::mutex mutex_;
    std::condition_variable turn_;
    size_t window_ = 1;
    size_t next_ = 0;
    size_t delivered_ = 0;
    size_t emitted_ = 0;
    bool failed_ = false;
    std::string error_;
};

// ---- comparing ----

// Marks in mask the bytes of piece that differ from old's first oldLength bytes, and every byte
// past them.
void MarkDifferences(const uint8_t *old, size_t oldLength, const uint8_t *piece, size_t length, uint8_t *mask)
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

// Compares the new file with every old one, a piece at a time, and decides its entries.
bool CompareFile(FileWork *f, Progress *progress, std::string *error)
{
    uint64_t size = f->file->size;
    uint64_t header = RangeHeaderSize(f->name.size());
    OpenFiles open;
    open.files.push_back(OpenFile(f->file->path, "rb"));
    for (const TreeFile *old : f->olds) {
        open.files.push_back(OpenFile(old->path, "rb"));
    }
    for (size_t k = 0; k < open.files.size(); ++k) {
        if (!open.files[k]) {
            *error = "cannot open " + PathText(k == 0 ? f->file->path : f->olds[k - 1]->path) + ": " + SystemReason();
            return false;
        }
    }
    RangeCollector collector(header, size + header, MaxRangeRuns);
    std::vector<uint8_t> piece(PieceBytes);
    std::vector<uint8_t> old(PieceBytes);
    std::vector<uint8_t> mask(f->olds.size() > 1 ? PieceBytes : 0);
    std::vector<uint8_t> zeros(mask.size());
    for (uint64_t at = 0; at < size && !collector.GaveUp(); at += PieceBytes) {
        size_t length = (size_t)std::min<uint64_t>(PieceBytes, size - at);
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
            size_t oldLength = (size_t)(at >= oldSize ? 0 : std::min<uint64_t>(length, oldSize - at));
            if (ReadPiece(open.files[k + 1], old.data(), oldLength) != (int64_t)oldLength) {
                *error = "cannot read " + PathText(f->olds[k]->path);
                return false;
            }
            if (!mask.empty()) {
                MarkDifferences(old.data(), oldLength, piece.data(), length, mask.data());
            } else if (CollectDifferences(old.data(), piece.data(), oldLength, at, &collector) && oldLength < length) {
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
        f->choice = f->rangeCost < LeastWholeCost(*f) ? Choice::Ranges : Choice::Cheaper;
    }
    return true;
}

// ---- the plan: everything checked before any work ----

struct OldTree {
    std::vector<TreeFile> files;
    std::map<std::string, const TreeFile *> byName;
    std::set<std::string> folders;  // every folder of the tree, by name
};

struct Plan {
    std::vector<TreeFile> newFiles;
    std::vector<OldTree> olds;
    std::vector<uint8_t> stubImage;
    std::vector<PeResource> stubItems;
    fs::path stubPath;
    bool rangesAllowed = true;
    bool checksumRecord = true;
};

std::string FoldCase(const std::string &name)
{
    std::string key = name;
    for (char &c : key) {
        c = c >= 'a' && c <= 'z' ? (char)(c - 32) : c;
    }
    return key;
}

bool CheckNewNames(const Plan &plan)
{
    std::map<std::string, std::string> folded;
    size_t longest = 0;
    std::string longestName;
    for (const TreeFile &file : plan.newFiles) {
        std::u16string name;
        std::string reason;
        Utf8ToUtf16(file.name, &name);
        if (!CheckTargetName(name, &reason)) {
            fprintf(stderr, "patchtool: the name %s cannot be installed: %s\n", file.name.c_str(), reason.c_str());
            return false;
        }
        if (name.size() > PlainPathNameLimit) {
            fprintf(stderr, "patchtool: the name %s has %zu characters: the installer opens plain paths of at most "
                    "259 characters (MAX_PATH), game folder included, so no player could install it\n",
                    file.name.c_str(), name.size());
            return false;
        }
        if (name.size() > longest) {
            longest = name.size(), longestName = file.name;
        }
        if (!folded.emplace(FoldCase(file.name), file.name).second) {
            fprintf(stderr, "patchtool: %s and %s are one file on Windows\n", folded[FoldCase(file.name)].c_str(),
                    file.name.c_str());
            return false;
        }
    }
    if (longest > LongNameWarning) {
        fprintf(stderr, "patchtool: warning: %s has %zu characters; the installer fails where the game folder's "
                "path is longer than %zu characters (plain paths: 259 at most)\n",
                longestName.c_str(), longest, 259 - longest);
    }
    return true;
}

// Reads each old folder's version as the installer would and applies the installer's gate.
bool CheckOldVersions(const BuildOptions &o)
{
    GateOperator gate = o.op == "<=" ? GateOperator::UpTo : GateOperator::Exact;
    for (const OldVersion &old : o.olds) {
        PackedVersion installed = 0;
        std::string error;
        if (!ReadGameVersion(old.folder, &installed, &error)) {
            fprintf(stderr, "patchtool: --old: %s\n", error.c_str());
            return false;
        }
        if (old.claimed && installed != old.version) {
            fprintf(stderr, "patchtool: --old %s=%s: its %s says %s, and that is what the installer reads\n",
                    VersionText(old.version).c_str(), PathText(old.folder).c_str(), GameIniName,
                    VersionText(installed).c_str());
            return false;
        }
        GateDecision d = DecideVersionGate(installed, o.target, gate, o.base);
        if (d.outcome != GateOutcome::Proceed) {
            fprintf(stderr, "patchtool: the old folder %s is at version %s (%s; 1.0.0.0 without it), and for it "
                    "the installer would %s: target %s, %s %s\n", PathText(old.folder).c_str(),
                    VersionText(installed).c_str(), GameIniName, GateOutcomeText(d), VersionText(o.target).c_str(),
                    o.op.c_str(), VersionText(o.base).c_str());
            return false;
        }
    }
    return true;
}

// A file that became a folder, or the reverse, cannot be installed: the installer creates files
// and folders but never removes either.
bool CheckKindChanges(const Plan &plan, const BuildOptions &o)
{
    for (size_t k = 0; k < plan.olds.size(); ++k) {
        std::set<std::string> oldFiles;
        std::set<std::string> oldFolders;
        for (const TreeFile &f : plan.olds[k].files) {
            oldFiles.insert(FoldCase(f.name));
        }
        for (const std::string &f : plan.olds[k].folders) {
            oldFolders.insert(FoldCase(f));
        }
        for (const TreeFile &f : plan.newFiles) {
            std::string key = FoldCase(f.name);
            const char *problem = nullptr;
            std::string where = f.name;
            if (oldFolders.count(key)) {
                problem = "is a folder in the old folder and a file in the new one";
            }
            for (size_t slash = key.find('/'); !problem && slash != std::string::npos; slash = key.find('/', slash + 1)) {
                if (oldFiles.count(key.substr(0, slash))) {
                    problem = "is a file in the old folder and a folder in the new one";
                    where = f.name.substr(0, slash);
                }
            }
            if (problem) {
                fprintf(stderr, "patchtool: %s %s (%s): the installer cannot delete a file or a folder, so every "
                        "player's installation would fail there\n", where.c_str(), problem,
                        PathText(o.olds[k].folder).c_str());
                return false;
            }
        }
    }
    return true;
}

bool ListOldTrees(const BuildOptions &o, Plan *plan)
{
    std::map<std::string, bool> inNew;
    for (const TreeFile &file : plan->newFiles) {
        inNew[file.name] = true;
    }
    plan->olds.resize(o.olds.size());
    for (size_t k = 0; k < o.olds.size(); ++k) {
        OldTree &tree = plan->olds[k];
        std::vector<std::string> emptyFolders;
        std::string error;
        if (!ListTree(o.olds[k].folder, &tree.files, &emptyFolders, &error)) {
            fprintf(stderr, "patchtool: --old: %s\n", error.c_str());
            return false;
        }
        tree.folders.insert(emptyFolders.begin(), emptyFolders.end());
        for (const TreeFile &file : tree.files) {
            tree.byName[file.name] = &file;
            for (size_t slash = file.name.find('/'); slash != std::string::npos; slash = file.name.find('/', slash + 1)) {
                tree.folders.insert(file.name.substr(0, slash));
            }
            if (!inNew.count(file.name)) {
                fprintf(stderr, "patchtool: warning: %s is in the old folder %s only; a patch cannot delete it\n",
                        file.name.c_str(), PathText(o.olds[k].folder).c_str());
            }
        }
    }
    return true;
}

bool CheckInputs(const BuildOptions &o, Plan *plan)
{
    std::string error;
    std::vector<std::string> emptyFolders;
    if (!ListTree(o.newFolder, &plan->newFiles, &emptyFolders, &error)) {
        fprintf(stderr, "patchtool: --new: %s\n", error.c_str());
        return false;
    }
    for (const std::string &folder : emptyFolders) {
        fprintf(stderr, "patchtool: warning: the empty folder %s cannot be part of a patch\n", folder.c_str());
    }
    if (!CheckNewNames(*plan) || !CheckOldVersions(o) || !ListOldTrees(o, plan) || !CheckKindChanges(*plan, o)) {
        return false;
    }
    if (!o.olds.empty() && o.op == "<=" && !o.allOldVersions) {
        plan->rangesAllowed = false;
        fprintf(stderr, "patchtool: note: with --op <= the installer accepts every version up to %s, and a player "
                "may hold one that no --old shows: every file goes in whole. Give every accepted version with "
                "--old and add --all-old-versions for range entries.\n", VersionText(o.base).c_str());
    }
    return true;
}

// Outputs are never an input, never inside one, never hold one, and never lie inside each other.
bool CheckOutputs(const BuildOptions &o, const fs::path &stub)
{
    std::vector<std::pair<const char *, fs::path>> inputs = {{"--new", o.newFolder}};
    for (const OldVersion &old : o.olds) {
        inputs.push_back({"--old", old.folder});
    }
    if (!stub.empty()) {
        inputs.push_back({"--stub", stub});
    }
    if (!o.descriptionFile.empty()) {
        inputs.push_back({"--description-file", o.descriptionFile});
    }
    std::vector<std::pair<const char *, fs::path>> outputs = {{"--out", o.outFolder}};
    if (!o.installer.empty()) {
        outputs.push_back({"--installer", o.installer});
    }
    for (const auto &out : outputs) {
        for (const auto &in : inputs) {
            if (PathIsWithin(out.second, in.second) || PathIsWithin(in.second, out.second)) {
                fprintf(stderr, "patchtool: %s %s and %s %s overlap: an output must lie outside every input, and no "
                        "input inside an output\n", out.first, PathText(out.second).c_str(), in.first,
                        PathText(in.second).c_str());
                return false;
            }
        }
    }
    if (outputs.size() == 2 && (PathIsWithin(o.installer, o.outFolder) || PathIsWithin(o.outFolder, o.installer))) {
        fprintf(stderr, "patchtool: --installer %s and --out %s must be apart: neither may be or hold the other\n",
                PathText(o.installer).c_str(), PathText(o.outFolder).c_str());
        return false;
    }
    std::error_code ec;
    fs::file_status out = fs::symlink_status(o.outFolder, ec);
    if (fs::exists(out) && !o.force) {
        fprintf(stderr, "patchtool: %s already exists (--force replaces it)\n", PathText(o.outFolder).c_str());
        return false;
    }
    fs::file_status installer = fs::status(o.installer, ec);
    if (!o.installer.empty() && fs::is_directory(installer)) {
        fprintf(stderr, "patchtool: --installer %s is a folder; it is never replaced\n", PathText(o.installer).c_str());
        return false;
    }
    if (!o.installer.empty() && fs::exists(fs::symlink_status(o.installer, ec)) && !o.force) {
        fprintf(stderr, "patchtool: %s already exists (--force replaces it)\n", PathText(o.installer).c_str());
        return false;
    }
    return true;
}

fs::path FindStub(const BuildOptions &options)
{
    if (!options.stub.empty()) {
        return options.stub;
    }
    if (const char *env = getenv("QPATCH_STUB")) {
        return PathFromUtf8(env);
    }
    // Next to the tool, as shipped, or where the windows build tree puts it.
    fs::path here = OwnExecutable().parent_path();
    fs::path beside = here / "qpatch-stub.exe";
    std::error_code ec;
    if (fs::exists(beside, ec)) {
        return beside;
    }
    return here / ".." / ".." / "resources" / "qpatch-stub.exe";
}

// Returns: true when string id is present and not empty in the string tables of language.
bool HasString(const std::vector<uint8_t> &image, const std::vector<PeResource> &items, uint16_t id, uint16_t language)
{
    const uint16_t RtString = 6;
    for (const PeResource &r : items) {
        if (r.type.named || r.type.id != RtString || r.name.named || r.name.id != (id >> 4) + 1 || r.language != language) {
            continue;
        }
        uint64_t at = r.imageOffset;
        uint64_t end = r.imageOffset + r.size;
        for (unsigned index = 0; at + 2 <= end; ++index) {
            uint16_t length = GetU16(&image[at]);
            if (index == (id & 15u)) {
                return length > 0 && at + 2 + 2ull * length <= end;
            }
            at += 2 + 2ull * length;
        }
    }
    return false;
}

// The stub must be this project's installer without a patch: its dialog, icon and both
// languages' texts, and no QPATCH resource.
bool RecognisesStub(const std::vector<uint8_t> &image, const std::vector<PeResource> &items, std::string *reason)
{
    const uint16_t RtDialog = 5, RtGroupIcon = 14;
    if (!FindPeResource(items, IdKey(RtDialog), IdKey(IDD_UPDATE)) || !FindPeResource(items, IdKey(RtGroupIcon), IdKey(IDI_APP))) {
        *reason = "it lacks the installer's dialog or icon";
        return false;
    }
    for (uint16_t language : {2052, 1028}) {
        for (uint16_t id = IDS_TITLE; id <= IDS_INSTALL_OK; ++id) {
            if (!HasString(image, items, id, language)) {
                *reason = "it lacks the installer's text " + std::to_string(id) + " in language " + std::to_string(language);
                return false;
            }
        }
    }
    for (const PeResource &r : items) {
        if (r.type.named && r.type.name == NameKey(u"QPATCH").name) {
            *reason = "it already carries a patch (QPATCH resources)";
            return false;
        }
    }
    return true;
}

bool LoadStub(const BuildOptions &o, Plan *plan)
{
    plan->stubPath = FindStub(o);
    plan->checksumRecord = o.checksumRecord;
    std::string error;
    if (!ReadWholeFile(plan->stubPath, &plan->stubImage, &error) || !ReadPeResources(plan->stubImage, &plan->stubItems, &error) ||
        !RecognisesStub(plan->stubImage, plan->stubItems, &error)) {
        fprintf(stderr, "patchtool: installer stub %s: %s (pass --stub PATH to the payload-free qpatch-stub.exe)\n",
                PathText(plan->stubPath).c_str(), error.c_str());
        return false;
    }
    return true;
}

// Writes the installer into output: the stub with the patch's QPATCH resources added.
bool WriteInstaller(const Plan &plan, const fs::path &patchFolder, uint32_t lastChunk, const fs::path &output,
                    std::string *error)
{
    std::vector<PeResource> items = plan.stubItems;
    std::error_code ec;
    std::vector<uint32_t> ids(1, DescriptorId);
    for (uint32_t id = FirstChunkId; id <= lastChunk; ++id) {
        ids.push_back(id);
    }
    for (uint32_t id : ids) {
        fs::path file = patchFolder / (id == DescriptorId ? std::string("descriptor.txt") : std::to_string(id) + ".bin");
        PeResource item;
        item.type = NameKey(u"QPATCH");
        item.name = IdKey((uint16_t)id);
        item.language = 0;
        item.codePage = 0;
        item.imageOffset = 0;
        item.size = (uint32_t)fs::file_size(file, ec);
        item.file = file;
        if (ec) {
            *error = "cannot read " + PathText(file) + ": " + ec.message();
            return false;
        }
        items.push_back(item);
    }
    bool signatureDropped = false;
    if (!AddInstallerExtras(plan.stubImage, patchFolder, lastChunk, plan.checksumRecord, &items, &signatureDropped,
                            error)) {
        return false;
    }
    if (signatureDropped) {
        fprintf(stderr, "patchtool: warning: %s is signed; the installer is written without that signature, "
                        "which would not match its new content: sign the installer again\n",
                PathText(plan.stubPath).c_str());
    }
    return WritePeWithResources(plan.stubImage, items, output, error);
}

// Moves the finished output into place; an existing one was allowed by CheckOutputs.
bool Publish(const fs::path &from, const fs::path &to, std::string *error)
{
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) {
        fs::remove_all(to, ec);
    }
    fs::rename(from, to, ec);
    if (ec) {
        *error = "cannot move the result to " + PathText(to) + ": " + ec.message();
        return false;
    }
    return true;
}

// Sorts the new folder's files into work items; with ranges allowed, each is compared with its
// copies in every old folder.
std::vector<FileWork> MakeWork(const BuildOptions &o, const Plan &plan)
{
    std::vector<FileWork> files(plan.newFiles.size());
    for (size_t i = 0; i < files.size(); ++i) {
        FileWork &f = files[i];
        f.file = &plan.newFiles[i];
        Utf8ToUtf16(f.file->name, &f.name);
        f.blockCount = (f.file->size + o.blockSize - 1) / o.blockSize;
        for (size_t k = 0; plan.rangesAllowed && k < plan.olds.size(); ++k) {
            auto old = plan.olds[k].byName.find(f.file->name);
            if (old == plan.olds[k].byName.end() || old->second->size > f.file->size) {
                f.olds.clear();
                break;
            }
            f.olds.push_back(old->second);
        }
    }
    return files;
}

bool WritePatch(const BuildOptions &o, const Plan &plan, const fs::path &folder, ChunkWriter *writer,
                BuildSummary *summary, std::string *error)
{
    Progress progress;
    progress.enabled = o.progress;
    std::vector<FileWork> files = MakeWork(o, plan);
    uint64_t compared = 0;
    for (const FileWork &f : files) {
        compared += f.olds.empty() ? 0 : f.file->size;
    }
    StartPhase(&progress, "comparing", compared);
    for (FileWork &f : files) {
        if (!f.olds.empty()) {
            SetCurrent(&progress, f.file->name);
            if (!CompareFile(&f, &progress, error)) {
                return false;
            }
        }
    }
    if (compared) {
        ShowProgress(&progress, true);
    }
    Spool spool;
    spool.path = folder / "spool.tmp";
    if (!o.dryRun && !(spool.file = OpenFile(spool.path, "w+b"))) {
        *error = "cannot create " + PathText(spool.path) + ": " + SystemReason();
        return false;
    }
    Pipeline pipeline(o, files, writer, &spool, &progress, summary);
    StartPhase(&progress, "compressing", pipeline.InputBytes());
    bool ok = pipeline.Run(error);
    ShowProgress(&progress, true);
    if (spool.file) {
        fclose(spool.file);
        RemoveTree(spool.path);
    }
    return ok && CloseChunk(writer, error);
}

}  // namespace

int BuildPatch(const BuildOptions &options, BuildSummary *summary)
{
    double start = NowMilliseconds();
    *summary = BuildSummary();
    Plan plan;
    if (!CheckInputs(options, &plan) ||
        !CheckOutputs(options, options.installer.empty() ? fs::path() : FindStub(options)) ||
        (!options.installer.empty() && !LoadStub(options, &plan))) {
        return 1;
    }
    summary->filesScanned = plan.newFiles.size();
    if (!options.dryRun) {
        RemoveStaleTemporaries(options.outFolder);
        if (!options.installer.empty()) {
            RemoveStaleTemporaries(options.installer);
        }
    }
    std::error_code ec;
    fs::path folder = options.dryRun ? fs::path() : TemporarySibling(options.outFolder);
    if (!options.dryRun && (!fs::create_directory(folder, ec) || ec)) {
        fprintf(stderr, "patchtool: cannot write the output folder next to %s: %s\n",
                PathText(options.outFolder).c_str(), ec.message().c_str());
        return 1;
    }
    ChunkWriter writer;
    writer.folder = folder;
    writer.limit = options.chunkSize;
    writer.dryRun = options.dryRun;
    std::string error;
    std::string descriptor = ComposeDescriptor(options.target, options.op, options.base, options.description);
    fs::path installerTemp = options.installer.empty() || options.dryRun ? fs::path() : TemporarySibling(options.installer);
    bool ok = (options.dryRun || WriteWholeFile(folder / "descriptor.txt", descriptor.data(), descriptor.size(), &error)) &&
              WritePatch(options, plan, folder, &writer, summary, &error);
    if (ok && writer.id < FirstChunkId) {
        error = "nothing to patch: every file of the new folder is unchanged";
        ok = false;
    }
    if (ok && !installerTemp.empty()) {
        ok = WriteInstaller(plan, folder, writer.id, installerTemp, &error);
    }
    ok = ok && (options.dryRun || Publish(folder, options.outFolder, &error));
    if (ok && !installerTemp.empty() && !Publish(installerTemp, options.installer, &error)) {
        RemoveTree(options.outFolder);
        ok = false;
    }
    if (!ok) {
        CloseChunk(&writer, &error);
        if (!folder.empty()) {
            RemoveTree(folder);
        }
        if (!installerTemp.empty()) {
            RemoveTree(installerTemp);
        }
        fprintf(stderr, "patchtool: %s\n", error.c_str());
        return 1;
    }
    summary->chunks = writer.id - FirstChunkId + 1;
    summary->bytesOut = writer.total;
    summary->milliseconds = NowMilliseconds() - start;
    return 0;
}

void PrintSummary(const BuildSummary &s, FILE *out)
{
    double ratio = s.bytesIn ? 100.0 * (double)s.bytesOut / (double)s.bytesIn : 0.0;
    fprintf(out,
            "files: %" PRIu64 " scanned, %" PRIu64 " unchanged, %" PRIu64 " whole-file entries, %" PRIu64
            " changed in place as %" PRIu64 " range entries\n"
            "bytes: %" PRIu64 " in, %" PRIu64 " out in %u chunks (%.1f%%); range entries saved %" PRIu64
            " bytes\n"
            "time: %.2f s\n",
            s.filesScanned, s.filesUnchanged, s.wholeEntries, s.rangeFiles, s.rangeEntries, s.bytesIn, s.bytesOut,
            s.chunks, ratio, s.rangeSavings, s.milliseconds / 1000.0);
}
