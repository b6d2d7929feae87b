// Finding covers: where the new file can be made from the base plus small differences.
//
// The file is organised in three parts:
//   1. indexes of the base: a suffix array of the whole base (libdivsufsort), or for a very large
//      base a table of sampled positions; both answer "the longest match of these bytes";
//   2. the scan over the new file, after the published design of bsdiff: a new alignment is taken
//      only where its exact match beats the current alignment's by MinGain bytes, so code whose
//      addresses shifted stays in one cover and pays only for its differing bytes;
//   3. the edges of a cover: the old alignment extended forwards and the new one backwards while
//      more than half of the bytes agree, and their overlap split where the agreement is best;
//   4. covers worth their cost: covers of one alignment joined across short gaps, and covers
//      that cost more than their bytes as literals dropped.
#include "delta/encode/delta_encode.h"

#include <divsufsort.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "stream/encode/block_encoder.h"

namespace {

// A new alignment must beat the current one by this many matching bytes to be taken.
const int64_t MinGain = 8;
// Sampled index: bytes hashed at each sampled base position.
const uint64_t SampleWindow = 32;

struct Match {
    uint64_t pos = 0;
    uint64_t length = 0;
};

uint64_t CommonPrefix(const uint8_t *a, const uint8_t *b, uint64_t limit)
{
    uint64_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + i, 8);
        memcpy(&y, b + i, 8);
        if (x != y)
            return i + (uint64_t)__builtin_ctzll(x ^ y) / 8;
        i += 8;
    }
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// ---- 1. Indexes of the base ----

class BaseIndex {
public:
    virtual ~BaseIndex() = default;
    // Returns: the longest match of the avail bytes at p found in the base (length 0 for none).
    virtual Match Longest(const uint8_t *p, uint64_t avail) const = 0;
};

class SuffixIndex : public BaseIndex {
public:
    SuffixIndex(const uint8_t *old, uint64_t size) : old_(old), size_(size) {}

    bool Build()
    {
        if (size_ < 2)
            return true;
        keyBytes_ = size_ >= (1u << 20) ? 3 : 2;
        suffixes_.reset(new (std::nothrow) saidx_t[size_]);
        buckets_.reset(new (std::nothrow) uint32_t[(1u << (8 * keyBytes_)) + 1]);
        if (!suffixes_ || !buckets_ || divsufsort(old_, suffixes_.get(), (saidx_t)size_) != 0)
            return false;
        FillBuckets();
        return true;
    }

    // Binary search for p among the suffixes that start with its first keyBytes_ bytes; all
    // suffixes between lo and hi share at least the smaller of their common prefixes with p, so
    // each comparison starts past it. Shorter matches are not looked for.
    Match Longest(const uint8_t *p, uint64_t avail) const override
    {
        if (size_ < 2 || avail < keyBytes_)
            return Match();
        uint32_t key = Key(p, keyBytes_);
        if (buckets_[key + 1] == buckets_[key])
            return Match();
        uint64_t lo = buckets_[key], hi = buckets_[key + 1] - 1;
        uint64_t lcpLo = Lcp(lo, p, avail, keyBytes_), lcpHi = Lcp(hi, p, avail, keyBytes_);
        while (hi - lo > 1) {
            uint64_t mid = lo + (hi - lo) / 2;
            uint64_t known = std::min(lcpLo, lcpHi);
            uint64_t at = (uint64_t)suffixes_[mid];
            uint64_t m = Lcp(mid, p, avail, known);
            if (m == avail)
                return Match{at, m};
            if (at + m == size_ || old_[at + m] < p[m]) {
                lo = mid;
                lcpLo = m;
            } else {
                hi = mid;
                lcpHi = m;
            }
        }
        if (lcpLo >= lcpHi)
            return Match{(uint64_t)suffixes_[lo], lcpLo};
        return Match{(uint64_t)suffixes_[hi], lcpHi};
    }

private:
    // The first n bytes at p, high byte first, padded with zeros past `have` bytes.
    static uint32_t Key(const uint8_t *p, unsigned n, unsigned have = 3)
    {
        uint32_t key = 0;
        for (unsigned i = 0; i < n; ++i)
            key = key << 8 | (i < have ? p[i] : 0);
        return key;
    }

    // buckets_[k] is the rank of the first suffix that starts with the keyBytes_ bytes k; a
    // suffix shorter than that ranks just before the bucket of its bytes padded with zeros.
    void FillBuckets()
    {
        uint32_t count = 1u << (8 * keyBytes_);
        std::fill(buckets_.get(), buckets_.get() + count + 1, 0);
        for (uint64_t i = 0; i + keyBytes_ <= size_; ++i)
            ++buckets_[Key(old_ + i, keyBytes_) + 1];
        for (uint32_t k = 1; k <= count; ++k)
            buckets_[k] += buckets_[k - 1];
        for (unsigned have = 1; have < keyBytes_; ++have) {
            for (uint32_t k = Key(old_ + size_ - have, keyBytes_, have); k <= count; ++k)
                ++buckets_[k];
        }
    }

    uint64_t Lcp(uint64_t rank, const uint8_t *p, uint64_t avail, uint64_t known) const
    {
        uint64_t at = (uint64_t)suffixes_[rank];
        uint64_t limit = std::min(avail, size_ - at);
        if (known >= limit)
            return limit;
        return known + CommonPrefix(old_ + at + known, p + known, limit - known);
    }

    const uint8_t *old_;
    uint64_t size_;
    std::unique_ptr<saidx_t[]> suffixes_;
    std::unique_ptr<uint32_t[]> buckets_;
    unsigned keyBytes_ = 2;
};

uint64_t WindowHash(const uint8_t *p)
{
    uint64_t h = 0;
    for (uint64_t i = 0; i < SampleWindow; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    }
    return h ^ (h >> 29);
}

// One base position every `step` bytes, found by the hash of the SampleWindow bytes there. A
// match is found only where the new bytes line up with a sampled position; the scan moves one
// byte at a time outside matches, so every match longer than step + SampleWindow is met.
class SampledIndex : public BaseIndex {
public:
    SampledIndex(const uint8_t *old, uint64_t size) : old_(old), size_(size)
    {
        step_ = std::max<uint64_t>(16, size / (64u << 20));
    }

    bool Build()
    {
        uint64_t samples = size_ >= SampleWindow ? (size_ - SampleWindow) / step_ + 1 : 0;
        bits_ = 1;
        while ((1ull << bits_) < samples * 2)
            ++bits_;
        slots_.reset(new (std::nothrow) uint32_t[1ull << bits_]);
        if (!slots_ || samples > UINT32_MAX - 1)
            return false;
        std::fill(slots_.get(), slots_.get() + (1ull << bits_), UINT32_MAX);
        for (uint64_t s = 0; s < samples; ++s)
            slots_[WindowHash(old_ + s * step_) >> (64 - bits_)] = (uint32_t)s;
        return true;
    }

    Match Longest(const uint8_t *p, uint64_t avail) const override
    {
        if (avail < SampleWindow || size_ < SampleWindow)
            return Match();
        uint32_t s = slots_[WindowHash(p) >> (64 - bits_)];
        if (s == UINT32_MAX)
            return Match();
        uint64_t at = (uint64_t)s * step_;
        uint64_t length = CommonPrefix(old_ + at, p, std::min(avail, size_ - at));
        return length >= SampleWindow ? Match{at, length} : Match();
    }

private:
    const uint8_t *old_;
    uint64_t size_;
    uint64_t step_;
    unsigned bits_ = 1;
    std::unique_ptr<uint32_t[]> slots_;
};

// ---- 2. and 3. The scan and the edges of covers ----

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

    // Moves *scan past the current match to where a match beats the current alignment by
    // MinGain bytes, or is exactly as long as the bytes the alignment gets right (nothing new to
    // learn there), or to the end. *length is that match's length.
    Match NextAlignment(int64_t *scan, int64_t *length)
    {
        matching_ = 0;
        int64_t counted = *scan += *length;
        Match m;
        for (; *scan < newSize_; ++*scan) {
            m = index_.Longest(new_ + *scan, (uint64_t)(newSize_ - *scan));
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

// ---- 4. Covers worth their cost ----

// What one record and a differing byte cost once compressed, in bits: rough averages over
// recompiled code and game archives, enough to tell a cover that pays from one that does not.
const double RecordBits = 80;
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

// Joins covers of one alignment across short gaps, where the gap's bytes cost less as differences
// than a record and literals; then drops every cover that costs more than its bytes as literals.
void KeepCoversWorthTheirCost(const uint8_t *old, uint64_t oldSize, const uint8_t *neu,
                              uint64_t newSize, std::vector<DeltaCover> *covers)
{
    double literal =
        std::min(8.0, std::max(1.5, LiteralShare * LiteralBits(neu, newSize, *covers)));
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
    covers->clear();
    for (const DeltaCover &c : split) {
        uint64_t differ = c.length - Agreeing(old, neu, c.oldPos, c.newPos, c.length);
        if (RecordBits + differ * DifferenceBits < c.length * literal)
            covers->push_back(c);
    }
}

}  // namespace

bool FindCovers(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                const DeltaOptions &options, std::vector<DeltaCover> *covers, std::string *error)
{
    covers->clear();
    std::unique_ptr<BaseIndex> index;
    bool built;
    if (oldSize <= options.fullIndexLimit && oldSize < (1ull << 31)) {
        auto full = std::make_unique<SuffixIndex>(old, oldSize);
        built = full->Build();
        index = std::move(full);
    } else {
        auto sampled = std::make_unique<SampledIndex>(old, oldSize);
        built = sampled->Build();
        index = std::move(sampled);
    }
    if (!built) {
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
