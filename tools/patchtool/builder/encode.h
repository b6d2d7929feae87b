#pragma once
// The compression pipeline: every block that needs compressing, compressed on several threads,
// and every entry written in name order as soon as its turn comes.
#include <string>
#include <vector>

#include "tools/patchtool/builder/package.h"
#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/builder/progress.h"

// Compresses the blocks of every file that needs it with a bounded number of blocks in flight,
// and writes every entry in name order: chunk entries through writer, deltas into deltas. The
// result never depends on the thread count.
// Returns: false with a reason (a read or write failure, an interrupt).
bool EncodeAndPackage(const BuildOptions &o, std::vector<FileWork> &files, ChunkWriter *writer,
                      DeltaOutput *deltas, Spool *spool, Progress *progress, BuildSummary *summary,
                      std::string *error);
