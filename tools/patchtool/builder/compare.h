#pragma once
// Comparing each new file with its copies in the old folders, and choosing its entries.
#include <string>
#include <vector>

#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/builder/progress.h"

// Sorts the new folder's files into work items; with ranges allowed, each is given its copies in
// every old folder (none when one lacks it), and ranges are possible when none of them is longer.
std::vector<FileWork> MakeWork(const BuildOptions &o, const Plan &plan);

// Compares the new file with every old one, a piece at a time, and decides its entries: the runs
// that differ in any old copy, or the whole file when the runs would cost more.
// Returns: false with a reason when a file cannot be read, or on an interrupt.
bool CompareFile(FileWork *f, Progress *progress, std::string *error);
