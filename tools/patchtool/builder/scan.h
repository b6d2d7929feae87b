#pragma once
// The inputs, checked before any work: the new and old trees listed, every name one that every
// player can install, every old folder at a version the installer lets through.
#include <string>

#include "delta/common/delta_format.h"

#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/host/report.h"

// Lists the trees into plan, warning through report of what a patch cannot carry.
// Returns: false with the first reason no player could install the patch (or a tree that
// cannot be read).
bool CheckInputs(const BuildOptions &o, Plan *plan, Report &report, std::string *error);

// Returns: false with a reason; otherwise the file's size and CRC-32 in *id.
bool IdentifyTreeFile(const TreeFile &file, FileIdentity *id, std::string *error);
