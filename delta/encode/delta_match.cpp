// Finding covers: where the new file can be made from the base plus small differences.
//
// The indexes of the base are in delta/encode/delta_index.h. This file holds three parts:
//   1. the scan over the new file, after the published design of bsdiff: a new alignment is taken
//      only where its exact match beats the current alignment's by MinGain bytes, so code whose
//      addresses shifted stays in one cover and pays only for its differing bytes;
//   2. the edges of a cover: the old alignment extended forwards and the new one backwards while
//      more than half of the bytes agree, and their overlap split where the agreement is best;
//   3. covers worth their cost: covers of one alignment joined across short gaps, and covers
//      that cost more than their bytes as literals dropped; a record costs what the records of
//      this pair cost compressed, so that many small edits (a line ending changed on every line)
//      keep their short covers.
#include "delta/encode/delta_encode.h"
#include "delta/encode/delta_index.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "delta/common/delta_format.h"
#include "stream/encode/block_encoder.h"

namespace {

// A new alignment must beat the current one by this many matching bytes to be taken.
const int64_t MinGain = 8;

// ---- 1. and 2. The scan and the edges of covers ----

class Scanner {
public:
    // Scans new bytes begin..end; covers start with the alignment of offset 0.
    Scanner(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t begin, uint64_t end,
            const BaseIndex &index, std::vector<DeltaCover> *covers)
        : old_(old), oldSize_((int64_t)oldSize), new_(neu), newSize_((int64_t)end), index_(index),
          covers_(covers), lastNew_((int64_t)begin), lastOld_((int64_t)std::min(begin, oldSize))
    {}

    void Run()
    {
        int64_t scan = lastNew_, length = 0;
        while (scan < newSize_) {
            Match m = NextAlignment(&scan, &length);
            if ((int64_t)m.length == Matching() && scan < newSize_)
                continue;
            CloseCover(scan, (int64_t)m.pos);
        }
    }

private:
    bool Agrees(int64_t newPos, int64_t offset) const
    {
        int64_t oldPos = newPos + offset;
        return oldPos >= 0 && oldPos < oldSize_ && old_[oldPos] == new_[newPos];
    }

    int64_t Matching() const { return matching_; }

    // Returns: the base position of new position scan in the current alignment, within the base.
    uint64_t Expected(int64_t scan) const
    {
        return (uint64_t)std::max<int64_t>(0, std::min(scan + offset_, oldSize_));
    }

    // Moves *scan past the current match to where a match beats the current alignment by
    // MinGain bytes, or is exactly as long as the bytes the alignment gets right (nothing new to
    // learn there), or to the end. *length is that match's length.
    Match NextAlignment(int64_t *scan, int64_t *length)
    {
        matching_ = 0;
        int64_t counted = *scan += *length;
        Match m;
        for (; *scan < newSize_; ++*scan) {
            m = index_.Longest(new_ + *scan, (uint64_t)(newSize_ - *scan), Expected(*scan));
            *length = (int64_t)m.length;
            for (; counted < *scan + *length; ++counted)
                matching_ += Agrees(counted, offset_);
            if ((*length == matching_ && *length != 0) || *length > matching_ + MinGain)
                return m;
            if ((int64_t)m.pos == *scan + offset_ && *length > 2 * MinGain) {
                // The longest match is the current alignment itself: its bytes agree, and a
                // search inside it would find the same alignment again.
                int64_t skip = *length - MinGain - 1;
                matching_ -= skip;
                *scan += skip;
            }
            matching_ -= Agrees(*scan, offset_);
        }
        *length = 0;
        matching_ = -1;
        return m;
    }

    // The previous alignment's cover runs forward from lastNew_ while more than half of its bytes
    // agree; the new match at scan (base position pos) is extended backwards likewise.
    void CloseCover(int64_t scan, int64_t pos)
    {
        int64_t forward = ExtendForward(scan);
        int64_t backward = scan < newSize_ ? ExtendBackward(scan, pos) : 0;
        int64_t overlap = lastNew_ + forward - (scan - backward);
        if (overlap > 0) {
            int64_t keep = SplitOverlap(scan, pos, forward, backward, overlap);
            forward += keep - overlap;
            backward -= keep;
        }
        if (forward > 0)
            covers_->push_back(
                DeltaCover{(uint64_t)lastNew_, (uint64_t)lastOld_, (uint64_t)forward});
        lastNew_ = scan - backward;
        lastOld_ = pos - backward;
        offset_ = pos - scan;
    }

    int64_t ExtendForward(int64_t scan) const
    {
        int64_t agree = 0, best = 0, length = 0;
        for (int64_t i = 0; lastNew_ + i < scan && lastOld_ + i < oldSize_;) {
            agree += old_[lastOld_ + i] == new_[lastNew_ + i];
            ++i;
            if (agree * 2 - i > best * 2 - length) {
                best = agree;
                length = i;
            }
        }
        return length;
    }

    int64_t ExtendBackward(int64_t scan, int64_t pos) const
    {
        int64_t agree = 0, best = 0, length = 0;
        for (int64_t i = 1; scan >= lastNew_ + i && pos >= i; ++i) {
            agree += old_[pos - i] == new_[scan - i];
            if (agree * 2 - i > best * 2 - length) {
                best = agree;
                length = i;
            }
        }
        return length;
    }

    // Returns: how many bytes of the overlap stay with the earlier cover.
    int64_t SplitOverlap(int64_t scan, int64_t pos, int64_t forward, int64_t backward,
                         int64_t overlap) const
    {
        int64_t score = 0, best = 0, keep = 0;
        for (int64_t i = 0; i < overlap; ++i) {
            int64_t n = lastNew_ + forward - overlap + i;
            score += new_[n] == old_[lastOld_ + forward - overlap + i];
            score -= new_[scan - backward + i] == old_[pos - backward + i];
            if (score > best) {
                best = score;
                keep = i + 1;
            }
        }
        return keep;
    }

    const uint8_t *old_;
    int64_t oldSize_;
    const uint8_t *new_;
    int64_t newSize_;  // the end of the part scanned
    const BaseIndex &index_;
    std::vector<DeltaCover> *covers_;
    int64_t lastNew_;  // where the current alignment's cover may start
    int64_t lastOld_;
    int64_t offset_ = 0;  // base position minus new position of the current alignment
    int64_t matching_ = 0;
};

// ---- 3. Covers worth their cost ----

// What one record and a differing byte cost once compressed, in bits: rough averages over
// recompiled code and game archives, enough to tell a cover that pays from one that does not.
const double RecordBits = 80;
// A record whose cover starts near the previous cover's end in the base (its distance a varint of
// one byte) costs about what this pair's records cost compressed, between these bounds; a record
// elsewhere in the base costs RecordBits.
const double NearRecordBits = 8;
const int64_t NearSkip = 64;
const uint64_t RecordSample = 256u << 10;
const double DifferenceBits = 7;
// A run of consecutive differing bytes is new content, as random as any, and costs more.
const double RunDifferenceBits = 12;
// A literal byte costs about this share of what the bytes between the covers cost compressed:
// the bytes a cover would give up are those that resemble the base, so compress a little better.
const double LiteralShare = 0.8;
const uint64_t LiteralSample = 2u << 20;

// Returns: the bits a byte between the covers costs compressed, from up to LiteralSample of them.
double LiteralBits(const uint8_t *neu, uint64_t newSize, const std::vector<DeltaCover> &covers)
{
    std::vector<uint8_t> sample;
    uint64_t at = 0;
    for (size_t i = 0; i <= covers.size() && sample.size() < LiteralSample; ++i) {
        uint64_t end = i < covers.size() ? covers[i].newPos : newSize;
        uint64_t n = std::min<uint64_t>(end - at, LiteralSample - sample.size());
        sample.insert(sample.end(), neu + at, neu + at + n);
        if (i < covers.size())
            at = covers[i].newPos + covers[i].length;
    }
    BlockEncoderOptions o;
    o.blockSize = (uint32_t)std::max<size_t>(sample.size(), 4096);
    std::vector<uint8_t> packed;
    if (sample.size() < 64 || !EncodeStoredBlock(sample.data(), (uint32_t)sample.size(), o, packed))
        return 8;
    return 8.0 * packed.size() / sample.size();
}

void PutVarint(std::vector<uint8_t> *out, uint64_t v)
{
    uint8_t bytes[DeltaMaxVarintBytes];
    out->insert(out->end(), bytes, bytes + PutDeltaVarint(bytes, v));
}

// Returns: the bits a record costs compressed, from the records of the first covers (up to
// RecordSample bytes of them), between NearRecordBits and RecordBits.
double RecordBitsOf(const std::vector<DeltaCover> &covers)
{
    std::vector<uint8_t> records;
    uint64_t newEnd = 0, oldEnd = 0;
    size_t n = 0;
    for (; n < covers.size() && records.size() < RecordSample; ++n) {
        const DeltaCover &c = covers[n];
        PutVarint(&records, c.newPos - newEnd);
        PutVarint(&records, c.length);
        PutVarint(&records, ZigzagEncode((int64_t)(c.oldPos - oldEnd)));
        newEnd = c.newPos + c.length;
        oldEnd = c.oldPos + c.length;
    }
    BlockEncoderOptions o;
    o.blockSize = (uint32_t)std::max<size_t>(records.size(), 4096);
    std::vector<uint8_t> packed;
    if (n < 64 || !EncodeStoredBlock(records.data(), (uint32_t)records.size(), o, packed))
        return RecordBits;
    return std::min(RecordBits, std::max(NearRecordBits, 8.0 * packed.size() / n));
}

uint64_t Agreeing(const uint8_t *old, const uint8_t *neu, uint64_t oldPos, uint64_t newPos,
                  uint64_t length)
{
    uint64_t n = 0;
    for (uint64_t i = 0; i < length; ++i)
        n += old[oldPos + i] == neu[newPos + i];
    return n;
}

// Appends c to out, cut where a run of consecutive differing bytes costs more as differences
// than as literals and one more record: such a run is new content, as random as any.
void SplitAtRuns(const uint8_t *old, const uint8_t *neu, const DeltaCover &c, double literal,
                 std::vector<DeltaCover> *out)
{
    if (RunDifferenceBits <= literal) {
        out->push_back(c);
        return;
    }
    uint64_t shortest = (uint64_t)(RecordBits / (RunDifferenceBits - literal)) + 1;
    uint64_t start = 0;
    for (uint64_t i = 0; i < c.length;) {
        if (old[c.oldPos + i] == neu[c.newPos + i]) {
            ++i;
            continue;
        }
        uint64_t run = i;
        while (run < c.length && old[c.oldPos + run] != neu[c.newPos + run])
            ++run;
        if (run - i >= shortest) {
            if (i > start)
                out->push_back(DeltaCover{c.newPos + start, c.oldPos + start, i - start});
            start = run;
        }
        i = run;
    }
    if (start < c.length)
        out->push_back(DeltaCover{c.newPos + start, c.oldPos + start, c.length - start});
}

// Returns: the covers of split that cost less than their bytes as literals.
std::vector<DeltaCover> CoversThatPay(const uint8_t *old, const uint8_t *neu,
                                      const std::vector<DeltaCover> &split, double literal,
                                      double nearRecord)
{
    std::vector<DeltaCover> kept;
    uint64_t oldEnd = 0;
    for (const DeltaCover &c : split) {
        uint64_t differ = c.length - Agreeing(old, neu, c.oldPos, c.newPos, c.length);
        int64_t skip = (int64_t)(c.oldPos - oldEnd);
        double record = skip > -NearSkip && skip < NearSkip ? nearRecord : RecordBits;
        if (record + differ * DifferenceBits < c.length * literal) {
            kept.push_back(c);
            oldEnd = c.oldPos + c.length;
        }
    }
    return kept;
}

// Joins covers of one alignment across short gaps, where the gap's bytes cost less as differences
// than a record and literals; then drops every cover that costs more than its bytes as literals.
void KeepCoversWorthTheirCost(const uint8_t *old, uint64_t oldSize, const uint8_t *neu,
                              uint64_t newSize, std::vector<DeltaCover> *covers)
{
    double literal =
        std::min(8.0, std::max(1.5, LiteralShare * LiteralBits(neu, newSize, *covers)));
    double nearRecord = RecordBitsOf(*covers);
    std::vector<DeltaCover> kept;
    for (const DeltaCover &c : *covers) {
        if (!kept.empty()) {
            DeltaCover &p = kept.back();
            uint64_t gap = c.newPos - (p.newPos + p.length);
            if (c.oldPos - c.newPos == p.oldPos - p.newPos &&
                p.oldPos + p.length + gap <= oldSize) {
                uint64_t agree = Agreeing(old, neu, p.oldPos + p.length, p.newPos + p.length, gap);
                if ((gap - agree) * DifferenceBits < RecordBits + gap * literal) {
                    p.length += gap + c.length;
                    continue;
                }
            }
        }
        kept.push_back(c);
    }
    std::vector<DeltaCover> split;
    for (const DeltaCover &c : kept)
        SplitAtRuns(old, neu, c, literal, &split);
    *covers = CoversThatPay(old, neu, split, literal, nearRecord);
}

}  // namespace

bool DeltaInputsFit(uint64_t oldSize, uint64_t newSize, const DeltaOptions &options,
                    std::string *error)
{
    if (oldSize <= options.inputLimit && newSize <= options.inputLimit - oldSize)
        return true;
    *error =
        "the base and the new file hold " + std::to_string((oldSize + newSize) >> 20) +
        " MiB together, more than the " + std::to_string(options.inputLimit >> 20) +
        " MiB this build encodes" +
        (DeltaIn32BitProcess ? " (a 32-bit program; the 64-bit patchtool takes any size)" : "");
    return false;
}

bool FindCovers(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                const DeltaOptions &options, std::vector<DeltaCover> *covers, std::string *error)
{
    covers->clear();
    if (!DeltaInputsFit(oldSize, newSize, options, error))
        return false;
    std::unique_ptr<BaseIndex> index = IndexBase(old, oldSize, options);
    if (!index) {
        *error = "no memory to index the base";
        return false;
    }
    // The new file is scanned in as many parts as there are threads, side by side; a cover
    // never crosses a part's end.
    unsigned parts =
        (unsigned)std::max<uint64_t>(1, std::min<uint64_t>(options.threads, newSize / (1u << 20)));
    std::vector<std::vector<DeltaCover>> found(parts);
    std::vector<std::thread> scanners;
    for (unsigned i = 0; i < parts; ++i) {
        uint64_t begin = newSize / parts * i,
                 end = i + 1 == parts ? newSize : newSize / parts * (i + 1);
        scanners.emplace_back([&, i, begin, end]() {
            Scanner(old, oldSize, neu, begin, end, *index, &found[i]).Run();
        });
    }
    for (std::thread &t : scanners)
        t.join();
    for (const std::vector<DeltaCover> &part : found)
        covers->insert(covers->end(), part.begin(), part.end());
    KeepCoversWorthTheirCost(old, oldSize, neu, newSize, covers);
    return true;
}
