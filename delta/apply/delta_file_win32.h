#pragma once
// The applier on Windows files, for the installer: a base read by offset through a handle (never
// mapped whole), and a result written to a temporary beside its target that replaces the target
// in one step, so the target is either old or new whatever stops the run.
#include <windows.h>
#include <stdint.h>
#include "delta/apply/delta_apply.h"
#include "delta/common/delta_format.h"

// Returns: true when exactly length bytes at offset were read through the synchronous handle.
bool ReadFileAt(HANDLE file, uint64_t offset, uint8_t *buffer, uint32_t length);

// Reads the open file from start to end in pieces of DeltaStepSize for its identity; observer
// (may be null) hears the bytes read of the file's size after each piece and is asked to stop
// between pieces.
// Returns: Done with *identity; ReadFailed; InProgress when stopped.
DeltaResult IdentifyOpenFile(HANDLE file, FileIdentity *identity, const DeltaObserver *observer);

// Applies the delta at data to the open base without checking it again (the caller checked it),
// writing the result to out from its current position, then flushes out. A delta with a recipe
// expands its base into the file expanded (created anew, deleted when its handle closes, however
// the process ends). observer hears work of DeltaWorkTotalOf (delta_recipe_apply.h).
// Returns: Done; as RunDelta (InProgress when observer stopped it) or ApplyRecipeDelta;
// CannotCreate when expanded cannot be created; WriteFailed when out cannot be flushed.
DeltaResult WriteDeltaResult(const uint8_t *data, uint32_t size, HANDLE base, HANDLE out,
                             const wchar_t *expanded, const DeltaObserver *observer);

// Applies the delta at data to the file at path without checking its base again: the result goes
// to temporary (created anew; one a killed run left is written over), which is flushed and then
// moved over path; a recipe's expanded base goes to expanded (WriteDeltaResult). On every other
// path the temporary is deleted and path keeps its content; a base changed since it was checked
// gives a result whose CRC-32 differs, never moved into place.
// Returns: Done; as RunDelta (InProgress when observer stopped it); ReadFailed when path cannot
// be opened; CannotCreate when the temporary cannot be created; WriteFailed.
DeltaResult ApplyDeltaThroughTemporary(const uint8_t *data, uint32_t size, const wchar_t *path,
                                       const wchar_t *temporary, const wchar_t *expanded,
                                       const DeltaObserver *observer);
