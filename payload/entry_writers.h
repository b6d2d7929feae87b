#pragma once
// The entry writers: whole files decoded from a block-compressed stream and created anew, and
// raw byte ranges written into existing files. Both write, check cancelRequested and account
// progress in pieces of WriterStepSize bytes, and close every handle and stream before returning.
#include <windows.h>
#include <stdint.h>
#include "payload/run_state.h"
#include "payload/install_result.h"
#include "payload/walk.h"

// gameRoot (PathCapacity includes its zero), a name of up to MaxNameLength units and a zero.
enum : uint32_t { TargetPathCapacity = PathCapacity + MaxNameLength };
enum : uint32_t { WholeName = 0xFFFFFFFFu };  // nameUnits for all of a zero-terminated name

// Every path into the game folder: gameRoot followed by at most nameUnits units of name (fewer
// when name ends sooner) into path, zero-terminated; no separator is inserted.
// Returns: false when that would not fit in TargetPathCapacity units.
bool MakeTargetPath(wchar_t path[TargetPathCapacity], const wchar_t *name, uint32_t nameUnits);

// Creates (or empties) the target file name for writing without sharing; when that fails,
// creates the folders before each forward slash of name, outermost first, and tries once more.
// Returns: the open handle, or INVALID_HANDLE_VALUE.
HANDLE CreateTargetFile(const wchar_t *name);

// Decodes the block-compressed stream of dataSize bytes at data into the target name.
// Returns: Ok; Corrupt (stream cannot be opened or decoded, no memory; no file touched when it
// cannot be opened); CannotCreate; WriteFailed; Cancelled (after at least one piece).
InstallResult WriteWholeFileEntry(const uint8_t *data, uint32_t dataSize, const wchar_t *name);

// Writes dataSize bytes at data into the existing target name at targetOffset.
// Returns: Ok; CannotCreate (cannot be opened; never created); Corrupt (seek failed);
// WriteFailed; Cancelled (after at least one piece).
InstallResult WriteRangeEntry(const uint8_t *data, uint32_t dataSize, const wchar_t *name,
                              uint64_t targetOffset);
