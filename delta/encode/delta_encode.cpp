// The delta's sections from the covers: control records, the differences over every cover and the
// bytes between covers, each compressed in blocks as a block-compressed stream.
#include "delta/encode/delta_encode.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "stream/crc32.h"
#include "delta/common/delta_format.h"
#include "stream/block_stream.h"
#include "stream/encode/block_encoder.h"

namespace {

const uint32_t BlockGrain = 4096;
const uint32_t ControlBlockLimit = 1u << 20;
// Differences are mostly zeros and lose little to shorter blocks, which compress side by side.
const uint32_t DifferenceBlockLimit = 4u << 20;

void PutVarint(std::vector<uint8_t> *out, uint64_t v)
{
    uint8_t bytes[DeltaMaxVarintBytes];
    out->insert(out->end(), bytes, bytes + PutDeltaVarint(bytes, v));
}

// Returns: the control section's records: the bytes before each cover, the cover and its distance
// from the previous cover's end, and a last record for the bytes after the last cover.
std::vector<uint8_t> ControlRecords(const std::vector<DeltaCover> &covers, uint64_t newSize)
{
    std::vector<uint8_t> out;
    uint64_t newEnd = 0, oldEnd = 0;
    for (const DeltaCover &c : covers) {
        PutVarint(&out, c.newPos - newEnd);
        PutVarint(&out, c.length);
        PutVarint(&out, ZigzagEncode((int64_t)(c.oldPos - oldEnd)));
        newEnd = c.newPos + c.length;
        oldEnd = c.oldPos + c.length;
    }
    if (newEnd < newSize) {
        PutVarint(&out, newSize - newEnd);
        PutVarint(&out, 0);
    }
    return out;
}

uint32_t RoundedBlock(uint64_t bytes, uint32_t limit)
{
    uint64_t rounded =
        std::max<uint64_t>(BlockGrain, (bytes + BlockGrain - 1) / BlockGrain * BlockGrain);
    return (uint32_t)std::min<uint64_t>(rounded, limit);
}

// Splits DeltaBlockBudget between the sections: each gets what it holds, up to its limit, when
// all fit; otherwise the smaller of difference and literal sections keeps its size and the
// other gets the rest.
void ChooseBlockSizes(uint64_t control, uint64_t difference, uint64_t literal, uint32_t sizes[3])
{
    sizes[0] = RoundedBlock(control, ControlBlockLimit);
    uint32_t rest = DeltaBlockBudget - sizes[0];
    uint32_t d = RoundedBlock(difference, DifferenceBlockLimit);
    uint32_t l = RoundedBlock(literal, DeltaMaxBlockSize);
    if ((uint64_t)d + l > rest) {
        if (l <= rest / 2)
            d = rest - l;
        else if (d <= rest / 2)
            l = rest - d;
        else
            d = l = rest / 2 / BlockGrain * BlockGrain;
    }
    sizes[1] = d;
    sizes[2] = l;
}

// At most `count` blocks are compressed at once, over all sections.
class Slots {
public:
    explicit Slots(unsigned count) : free_(count ? count : 1) {}

    void Acquire()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [this]() { return free_ > 0; });
        --free_;
    }

    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
        freed_.notify_one();
    }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    unsigned free_;
};

// Collects one section's bytes and has each block compressed as soon as it is full, on a thread
// of its own once a slot is free; the raw bytes held are at most a block per busy slot.
class SectionWriter {
public:
    // A writer without slots only collects the bytes: a stored section.
    SectionWriter(uint32_t blockSize, const BlockEncoderOptions &options, Slots *slots)
        : options_(options), slots_(slots)
    {
        options_.blockSize = blockSize;
        options_.threads = 1;
    }

    ~SectionWriter() { Join(); }

    bool Append(const uint8_t *p, uint64_t n)
    {
        if (!slots_) {
            pending_.insert(pending_.end(), p, p + n);
            return true;
        }
        while (n > 0) {
            uint64_t take = std::min<uint64_t>(n, options_.blockSize - pending_.size());
            pending_.insert(pending_.end(), p, p + take);
            p += take;
            n -= take;
            if (pending_.size() == options_.blockSize)
                Flush();
        }
        return !failed_;
    }

    // Returns: true with the whole block-compressed stream in *out.
    bool Finish(std::vector<uint8_t> *out)
    {
        if (!slots_) {
            out->swap(pending_);
            return true;
        }
        if (!pending_.empty())
            Flush();
        Join();
        if (failed_)
            return false;
        std::vector<std::vector<uint8_t>> blocks(std::make_move_iterator(blocks_.begin()),
                                                 std::make_move_iterator(blocks_.end()));
        return AssembleBlockStream(total_, options_.blockSize, blocks, *out);
    }

private:
    void Flush()
    {
        blocks_.emplace_back();
        total_ += pending_.size();
        std::vector<uint8_t> *stored = &blocks_.back();
        slots_->Acquire();
        workers_.emplace_back(
            [this, stored](std::vector<uint8_t> raw) {
                if (!EncodeStoredBlock(raw.data(), (uint32_t)raw.size(), options_, *stored))
                    failed_ = true;
                slots_->Release();
            },
            std::move(pending_));
        pending_ = std::vector<uint8_t>();
    }

    void Join()
    {
        for (std::thread &t : workers_)
            t.join();
        workers_.clear();
    }

    BlockEncoderOptions options_;
    Slots *slots_;
    std::vector<uint8_t> pending_;
    std::deque<std::vector<uint8_t>> blocks_;  // a deque: workers hold pointers into it
    std::vector<std::thread> workers_;
    std::atomic<bool> failed_{false};
    uint64_t total_ = 0;
};

BlockEncoderOptions SectionOptions(const DeltaOptions &o, int lc, int lp, int pb)
{
    BlockEncoderOptions b;
    b.level = o.level;
    b.lc = lc;
    b.lp = lp;
    b.pb = pb;
    // Differences are mostly long runs of zeros: the longest matches pay (about a sixth smaller
    // than the level's 64 on recompiled code).
    b.fastBytes = 273;
    b.matchCycles = 200;
    return b;
}

// The differences as runs of zeros and of bytes as they are; zeros shorter than ZeroRun inside
// bytes stay with them. Long runs of zeros (an unchanged stretch) then cost two varints instead
// of a few bits every 273 bytes, and LZMA has far fewer bytes to compress.
class ZeroRuns {
public:
    explicit ZeroRuns(SectionWriter *w) : w_(w) {}

    bool Add(const uint8_t *p, uint64_t n)
    {
        for (uint64_t i = 0; i < n; ++i) {
            if (p[i] == 0) {
                if (++gap_ == ZeroRun && !bytes_.empty() && !Emit())
                    return false;
                continue;
            }
            if (bytes_.empty()) {
                zeros_ += gap_;
            } else {
                bytes_.insert(bytes_.end(), gap_, 0);
            }
            gap_ = 0;
            bytes_.push_back(p[i]);
        }
        return true;
    }

    bool Finish()
    {
        if (!bytes_.empty() && !Emit())
            return false;
        zeros_ += gap_;
        gap_ = 0;
        return zeros_ == 0 || Pair();
    }

private:
    // Shorter runs of zeros are left to LZMA, which keeps the patterns of moved code whole.
    static const uint64_t ZeroRun = 4096;

    // Emits the pending zeros and bytes; the gap of zeros after them begins the next run.
    bool Emit()
    {
        bool ok = Pair() && w_->Append(bytes_.data(), bytes_.size());
        bytes_.clear();
        zeros_ = 0;
        return ok;
    }

    bool Pair()
    {
        std::vector<uint8_t> pair;
        PutVarint(&pair, zeros_);
        PutVarint(&pair, bytes_.size());
        zeros_ = 0;
        return w_->Append(pair.data(), pair.size());
    }

    SectionWriter *w_;
    uint64_t zeros_ = 0;  // before bytes_
    uint64_t gap_ = 0;    // zeros seen after bytes_ (or after zeros_ when bytes_ is empty)
    std::vector<uint8_t> bytes_;
};

// Returns: true with the difference section: new minus base over every cover, as runs.
bool DifferenceSection(const uint8_t *old, const uint8_t *neu,
                       const std::vector<DeltaCover> &covers, SectionWriter *w,
                       std::vector<uint8_t> *out)
{
    std::vector<uint8_t> piece(1 << 16);
    ZeroRuns runs(w);
    for (const DeltaCover &c : covers) {
        for (uint64_t done = 0; done < c.length;) {
            uint64_t n = std::min<uint64_t>(piece.size(), c.length - done);
            for (uint64_t i = 0; i < n; ++i)
                piece[i] = (uint8_t)(neu[c.newPos + done + i] - old[c.oldPos + done + i]);
            if (!runs.Add(piece.data(), n))
                return false;
            done += n;
        }
    }
    return runs.Finish() && w->Finish(out);
}

// Returns: true with the literal section: the new bytes outside every cover.
bool LiteralSection(const uint8_t *neu, uint64_t newSize, const std::vector<DeltaCover> &covers,
                    SectionWriter *w, std::vector<uint8_t> *out)
{
    uint64_t at = 0;
    for (const DeltaCover &c : covers) {
        if (!w->Append(neu + at, c.newPos - at))
            return false;
        at = c.newPos + c.length;
    }
    return w->Append(neu + at, newSize - at) && w->Finish(out);
}

// Returns: true when the first MiB of the literal section does not compress even at level 1:
// already-compressed content, not worth compressing at level 9 only to store it after all.
bool LiteralsIncompressible(const uint8_t *neu, uint64_t newSize,
                            const std::vector<DeltaCover> &covers)
{
    SectionWriter sample(0, BlockEncoderOptions(), nullptr);
    std::vector<uint8_t> bytes;
    if (!LiteralSection(neu, newSize, covers, &sample, &bytes))
        return false;
    bytes.resize(std::min<size_t>(bytes.size(), 1u << 20));
    BlockEncoderOptions o;
    o.level = 1;
    o.blockSize = (uint32_t)std::max<size_t>(bytes.size(), 4096);
    std::vector<uint8_t> packed;
    return bytes.size() >= 4096 &&
           EncodeStoredBlock(bytes.data(), (uint32_t)bytes.size(), o, packed) &&
           packed.size() >= bytes.size();
}

}  // namespace

uint32_t Crc32Of(const uint8_t *p, uint64_t size)
{
    uint32_t crc = 0;
    for (uint64_t done = 0; done < size;) {
        uint32_t n = (uint32_t)std::min<uint64_t>(size - done, 1u << 30);
        crc = Crc32(crc, p + done, n);
        done += n;
    }
    return crc;
}

bool EncodeDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                 const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error)
{
    std::vector<DeltaCover> covers;
    if (!FindCovers(old, oldSize, neu, newSize, options, &covers, error))
        return false;
    uint64_t covered = 0;
    for (const DeltaCover &c : covers)
        covered += c.length;
    uint64_t literalBytes = newSize - covered;
    std::vector<uint8_t> control = ControlRecords(covers, newSize), differences;
    SectionWriter runs(0, BlockEncoderOptions(), nullptr);
    bool ok = DifferenceSection(old, neu, covers, &runs, &differences);
    uint32_t blocks[3];
    ChooseBlockSizes(control.size(), differences.size(), literalBytes, blocks);

    std::vector<uint8_t> sections[DeltaSections];
    Slots slots(options.threads);
    SectionWriter controlWriter(blocks[0], SectionOptions(options, 3, 0, 0), &slots);
    SectionWriter diffWriter(blocks[1], SectionOptions(options, 0, 0, 0), &slots);
    SectionWriter literalWriter(blocks[2], SectionOptions(options, 3, 0, 0), &slots);
    bool literalOk = false;
    bool storeLiterals = LiteralsIncompressible(neu, newSize, covers);
    std::thread helper([&]() {
        literalOk = !storeLiterals &&
                    LiteralSection(neu, newSize, covers, &literalWriter, &sections[DeltaLiteral]);
    });
    ok = ok && controlWriter.Append(control.data(), control.size()) &&
         controlWriter.Finish(&sections[DeltaControl]) &&
         diffWriter.Append(differences.data(), differences.size()) &&
         diffWriter.Finish(&sections[DeltaDifference]);
    helper.join();
    // Sections that do not compress are stored as they are.
    uint8_t stored = 0;
    if (ok && (storeLiterals || (literalOk && sections[DeltaLiteral].size() > literalBytes))) {
        SectionWriter raw(0, BlockEncoderOptions(), nullptr);
        literalOk = LiteralSection(neu, newSize, covers, &raw, &sections[DeltaLiteral]);
        stored |= DeltaStoredBit(DeltaLiteral);
    }
    if (sections[DeltaDifference].size() > differences.size()) {
        sections[DeltaDifference].swap(differences);
        stored |= DeltaStoredBit(DeltaDifference);
    }
    if (!ok || !literalOk || sections[DeltaControl].size() > UINT32_MAX ||
        sections[DeltaDifference].size() > UINT32_MAX) {
        *error = "the delta's sections cannot be compressed";
        return false;
    }
    DeltaHeader h = {};
    h.filter = DeltaFilterNone;
    h.stored = stored;
    h.baseSize = oldSize;
    h.baseCrc = Crc32Of(old, oldSize);
    h.resultSize = newSize;
    h.resultCrc = Crc32Of(neu, newSize);
    h.controlSize = (uint32_t)sections[DeltaControl].size();
    h.diffSize = (uint32_t)sections[DeltaDifference].size();
    out->assign(DeltaHeaderSize, 0);
    PutDeltaHeader(out->data(), h);
    for (const std::vector<uint8_t> &s : sections)
        out->insert(out->end(), s.begin(), s.end());
    return true;
}

bool NameDeltaBase(std::vector<uint8_t> *delta, const std::u16string &name)
{
    DeltaHeader h;
    if (name.empty() || name.size() > DeltaMaxBaseNameLength || delta->size() > UINT32_MAX ||
        !GetDeltaHeader(delta->data(), (uint32_t)delta->size(), &h) || h.baseName)
        return false;
    std::vector<uint8_t> named(DeltaHeaderBytes((uint32_t)name.size()));
    PutDeltaHeader(named.data(), h, name.data(), (uint32_t)name.size());
    named.insert(named.end(), delta->begin() + DeltaHeaderSize, delta->end());
    delta->swap(named);
    return true;
}
