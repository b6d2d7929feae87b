#pragma once
// Applies a delta (payload/delta_format.h) in pieces: the installed file is read by offset through
// a DeltaBase and never held whole, the three sections are decoded through block streams over the
// delta's bytes, and the new content goes out in order through a DeltaSink. Between two pieces the
// caller may serve a cancel and move its progress. Nothing here touches a file itself.
//
// Memory: one region for the applier and its two piece buffers (about 2 x DeltaPieceSize), three
// block streams whose caches add up to at most DeltaBlockBudget, and while one block is decoded its
// stored bytes and the decoder's tables; all through defaultAllocator.
#include <stdint.h>
#include "payload/install_result.h"

enum : uint32_t { DeltaPieceSize = 16384 };  // most bytes one step reads from the base or writes

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
};

struct DeltaApplier;

// Reads the delta's header and opens its sections. With checkBase, the first steps read the whole
// base and compare its CRC-32 before anything is written; its size is compared in any case. base
// and sink must outlive the applier; data must too (its sections are read in place).
// Returns: InProgress with *applier set (close it with CloseDelta); otherwise *applier is null and
// nothing was read from the base or written: Corrupt, BaseMismatch (size) or NoMemory.
DeltaResult OpenDelta(const uint8_t *data, uint32_t size, const DeltaBase *base,
                      const DeltaSink *sink, bool checkBase, DeltaApplier **applier);

// Does one piece: checks up to DeltaPieceSize bytes of the base, or makes and writes up to
// DeltaPieceSize bytes of the result.
// Returns: InProgress; Done once the result is complete and matches; or the failure, after which
// only CloseDelta may follow. BaseMismatch comes before any byte is written; the others after the
// pieces written so far.
DeltaResult StepDelta(DeltaApplier *applier);

// Returns: bytes of work done so far, and in all: the base's size plus the result's size (a base
// that is not checked counts as done from the start).
uint64_t DeltaWorkDone(const DeltaApplier *applier);
uint64_t DeltaWorkTotal(const DeltaApplier *applier);

// Releases the applier and its streams; a null applier is ignored.
void CloseDelta(DeltaApplier *applier);

// The installer's result for the applier's. The package is checked before anything is applied,
// so a base or a result that does not match means the installed file is not the delta's base.
inline InstallResult InstallResultOfDelta(DeltaResult result)
{
    switch (result) {
    case DeltaResult::Done:
        return InstallResult::Ok;
    case DeltaResult::BaseMismatch:
    case DeltaResult::ResultMismatch:
        return InstallResult::WrongBase;
    case DeltaResult::ReadFailed:
        return InstallResult::CannotCreate;
    case DeltaResult::WriteFailed:
        return InstallResult::WriteFailed;
    default:
        return InstallResult::Corrupt;
    }
}
