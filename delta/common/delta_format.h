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
//   7       1     flags: DeltaFlagNamedBase, DeltaFlagRecipe; every other bit is zero
//   8       8     baseSize     the installed file the delta applies to
//   16      4     baseCrc      its CRC-32 (stream/crc32.h)
//   20      8     resultSize   the file the delta makes
//   28      4     resultCrc    its CRC-32
//   32      4     controlSize  stored bytes of the control section
//   36      4     diffSize     stored bytes of the difference section
//   40            with DeltaFlagNamedBase only: baseNameLength (2 bytes, 1 to
//                 DeltaMaxBaseNameLength) and the base's name in as many UTF-16 units, relative to
//                 the game folder like an entry's name: the base is that file, not the target
//   then          with DeltaFlagRecipe only: recipeSize (4 bytes) and the recipe's bytes:
//                   expandedBaseSize (8), expandedBaseCrc (4), expandedResultSize (8),
//                   expandedResultCrc (4), recipeFlags (1: RecipeKeepsPacked or 0), then the
//                   stream lists (delta/common/delta_recipe.h)
//   then          control section, difference section, literal section (the rest)
//
// Without DeltaFlagNamedBase the base is the delta's own target, as in every delta made before
// bases could be named; such a delta reads exactly as it always did.
//
// With DeltaFlagRecipe the sections work between expanded files: the base with its compressed
// streams inflated, and the result with the streams the recipe lists still expanded, which the
// applier deflates again as it writes. baseSize, baseCrc, resultSize and resultCrc still name the
// files themselves; the recipe's fields name the expanded ones the sections read and make.
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
#include "stream/crc32.h"
#include "stream/little_endian.h"

static const uint8_t DeltaMagic[4] = {'Q', 'D', 'L', 'T'};

// Where each header field starts.
enum : uint32_t {
    DeltaMagicAt = 0,
    DeltaFormatAt = 4,
    DeltaFilterAt = 5,
    DeltaStoredAt = 6,
    DeltaFlagsAt = 7,
    DeltaBaseSizeAt = 8,
    DeltaBaseCrcAt = 16,
    DeltaResultSizeAt = 20,
    DeltaResultCrcAt = 28,
    DeltaControlSizeAt = 32,
    DeltaDiffSizeAt = 36,
    DeltaHeaderSize = 40,  // without a base name
    DeltaBaseNameAt = 40,
};

enum : uint8_t {
    DeltaFlagNamedBase = 1,  // the base is the file the header names
    DeltaFlagRecipe = 2,     // the sections work between expanded files (a recipe follows)
    DeltaKnownFlags = DeltaFlagNamedBase | DeltaFlagRecipe,
};

// The recipe's fixed fields, from the start of its bytes (after recipeSize).
enum : uint32_t {
    RecipeBaseSizeAt = 0,
    RecipeBaseCrcAt = 8,
    RecipeResultSizeAt = 12,
    RecipeResultCrcAt = 20,
    RecipeFlagsAt = 24,
    RecipeFixedBytes = 25,
    RecipeMaxBytes = 64u << 20,
};

enum : uint8_t {
    // The expanded base keeps each stream's packed bytes before its content: the result has
    // streams no deflater here makes again, whose packed bytes may match the base's.
    RecipeKeepsPacked = 1,
};

enum : uint32_t { DeltaMaxBaseNameLength = 511 };  // as an entry's name

// The sections, in the order they follow the header; a section's stored bit is 1 << its id.
enum DeltaSection : uint32_t {
    DeltaControl = 0,
    DeltaDifference = 1,
    DeltaLiteral = 2,
    DeltaSections = 3,
};

enum : uint32_t {
    DeltaFormat = 1,
    DeltaFilterNone = 0,
    DeltaMaxBlockSize = 8u << 20,
    DeltaBlockBudget = 12u << 20,
    DeltaMaxVarintBytes = 10,
    DeltaStoredMask = (1u << DeltaSections) - 1,
};

inline uint8_t DeltaStoredBit(DeltaSection section)
{
    return (uint8_t)(1u << section);
}

struct DeltaHeader {
    uint8_t filter;
    uint8_t stored;
    uint8_t flags;
    uint64_t baseSize;
    uint32_t baseCrc;
    uint64_t resultSize;
    uint32_t resultCrc;
    uint32_t controlSize;
    uint32_t diffSize;
    // Read by GetDeltaHeader: the named base's units (little-endian, unaligned, in the delta's
    // bytes; null without DeltaFlagNamedBase) and the bytes before the sections.
    const uint8_t *baseName;
    uint32_t baseNameLength;
    uint32_t headerSize;
    // What the sections read and make: the files themselves, or with DeltaFlagRecipe their
    // expanded forms; then streams points at the recipe's stream lists (null without one).
    uint64_t expandedBaseSize;
    uint32_t expandedBaseCrc;
    uint64_t expandedResultSize;
    uint32_t expandedResultCrc;
    uint8_t recipeFlags;
    const uint8_t *streams;
    uint32_t streamsSize;
};

// Returns: the header's bytes with a base name of nameLength units (0: none).
inline uint32_t DeltaHeaderBytes(uint32_t nameLength)
{
    return nameLength ? DeltaBaseNameAt + 2 + 2 * nameLength : DeltaHeaderSize;
}

// p has room for DeltaHeaderBytes(nameLength) bytes; writes format DeltaFormat, and with
// nameLength units of name (1 to DeltaMaxBaseNameLength) the flag and the base's name. The recipe
// flag is kept from h.flags; its recipe is the caller's to place after the name.
inline void PutDeltaHeader(uint8_t *p, const DeltaHeader &h, const char16_t *name = nullptr,
                           uint32_t nameLength = 0)
{
    for (uint32_t i = 0; i < 4; ++i)
        p[DeltaMagicAt + i] = DeltaMagic[i];
    p[DeltaFormatAt] = DeltaFormat;
    p[DeltaFilterAt] = h.filter;
    p[DeltaStoredAt] = h.stored;
    p[DeltaFlagsAt] =
        (uint8_t)((h.flags & DeltaFlagRecipe) | (nameLength ? DeltaFlagNamedBase : 0));
    PutU64(p + DeltaBaseSizeAt, h.baseSize);
    PutU32(p + DeltaBaseCrcAt, h.baseCrc);
    PutU64(p + DeltaResultSizeAt, h.resultSize);
    PutU32(p + DeltaResultCrcAt, h.resultCrc);
    PutU32(p + DeltaControlSizeAt, h.controlSize);
    PutU32(p + DeltaDiffSizeAt, h.diffSize);
    if (nameLength) {
        PutU16(p + DeltaBaseNameAt, (uint16_t)nameLength);
        for (uint32_t i = 0; i < nameLength; ++i)
            PutU16(p + DeltaBaseNameAt + 2 + 2 * i, (uint16_t)name[i]);
    }
}

// Reads the recipe's size and fixed fields at p + h->headerSize, within size bytes.
// Returns: false when they do not fit, the recipe is shorter than its fixed fields or longer
// than RecipeMaxBytes, or its flags are unknown.
inline bool GetDeltaRecipe(const uint8_t *p, uint32_t size, DeltaHeader *h)
{
    if (size - h->headerSize < 4)
        return false;
    const uint8_t *r = p + h->headerSize + 4;
    uint32_t recipeSize = GetU32(r - 4);
    if (recipeSize < RecipeFixedBytes || recipeSize > RecipeMaxBytes ||
        recipeSize > size - h->headerSize - 4)
        return false;
    h->expandedBaseSize = GetU64(r + RecipeBaseSizeAt);
    h->expandedBaseCrc = GetU32(r + RecipeBaseCrcAt);
    h->expandedResultSize = GetU64(r + RecipeResultSizeAt);
    h->expandedResultCrc = GetU32(r + RecipeResultCrcAt);
    h->recipeFlags = r[RecipeFlagsAt];
    if (h->recipeFlags & ~RecipeKeepsPacked)
        return false;
    h->streams = r + RecipeFixedBytes;
    h->streamsSize = recipeSize - RecipeFixedBytes;
    h->headerSize += 4 + recipeSize;
    return true;
}

// Returns: true with *h filled when size bytes at p start with a header of this format whose
// filter and flags are known, whose base name (if any) is 1 to DeltaMaxBaseNameLength units
// without a zero, whose recipe (if any) fits, and whose two first sections lie inside the size
// bytes. The recipe's stream lists are read by delta/common/delta_recipe.h.
inline bool GetDeltaHeader(const uint8_t *p, uint32_t size, DeltaHeader *h)
{
    if (size < DeltaHeaderSize || p[0] != DeltaMagic[0] || p[1] != DeltaMagic[1] ||
        p[2] != DeltaMagic[2] || p[3] != DeltaMagic[3] || p[DeltaFormatAt] != DeltaFormat ||
        p[DeltaFilterAt] != DeltaFilterNone || (p[DeltaStoredAt] & ~DeltaStoredMask) != 0 ||
        (p[DeltaFlagsAt] & ~DeltaKnownFlags) != 0)
        return false;
    h->flags = p[DeltaFlagsAt];
    h->baseName = nullptr;
    h->baseNameLength = 0;
    h->headerSize = DeltaHeaderSize;
    if (h->flags & DeltaFlagNamedBase) {
        if (size < DeltaBaseNameAt + 2)
            return false;
        uint32_t length = GetU16(p + DeltaBaseNameAt);
        if (length == 0 || length > DeltaMaxBaseNameLength || DeltaHeaderBytes(length) > size)
            return false;
        for (uint32_t i = 0; i < length; ++i) {
            if (GetU16(p + DeltaBaseNameAt + 2 + 2 * i) == 0)
                return false;
        }
        h->baseName = p + DeltaBaseNameAt + 2;
        h->baseNameLength = length;
        h->headerSize = DeltaHeaderBytes(length);
    }
    h->filter = p[DeltaFilterAt];
    h->stored = p[DeltaStoredAt];
    h->baseSize = GetU64(p + DeltaBaseSizeAt);
    h->baseCrc = GetU32(p + DeltaBaseCrcAt);
    h->resultSize = GetU64(p + DeltaResultSizeAt);
    h->resultCrc = GetU32(p + DeltaResultCrcAt);
    h->expandedBaseSize = h->baseSize;
    h->expandedBaseCrc = h->baseCrc;
    h->expandedResultSize = h->resultSize;
    h->expandedResultCrc = h->resultCrc;
    h->recipeFlags = 0;
    h->streams = nullptr;
    h->streamsSize = 0;
    if ((h->flags & DeltaFlagRecipe) && !GetDeltaRecipe(p, size, h))
        return false;
    h->controlSize = GetU32(p + DeltaControlSizeAt);
    h->diffSize = GetU32(p + DeltaDiffSizeAt);
    uint32_t rest = size - h->headerSize;
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

// Writes v as a varint at out, which has room for DeltaMaxVarintBytes.
// Returns: the bytes written.
inline uint32_t PutDeltaVarint(uint8_t *out, uint64_t v)
{
    uint32_t n = 0;
    for (; v >= 0x80; v >>= 7)
        out[n++] = (uint8_t)(v | 0x80);
    out[n++] = (uint8_t)v;
    return n;
}

// Adds byte number index (from 0, below DeltaMaxVarintBytes) of a varint to *value, which starts
// at 0. Returns: true when it was the varint's last byte.
inline bool AddDeltaVarintByte(uint64_t *value, uint32_t index, uint8_t byte)
{
    *value |= (uint64_t)(byte & 0x7F) << (7 * index);
    return !(byte & 0x80);
}

// The temporary a delta's result is written to beside its target (the target's name followed by
// this) before it replaces the target in one step; in UTF-8 for the tool, UTF-16 for the installer.
// A delta with a recipe also expands its base beside the target, into the second temporary, which
// is deleted once the result is written (the installer's is deleted when its handle closes, so
// even a killed run leaves none).
#define DELTA_TEMPORARY_SUFFIX ".qpatch-new"
#define DELTA_EXPANDED_SUFFIX ".qpatch-base"
#define DELTA_WIDE_TEXT(text) L##text
#define DELTA_WIDEN(text) DELTA_WIDE_TEXT(text)
#define DELTA_TEMPORARY_SUFFIX_WIDE DELTA_WIDEN(DELTA_TEMPORARY_SUFFIX)
#define DELTA_EXPANDED_SUFFIX_WIDE DELTA_WIDEN(DELTA_EXPANDED_SUFFIX)

// A file as the installer tells its versions apart: its size and CRC-32.
struct FileIdentity {
    uint64_t size;
    uint32_t crc;
};

inline bool SameIdentity(const FileIdentity &a, const FileIdentity &b)
{
    return a.size == b.size && a.crc == b.crc;
}

// Adds the file's next size bytes, in order from its start, to *identity (zero to start).
inline void AddToIdentity(FileIdentity *identity, const uint8_t *bytes, uint32_t size)
{
    identity->crc = Crc32(identity->crc, bytes, size);
    identity->size += size;
}

inline FileIdentity BaseIdentity(const DeltaHeader &h)
{
    return FileIdentity{h.baseSize, h.baseCrc};
}

inline FileIdentity ResultIdentity(const DeltaHeader &h)
{
    return FileIdentity{h.resultSize, h.resultCrc};
}
