#pragma once
#include <stdint.h>

// The result of every payload operation.
enum class InstallResult : int32_t {
    Ok = 0,            // the chunk, or the entry, was applied completely
    NoChunk = 1,       // no QPATCH resource with the requested id
    Corrupt = 2,       // damaged chunk or stream, no memory for a stream, a range seek failed
    CannotCreate = 3,  // a target could not be created or opened
    WriteFailed = 4,   // a write failed or was short
    Cancelled = 5,     // cancelRequested was found set
    WrongBase = 6,     // a delta's target holds neither its base nor its result
};
