#pragma once
// The delta format: how one file's new content is made from its installed content.
//
// A delta is a header followed by three sections, each a block-compressed stream
// (stream/block_stream.h), back to back. All integers are little-endian.
//
//   offset  size  field
//   0       4     magic "QDLT"
//   4       1     format (DeltaFormat)
//   5       1     filter (DeltaFilterNone; no other is defined)
//   6       1     stored: bit i set when section i holds its bytes as they are, not compressed
//                 (bits 0-2: control, difference, literal); the other bits are zero
//   7       1     zero
//   8       8     baseSize     the installed file the delta applies to
//   16      4     baseCrc      its CRC-32 (payload/crc32.h)
//   20      8     resultSize   the file the delta makes
//   28      4     resultCrc    its CRC-32
//   32      4     controlSize  stored bytes of the control section
//   36      4     diffSize     stored bytes of the difference section
//   40            control section, difference section, literal section (the rest)
//
// The control section decodes to records, one after another until the result is complete:
//   literalLength  varint   bytes taken as they are from the literal section
//   coverLength    varint   bytes made from the base and the difference section
//   oldSkip        zigzag varint, only when coverLength is not 0: the cover starts at this distance
//                  from the end of the previous cover in the base (from 0 for the first cover)
// A cover's byte i is base[start + i] + difference[i] (mod 256): near-matches, such as code whose
// addresses moved, cost a run of mostly zero differences instead of literals. The differences of
// all covers, one after another, are held in the difference section as runs:
//   zeros          varint   differences that are 0
//   count          varint   then this many differences as they are
// (a run of neither is malformed). Varints are LEB128:
// 7 bits a byte, low first, high bit set on every byte but the last, at most 10 bytes.
//
// A section that compresses to more than its own size (new bytes that are already compressed) is
// stored. Each compressed section's blocks are at most DeltaMaxBlockSize and the three block sizes
// add up to at most DeltaBlockBudget, so an applier holds at most that much of decoded blocks
// whatever the file size.
#include <stdint.h>
#include "stream/little_endian.h"

static const uint8_t DeltaMagic[4] = {'Q', 'D', 'L', 'T'};

enum : uint32_t {
    DeltaHeaderSize = 40,
    DeltaFormat = 1,
    DeltaFilterNone = 0,
    DeltaMaxBlockSize = 8u << 20,
    DeltaBlockBudget = 12u << 20,
    DeltaMaxVarintBytes = 10,
    DeltaSections = 3,
    DeltaStoredMask = (1u << DeltaSections) - 1,
};

struct DeltaHeader {
    uint8_t filter;
    uint8_t stored;
    uint64_t baseSize;
    uint32_t baseCrc;
    uint64_t resultSize;
    uint32_t resultCrc;
    uint32_t controlSize;
    uint32_t diffSize;
};

// p has room for DeltaHeaderSize bytes; writes format DeltaFormat.
inline void PutDeltaHeader(uint8_t *p, const DeltaHeader &h)
{
    for (uint32_t i = 0; i < 4; ++i)
        p[i] = DeltaMagic[i];
    p[4] = DeltaFormat;
    p[5] = h.filter;
    p[6] = h.stored;
    p[7] = 0;
    PutU64(p + 8, h.baseSize);
    PutU32(p + 16, h.baseCrc);
    PutU64(p + 20, h.resultSize);
    PutU32(p + 28, h.resultCrc);
    PutU32(p + 32, h.controlSize);
    PutU32(p + 36, h.diffSize);
}

// Returns: true with *h filled when size bytes at p start with a header of this format whose
// filter is known and whose two first sections lie inside the size bytes.
inline bool GetDeltaHeader(const uint8_t *p, uint32_t size, DeltaHeader *h)
{
    if (size < DeltaHeaderSize || p[0] != DeltaMagic[0] || p[1] != DeltaMagic[1] ||
        p[2] != DeltaMagic[2] || p[3] != DeltaMagic[3] || p[4] != DeltaFormat ||
        p[5] != DeltaFilterNone || (p[6] & ~DeltaStoredMask) != 0 || p[7] != 0)
        return false;
    h->filter = p[5];
    h->stored = p[6];
    h->baseSize = GetU64(p + 8);
    h->baseCrc = GetU32(p + 16);
    h->resultSize = GetU64(p + 20);
    h->resultCrc = GetU32(p + 28);
    h->controlSize = GetU32(p + 32);
    h->diffSize = GetU32(p + 36);
    uint32_t rest = size - DeltaHeaderSize;
    return h->controlSize <= rest && h->diffSize <= rest - h->controlSize;
}

// Zigzag: signed values as unsigned ones with the sign in bit 0, so small distances either way
// stay short.
inline uint64_t ZigzagEncode(int64_t v)
{
    return ((uint64_t)v << 1) ^ (uint64_t)(v >> 63);
}

inline int64_t ZigzagDecode(uint64_t u)
{
    return (int64_t)(u >> 1) ^ -(int64_t)(u & 1);
}
