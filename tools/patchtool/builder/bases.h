#pragma once
// Bases at other paths: a new file that not every old folder holds at its own path may take its
// delta from another file that every old folder holds (a copy, a rename, a move, a split).
#include <string>
#include <vector>

#include "tools/patchtool/builder/plan.h"

// Gives each such file of files one base, found cheaply, best first: an old file of the same
// content (size, then CRC-32); one of the same file name in another folder; one whose name differs
// only in its digits (a version number, a part's number), the closest in size; else the one that
// shares the most of its content (builder/similar.h). The file's olds become that base's copies,
// one per old folder, and baseName its name; it gets no ranges.
// Returns: false with a reason when a file cannot be read.
bool FindNamedBases(const Plan &plan, std::vector<FileWork> &files, std::string *error);
