#include "delta/encode/delta_index.h"

#include <divsufsort.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace {

// Sampled index: bytes hashed at each sampled base position.
const uint64_t SampleWindow = 32;

class SuffixIndex : public BaseIndex {
public:
    SuffixIndex(const uint8_t *old, uint64_t size) : old_(old), size_(size) {}

    bool Build()
    {
        if (size_ < 2)
            return true;
        keyBytes_ = size_ >= (1u << 20) ? 3 : 2;
        if (size_ > INT32_MAX || size_ > SIZE_MAX / sizeof(saidx_t))
            return false;  // saidx_t is 32 bits; the array must fit the address space
        suffixes_.reset(new (std::nothrow) saidx_t[size_]);
        buckets_.reset(new (std::nothrow) uint32_t[(1u << (8 * keyBytes_)) + 1]);
        if (!suffixes_ || !buckets_ || divsufsort(old_, suffixes_.get(), (saidx_t)size_) != 0)
            return false;
        FillBuckets();
        return true;
    }

    Match Longest(const uint8_t *p, uint64_t avail, uint64_t near) const override
    {
        Match ranked = Search(p, avail);
        if (ranked.length == 0)
            return ranked;
        return Match{Nearest(ranked.pos, ranked.length, near), ranked.length};
    }

private:
    // Longer matches pay for their record wherever they are; shorter ones are not worth comparing.
    static const uint64_t NearestLongest = 4096;
    static const uint64_t NearestRanks = 16;

    // Binary search for p among the suffixes that start with its first keyBytes_ bytes; all
    // suffixes between lo and hi share at least the smaller of their common prefixes with p, so
    // each comparison starts past it. Shorter matches are not looked for.
    // Returns: the longest match, its pos the suffix's rank (not its base position).
    Match Search(const uint8_t *p, uint64_t avail) const
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
                return Match{mid, m};
            if (at + m == size_ || old_[at + m] < p[m]) {
                lo = mid;
                lcpLo = m;
            } else {
                hi = mid;
                lcpHi = m;
            }
        }
        if (lcpLo >= lcpHi)
            return Match{lo, lcpLo};
        return Match{hi, lcpHi};
    }

    // Equally long matches are neighbours in suffix order. The one next to where the scan expects
    // it keeps the cover's record short and alike to the others (a line ending changed on every
    // line of a text that repeats, such as a licence), so a few neighbours are compared.
    // Returns: the base position, of those of rank's neighbours that match as long, nearest near.
    uint64_t Nearest(uint64_t rank, uint64_t length, uint64_t near) const
    {
        uint64_t found = (uint64_t)suffixes_[rank], best = found;
        if (length > NearestLongest)
            return best;
        for (uint64_t i = 1; i <= NearestRanks && i <= rank && Shares(rank - i, found, length); ++i)
            best = Nearer((uint64_t)suffixes_[rank - i], best, near);
        for (uint64_t i = 1;
             i <= NearestRanks && rank + i < size_ && Shares(rank + i, found, length); ++i)
            best = Nearer((uint64_t)suffixes_[rank + i], best, near);
        return best;
    }

    // Returns: true when the suffix of this rank starts with the length bytes at base position at.
    bool Shares(uint64_t rank, uint64_t at, uint64_t length) const
    {
        uint64_t other = (uint64_t)suffixes_[rank];
        return size_ - other >= length && CommonPrefix(old_ + other, old_ + at, length) == length;
    }

    static uint64_t Nearer(uint64_t a, uint64_t b, uint64_t near)
    {
        return (a > near ? a - near : near - a) < (b > near ? b - near : near - b) ? a : b;
    }

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
        if (samples > UINT32_MAX - 1 || (1ull << bits_) > SIZE_MAX / sizeof(uint32_t))
            return false;
        slots_.reset(new (std::nothrow) uint32_t[(size_t)(1ull << bits_)]);
        if (!slots_)
            return false;
        std::fill(slots_.get(), slots_.get() + (1ull << bits_), UINT32_MAX);
        for (uint64_t s = 0; s < samples; ++s)
            slots_[WindowHash(old_ + s * step_) >> (64 - bits_)] = (uint32_t)s;
        return true;
    }

    Match Longest(const uint8_t *p, uint64_t avail, uint64_t) const override
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

}  // namespace

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

std::unique_ptr<BaseIndex> IndexBase(const uint8_t *old, uint64_t oldSize,
                                     const DeltaOptions &options)
{
    if (oldSize <= options.fullIndexLimit && oldSize < (1ull << 31)) {
        auto full = std::make_unique<SuffixIndex>(old, oldSize);
        if (!full->Build())
            return nullptr;
        return full;
    }
    auto sampled = std::make_unique<SampledIndex>(old, oldSize);
    if (!sampled->Build())
        return nullptr;
    return sampled;
}
