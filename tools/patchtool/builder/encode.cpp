#include "tools/patchtool/builder/encode.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "stream/encode/block_encoder.h"
#include "tools/patchtool/host/process.h"

namespace {

struct Job {
    size_t file;
    uint32_t block;
};

// Compresses the blocks of every file that needs it with a bounded number of blocks in flight,
// and writes every entry in name order. The result never depends on the thread count: blocks
// are delivered in order, and each decision depends only on what was delivered before it.
class Pipeline {
public:
    Pipeline(const BuildOptions &o, std::vector<FileWork> &files, ChunkWriter *writer,
             DeltaOutput *deltas, Spool *spool, Progress *progress, BuildSummary *summary)
        : o_(o), files_(files), writer_(writer), deltas_(deltas), spool_(spool),
          progress_(progress), summary_(summary)
    {
        for (size_t i = 0; i < files.size(); ++i) {
            if (CompressesWhole(files[i].choice)) {
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
        unsigned threads = std::max(
            1u, std::min<unsigned>(o_.threads, (unsigned)std::max<size_t>(jobs_.size(), 1)));
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
            turn_.wait(lock, [&]() {
                return failed_ || next_ >= jobs_.size() || next_ < delivered_ + window_;
            });
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
                if (ok &&
                    !EncodeStoredBlock(input.data(), (uint32_t)input.size(), encoder, output)) {
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
                error_ =
                    "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
                return false;
            }
        }
        if (!f.abandoned) {
            if (spool_->file &&
                fwrite(stored.data(), 1, stored.size(), spool_->file) != stored.size()) {
                error_ =
                    "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
                return false;
            }
            spool_->sizes.push_back((uint32_t)stored.size());
            spool_->bytes += stored.size();
            if (f.choice != Choice::Whole && WholeCost(f, *spool_) > AlternativeCost(f)) {
                f.abandoned = true;  // the alternative wins; the rest needs no compression
            }
        }
        if (job.block + 1 < f.blockCount) {
            return true;
        }
        emitted_ = job.file + 1;
        if (spool_->file && fflush(spool_->file) != 0) {
            error_ =
                "cannot write the spool file " + PathText(spool_->path) + ": " + SystemReason();
            return false;
        }
        return f.abandoned ? EmitAlternative(f) : EmitWholeFile(f);
    }

    bool EmitAlternative(FileWork &f)
    {
        return AlternativeIsDelta(f.choice) ? EmitChosenDeltas(f) : EmitChosenRanges(f);
    }

    bool EmitChosenDeltas(FileWork &f)
    {
        summary_->bytesIn += f.file->size;
        summary_->deltaFiles += 1;
        summary_->deltaEntries += f.deltas.size();
        return EmitDeltas(&deltas_->writer, f, deltas_->spool, &piece_, &error_);
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
            if (f.choice == Choice::Ranges || f.choice == Choice::Delta) {
                ok = EmitAlternative(f);
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
    DeltaOutput *deltas_;
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

}  // namespace

bool EncodeAndPackage(const BuildOptions &o, std::vector<FileWork> &files, ChunkWriter *writer,
                      DeltaOutput *deltas, Spool *spool, Progress *progress, BuildSummary *summary,
                      std::string *error)
{
    Pipeline pipeline(o, files, writer, deltas, spool, progress, summary);
    StartPhase(progress, "compressing", pipeline.InputBytes());
    bool ok = pipeline.Run(error);
    ShowProgress(progress, true);
    return ok;
}
