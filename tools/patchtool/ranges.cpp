#include "tools/patchtool/ranges.h"

#include <string.h>

namespace {

// Returns: the first index at or after from where the two differ, or size when none does.
size_t NextDifference(const uint8_t *a, const uint8_t *b, size_t from, size_t size)
{
    const size_t stride = 256;
    size_t i = from;
    while (i + stride <= size && memcmp(a + i, b + i, stride) == 0) {
        i += stride;
    }
    while (i < size && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// Returns: the first index at or after from where the two agree again, or size.
size_t NextAgreement(const uint8_t *a, const uint8_t *b, size_t from, size_t size)
{
    size_t i = from;
    while (i < size && a[i] != b[i]) {
        ++i;
    }
    return i;
}

struct RangeCollector {
    std::vector<ByteRange> *ranges;
    uint64_t mergeGap;
    uint64_t headerSize;
    uint64_t budget;
    uint64_t cost;
};

// Adds the run [start, end), merging it into the previous run when the gap is small.
// Returns: false when the cost passed the budget.
bool AddRun(RangeCollector *c, uint64_t start, uint64_t end)
{
    if (!c->ranges->empty()) {
        ByteRange &last = c->ranges->back();
        uint64_t gap = start - (last.offset + last.length);
        if (gap <= c->mergeGap) {
            c->cost += gap + (end - start);
            last.length = end - last.offset;
            return c->cost <= c->budget;
        }
    }
    c->ranges->push_back(ByteRange{start, end - start});
    c->cost += c->headerSize + (end - start);
    return c->cost <= c->budget;
}

}  // namespace

bool FindChangedRanges(const uint8_t *oldData, size_t oldSize, const uint8_t *newData, size_t newSize,
                       uint64_t headerSize, uint64_t budget, std::vector<ByteRange> *ranges)
{
    ranges->clear();
    if (newSize < oldSize) {
        return false;
    }
    // Merging a gap of g equal bytes costs g; keeping two runs costs one more header.
    RangeCollector c = {ranges, headerSize, headerSize, budget, 0};
    size_t i = 0;
    for (;;) {
        i = NextDifference(oldData, newData, i, oldSize);
        if (i >= oldSize) {
            break;
        }
        size_t end = NextAgreement(oldData, newData, i, oldSize);
        if (!AddRun(&c, i, end)) {
            ranges->clear();
            return false;
        }
        i = end;
    }
    if (newSize > oldSize && !AddRun(&c, oldSize, newSize)) {
        ranges->clear();
        return false;
    }
    return true;
}

uint64_t RangeEntriesCost(const std::vector<ByteRange> &ranges, uint64_t headerSize)
{
    uint64_t cost = 0;
    for (const ByteRange &r : ranges) {
        cost += headerSize + r.length;
    }
    return cost;
}

void SplitLongRanges(std::vector<ByteRange> *ranges, uint64_t maxLength)
{
    std::vector<ByteRange> pieces;
    for (const ByteRange &r : *ranges) {
        uint64_t done = 0;
        do {
            uint64_t piece = r.length - done < maxLength ? r.length - done : maxLength;
            pieces.push_back(ByteRange{r.offset + done, piece});
            done += piece;
        } while (done < r.length);
    }
    ranges->swap(pieces);
}
