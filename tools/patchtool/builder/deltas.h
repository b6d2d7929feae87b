#pragma once
// Deltas in a build: each changed file that has old copies encoded against every distinct one,
// and sent as its deltas when they cost less than its ranges and (so far as is known before
// compression) its whole file.
#include <string>
#include <vector>

#include "tools/patchtool/builder/package.h"
#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/builder/progress.h"

// Encodes the deltas of every file worth one, one file at a time, into the spool, and sets each
// such file's choice: Delta, DeltaOrWhole (the deltas unless the whole file compresses smaller), or
// what the comparison chose when its ranges cost no more.
// Returns: false with a reason (a read, encode or spool failure, an interrupt).
bool EncodeDeltas(const BuildOptions &o, std::vector<FileWork> &files, DeltaOutput *deltas,
                  Progress *progress, std::string *error);
