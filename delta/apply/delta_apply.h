#pragma once
// Applies a delta (delta/common/delta_format.h) in pieces: the installed file is read by offset
// through a DeltaBase and never held whole, the three sections are decoded through block streams
// over the delta's bytes, and the new content goes out in order through a DeltaSink. Between two
// pieces the caller may serve a cancel and move its progress. Nothing here touches a file itself.
//
// Memory: one region for the applier and its two piece buffers (about 2 x DeltaStepSize), three
// block streams whose caches add up to at most DeltaBlockBudget, and while one block is decoded its
// stored bytes and the decoder's tables; all through defaultAllocator.
//
// STEPS:
//   1. OpenDelta(data, size, &base, &sink, checkBase, &applier). Anything but InProgress: nothing
//      was read or written, and there is nothing to close.
//   2. StepDelta(applier) until it returns something other than InProgress (RunDelta does the
//      loop). Between two steps the caller may stop, ask DeltaWorkDone / DeltaWorkTotal for its
//      bar, or serve a cancel.
//        Done            the result is complete, and its size and CRC-32 are the named ones
//        BaseMismatch    (only with checkBase) before any byte was written: not this delta's base
//        ResultMismatch  all written, but its CRC-32 differs: the base changed, or damage
//        Corrupt, ReadFailed, WriteFailed, NoMemory: after the pieces written so far
//      After a failure the sink holds a partial result: the file adapters write to a temporary
//      and drop it (delta/apply/delta_file_win32.h, delta_file_stdio.h).
//   3. CloseDelta(applier), on every path once step 1 succeeded.
#include <stdint.h>

enum : uint32_t { DeltaStepSize = 16384 };  // most bytes one step reads from the base or writes

// Returns: the bytes of the next step with left bytes to go: all of them, at most DeltaStepSize.
inline uint32_t NextStepBytes(uint64_t left)
{
    return left < DeltaStepSize ? (uint32_t)left : DeltaStepSize;
}

// The installed file.
struct DeltaBase {
    uint64_t size;
    // read: Returns: true when exactly length bytes at offset (offset + length <= size) were
    // placed in buffer.
    bool (*read)(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length);
};

// Where the new content goes, in order.
struct DeltaSink {
    // write: Returns: true when all length bytes were taken.
    bool (*write)(const DeltaSink *self, const uint8_t *bytes, uint32_t length);
};

enum class DeltaResult : int32_t {
    Done = 0,            // the whole result was written and its size and CRC-32 are the named ones
    InProgress = 1,      // a piece was done; step again
    Corrupt = 2,         // malformed header or section, or a record outside the base or the result
    BaseMismatch = 3,    // the base's size or CRC-32 is not the one the delta names
    ResultMismatch = 4,  // what was written does not have the CRC-32 the delta names
    ReadFailed = 5,      // the base could not be read
    WriteFailed = 6,     // the sink refused bytes
    NoMemory = 7,
    CannotCreate = 8,  // the result's file cannot be created (file adapters only)
};

struct DeltaApplier;

// Reads the delta's header and opens its sections. With checkBase, the first steps read the whole
// base and compare its CRC-32 before anything is written; its size is compared in any case. base
// and sink must outlive the applier; data must too (its sections are read in place).
// Returns: InProgress with *applier set (close it with CloseDelta); otherwise *applier is null and
// nothing was read from the base or written: Corrupt, BaseMismatch (size) or NoMemory.
DeltaResult OpenDelta(const uint8_t *data, uint32_t size, const DeltaBase *base,
                      const DeltaSink *sink, bool checkBase, DeltaApplier **applier);

// Does one piece: checks up to DeltaStepSize bytes of the base, or makes and writes up to
// DeltaStepSize bytes of the result.
// Returns: InProgress; Done once the result is complete and matches; or the failure, after which
// only CloseDelta may follow. BaseMismatch comes before any byte is written; the others after the
// pieces written so far.
DeltaResult StepDelta(DeltaApplier *applier);

// Returns: bytes of work done so far, and in all: the result's size, plus the base's when it is
// checked.
uint64_t DeltaWorkDone(const DeltaApplier *applier);
uint64_t DeltaWorkTotal(const DeltaApplier *applier);

// Releases the applier and its streams; a null applier is ignored.
void CloseDelta(DeltaApplier *applier);

// What a caller that runs an applier to its end hears between two pieces; any member may be null.
struct DeltaObserver {
    void *context;
    // moved: the work done so far and in all (DeltaWorkDone, DeltaWorkTotal), after every piece.
    void (*moved)(void *context, uint64_t done, uint64_t total);
    // stop: Returns: true to stop before the next piece (a cancel, an interrupt).
    bool (*stop)(void *context);
};

// Steps an applier that OpenDelta opened until it is done, fails, or observer (may be null)
// stops it.
// Returns: Done; the failure; InProgress when observer stopped it (the result is incomplete).
DeltaResult RunDelta(DeltaApplier *applier, const DeltaObserver *observer);
