#include "delta/apply/delta_apply.h"

#include <string.h>

#include "stream/crc32.h"
#include "delta/common/delta_format.h"
#include "stream/allocator.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"

namespace {

enum : uint32_t { ReadBufferSize = 64 };

// A section read a few bytes at a time, for its varints.
struct Buffered {
    uint32_t at;
    uint32_t fill;
    uint8_t bytes[ReadBufferSize];
};

}  // namespace

struct DeltaApplier {
    const DeltaBase *base;
    const DeltaSink *sink;
    Stream *sections[DeltaSections];
    DeltaHeader header;
    uint64_t baseChecked;  // bytes of the base checked (all of them when it is not checked)
    bool baseVerified;     // the check is over, or was not asked for
    bool checking;         // the base is checked, and counts as work
    uint32_t crc;          // of the base while it is checked, then of the result
    uint64_t produced;     // result bytes written
    uint64_t literalLeft;  // of the current record
    uint64_t coverLeft;
    uint64_t oldAt;      // base offset of the cover's next byte
    uint64_t zerosLeft;  // of the current run of the difference section
    uint64_t bytesLeft;
    Buffered buffers[2];  // of the control and difference sections
    uint8_t piece[DeltaStepSize];
    uint8_t old[DeltaStepSize];
};

namespace {

// Returns: the section's stream over its bytes: a memory stream for a stored section, otherwise a
// block stream over one; or null (malformed, a block table longer than the section, blocks over
// the budget left in *budget, no memory).
Stream *OpenSection(const uint8_t *bytes, uint32_t size, bool stored, uint32_t *budget)
{
    if (stored)
        return openMemoryStream(bytes, size);
    if (size < BlockStreamHeaderSize)
        return nullptr;
    BlockStreamHeader h = GetBlockStreamHeader(bytes);
    // The table must lie in the section: a damaged size must not make the reader ask for it.
    // ceil(decodedSize / blockSize) <= tableRoom exactly when decodedSize <= tableRoom * blockSize,
    // which needs no 64-bit division in a 32-bit installer.
    uint64_t tableRoom = (size - BlockStreamHeaderSize) / BlockTableEntrySize;
    if (h.blockSize == 0 || h.blockSize > DeltaMaxBlockSize || h.blockSize > *budget ||
        h.decodedSize > tableRoom * h.blockSize)
        return nullptr;
    uint32_t blockSize = h.blockSize;
    *budget -= blockSize;
    Stream *memory = openMemoryStream(bytes, size);
    if (!memory)
        return nullptr;
    Stream *blocks = openBlockStream(memory);
    if (!blocks)
        memory->methods->release(memory);
    return blocks;
}

void ReleaseSections(DeltaApplier *a)
{
    for (uint32_t i = 0; i < DeltaSections; ++i) {
        if (a->sections[i])
            a->sections[i]->methods->release(a->sections[i]);
    }
}

// Returns: true when exactly length bytes of section s were read into buffer.
bool ReadSection(DeltaApplier *a, uint32_t s, uint8_t *buffer, uint32_t length)
{
    return a->sections[s]->methods->read(a->sections[s], buffer, length) == length;
}

// Returns: true when exactly length bytes of section s (DeltaControl or DeltaDifference) were read
// into out, through its buffer.
bool ReadBuffered(DeltaApplier *a, uint32_t s, uint8_t *out, uint32_t length)
{
    Buffered *b = &a->buffers[s];
    while (length) {
        if (b->at == b->fill) {
            if (length >= ReadBufferSize)
                return ReadSection(a, s, out, length);
            b->fill = a->sections[s]->methods->read(a->sections[s], b->bytes, ReadBufferSize);
            b->at = 0;
            if (b->fill == 0)
                return false;
        }
        uint32_t n = b->fill - b->at < length ? b->fill - b->at : length;
        memcpy(out, b->bytes + b->at, n);
        b->at += n;
        out += n;
        length -= n;
    }
    return true;
}

// Returns: true with the next varint of section s in *value.
bool ReadVarint(DeltaApplier *a, uint32_t s, uint64_t *value)
{
    *value = 0;
    for (uint32_t i = 0; i < DeltaMaxVarintBytes; ++i) {
        uint8_t byte;
        if (!ReadBuffered(a, s, &byte, 1))
            return false;
        if (AddDeltaVarintByte(value, i, byte))
            return true;
    }
    return false;
}

// Reads the next record; the previous one is used up, and oldAt is where its cover ended.
// Returns: false when the control section ends or the record lies outside the base or the result.
bool NextRecord(DeltaApplier *a, uint64_t produced)
{
    uint64_t literal, cover, skip = 0;
    if (!ReadVarint(a, DeltaControl, &literal) || !ReadVarint(a, DeltaControl, &cover) ||
        (cover && !ReadVarint(a, DeltaControl, &skip)))
        return false;
    uint64_t room = a->header.resultSize - produced;
    if ((literal | cover) == 0 || literal > room || cover > room - literal)
        return false;
    int64_t distance = ZigzagDecode(skip);
    uint64_t magnitude = distance < 0 ? 0 - (uint64_t)distance : (uint64_t)distance;
    uint64_t baseSize = a->header.baseSize;
    if (distance < 0 ? magnitude > a->oldAt : magnitude > baseSize - a->oldAt)
        return false;
    uint64_t start = distance < 0 ? a->oldAt - magnitude : a->oldAt + magnitude;
    if (cover > baseSize - start)
        return false;
    a->literalLeft = literal;
    a->coverLeft = cover;
    a->oldAt = start;
    return true;
}

// Returns: true with length differences at out, from the difference section's runs.
bool ReadDifferences(DeltaApplier *a, uint8_t *out, uint32_t length)
{
    while (length) {
        if (a->zerosLeft) {
            uint32_t n = a->zerosLeft < length ? (uint32_t)a->zerosLeft : length;
            memset(out, 0, n);
            a->zerosLeft -= n;
            out += n;
            length -= n;
        } else if (a->bytesLeft) {
            uint32_t n = a->bytesLeft < length ? (uint32_t)a->bytesLeft : length;
            if (!ReadBuffered(a, DeltaDifference, out, n))
                return false;
            a->bytesLeft -= n;
            out += n;
            length -= n;
        } else if (!ReadVarint(a, DeltaDifference, &a->zerosLeft) ||
                   !ReadVarint(a, DeltaDifference, &a->bytesLeft) ||
                   (a->zerosLeft | a->bytesLeft) == 0) {
            return false;
        }
    }
    return true;
}

// Makes up to length bytes of a cover at out: the base's bytes plus the differences.
DeltaResult MakeCover(DeltaApplier *a, uint8_t *out, uint32_t length)
{
    if (!ReadDifferences(a, out, length))
        return DeltaResult::Corrupt;
    if (!a->base->read(a->base, a->oldAt, a->old, length))
        return DeltaResult::ReadFailed;
    for (uint32_t i = 0; i < length; ++i)
        out[i] = (uint8_t)(out[i] + a->old[i]);
    a->oldAt += length;
    a->coverLeft -= length;
    return DeltaResult::InProgress;
}

// Fills *filled bytes of the piece (up to DeltaStepSize, and up to the result's end).
DeltaResult FillPiece(DeltaApplier *a, uint32_t *filled)
{
    uint32_t at = 0;
    uint64_t left = a->header.resultSize - a->produced;
    uint32_t want = NextStepBytes(left);
    while (at < want) {
        uint32_t room = want - at;
        if (a->literalLeft) {
            uint32_t n = a->literalLeft < room ? (uint32_t)a->literalLeft : room;
            if (!ReadSection(a, DeltaLiteral, a->piece + at, n))
                return DeltaResult::Corrupt;
            a->literalLeft -= n;
            at += n;
        } else if (a->coverLeft) {
            uint32_t n = a->coverLeft < room ? (uint32_t)a->coverLeft : room;
            DeltaResult r = MakeCover(a, a->piece + at, n);
            if (r != DeltaResult::InProgress)
                return r;
            at += n;
        } else if (!NextRecord(a, a->produced + at)) {
            return DeltaResult::Corrupt;
        }
    }
    *filled = at;
    return DeltaResult::InProgress;
}

DeltaResult CheckBasePiece(DeltaApplier *a)
{
    uint64_t left = a->header.baseSize - a->baseChecked;
    uint32_t n = NextStepBytes(left);
    if (n && !a->base->read(a->base, a->baseChecked, a->old, n))
        return DeltaResult::ReadFailed;
    a->crc = Crc32(a->crc, a->old, n);
    a->baseChecked += n;
    if (a->baseChecked < a->header.baseSize)
        return DeltaResult::InProgress;
    if (a->crc != a->header.baseCrc)
        return DeltaResult::BaseMismatch;
    a->crc = 0;
    a->baseVerified = true;
    return DeltaResult::InProgress;
}

}  // namespace

DeltaResult OpenDelta(const uint8_t *data, uint32_t size, const DeltaBase *base,
                      const DeltaSink *sink, bool checkBase, DeltaApplier **applier)
{
    *applier = nullptr;
    DeltaHeader header;
    if (!data || !GetDeltaHeader(data, size, &header))
        return DeltaResult::Corrupt;
    // The sections read and make the expanded files; without a recipe those are the files.
    header.baseSize = header.expandedBaseSize;
    header.baseCrc = header.expandedBaseCrc;
    header.resultSize = header.expandedResultSize;
    header.resultCrc = header.expandedResultCrc;
    if (base->size != header.baseSize)
        return DeltaResult::BaseMismatch;
    DeltaApplier *a =
        (DeltaApplier *)defaultAllocator.alloc(sizeof(DeltaApplier), &defaultAllocator);
    if (!a)
        return DeltaResult::NoMemory;
    memset(a, 0, sizeof *a);
    a->base = base;
    a->sink = sink;
    a->header = header;
    a->baseChecked = checkBase ? 0 : header.baseSize;
    a->baseVerified = !checkBase;
    a->checking = checkBase;
    const uint8_t *at = data + header.headerSize;
    uint32_t sizes[DeltaSections] = {header.controlSize, header.diffSize,
                                     size - header.headerSize - header.controlSize -
                                         header.diffSize};
    uint32_t budget = DeltaBlockBudget;
    for (uint32_t i = 0; i < DeltaSections; ++i) {
        a->sections[i] = OpenSection(
            at, sizes[i], (header.stored & DeltaStoredBit((DeltaSection)i)) != 0, &budget);
        if (!a->sections[i]) {
            CloseDelta(a);
            return DeltaResult::Corrupt;
        }
        at += sizes[i];
    }
    *applier = a;
    return DeltaResult::InProgress;
}

DeltaResult StepDelta(DeltaApplier *a)
{
    if (!a->baseVerified)
        return CheckBasePiece(a);
    uint32_t filled = 0;
    DeltaResult r = FillPiece(a, &filled);
    if (r != DeltaResult::InProgress)
        return r;
    a->crc = Crc32(a->crc, a->piece, filled);
    if (filled && !a->sink->write(a->sink, a->piece, filled))
        return DeltaResult::WriteFailed;
    a->produced += filled;
    if (a->produced < a->header.resultSize)
        return DeltaResult::InProgress;
    return a->crc == a->header.resultCrc ? DeltaResult::Done : DeltaResult::ResultMismatch;
}

uint64_t DeltaWorkDone(const DeltaApplier *a)
{
    return (a->checking ? a->baseChecked : 0) + a->produced;
}

uint64_t DeltaWorkTotal(const DeltaApplier *a)
{
    return (a->checking ? a->header.baseSize : 0) + a->header.resultSize;
}

void CloseDelta(DeltaApplier *a)
{
    if (!a)
        return;
    ReleaseSections(a);
    defaultAllocator.free(sizeof(DeltaApplier), a, &defaultAllocator);
}

DeltaResult RunDelta(DeltaApplier *applier, const DeltaObserver *observer)
{
    for (;;) {
        DeltaResult step = StepDelta(applier);
        if (step != DeltaResult::InProgress && step != DeltaResult::Done)
            return step;
        if (observer && observer->moved)
            observer->moved(observer->context, DeltaWorkDone(applier), DeltaWorkTotal(applier));
        if (step == DeltaResult::Done)
            return step;
        if (observer && observer->stop && observer->stop(observer->context))
            return DeltaResult::InProgress;
    }
}
