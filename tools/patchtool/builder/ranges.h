#pragma once
// Finding the byte runs in which a file changed in place, and cutting them to fit a chunk.
#include <stdint.h>
#include <stddef.h>
#include <vector>

struct ByteRange {
    uint64_t offset;
    uint64_t length;
};

// Collects changed runs fed in increasing order, merging runs separated by at most headerSize
// equal bytes, and gives up once the cost (data bytes plus headerSize per run) passes budget or the
// runs pass maxRuns, since the caller then stores the whole file anyway.
class RangeCollector {
public:
    RangeCollector(uint64_t headerSize, uint64_t budget, size_t maxRuns);
    // Adds [start, end); start is at or after the end of the previous run.
    // Returns: false once the collector has given up.
    bool Add(uint64_t start, uint64_t end);
    bool GaveUp() const { return gaveUp_; }
    uint64_t Cost() const { return cost_; }
    std::vector<ByteRange> &Runs() { return runs_; }

private:
    std::vector<ByteRange> runs_;
    uint64_t headerSize_;
    uint64_t budget_;
    size_t maxRuns_;
    uint64_t cost_ = 0;
    bool gaveUp_ = false;
};

// Adds the runs in which newData differs from oldData over their first size bytes, at offset.
// Returns: false once the collector has given up.
bool CollectDifferences(const uint8_t *oldData, const uint8_t *newData, size_t size,
                        uint64_t offset, RangeCollector *collector);

// Cuts runs longer than maxLength into pieces of at most maxLength bytes, so that each fits a
// chunk.
void SplitLongRanges(std::vector<ByteRange> *ranges, uint64_t maxLength);
