#include "tools/patchtool/builder/ranges.h"

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

}  // namespace

RangeCollector::RangeCollector(uint64_t headerSize, uint64_t budget, size_t maxRuns)
    : headerSize_(headerSize), budget_(budget), maxRuns_(maxRuns)
{}

bool RangeCollector::Add(uint64_t start, uint64_t end)
{
    if (gaveUp_) {
        return false;
    }
    // Merging a gap of g equal bytes costs g; keeping two runs costs one more header.
    if (!runs_.empty() && start - (runs_.back().offset + runs_.back().length) <= headerSize_) {
        ByteRange &last = runs_.back();
        cost_ += end - (last.offset + last.length);
        last.length = end - last.offset;
    } else {
        runs_.push_back(ByteRange{start, end - start});
        cost_ += headerSize_ + (end - start);
    }
    gaveUp_ = cost_ > budget_ || runs_.size() > maxRuns_;
    if (gaveUp_) {
        runs_.clear();
        runs_.shrink_to_fit();
    }
    return !gaveUp_;
}

bool CollectDifferences(const uint8_t *oldData, const uint8_t *newData, size_t size,
                        uint64_t offset, RangeCollector *collector)
{
    for (size_t i = NextDifference(oldData, newData, 0, size); i < size;
         i = NextDifference(oldData, newData, i, size)) {
        size_t end = NextAgreement(oldData, newData, i, size);
        if (!collector->Add(offset + i, offset + end)) {
            return false;
        }
        i = end;
    }
    return !collector->GaveUp();
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
