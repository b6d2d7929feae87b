#pragma once
// patchtool pack: an installer from a patch folder, written into the stub as build writes it.
#include <string>

#include "tools/patchtool/builder/installer.h"
#include "tools/patchtool/host/report.h"

struct PackOptions {
    PatchFiles files;  // the patch folder, as ReadPatchFolder read it
    fs::path installer;
    fs::path stub;  // empty: QPATCH_STUB, then beside the tool
    bool checksumRecord = true;
};

// Reads the patch folder: descriptor.txt, if it is there, the chunk files, every file named
// DIGITS.bin (hidden ones aside) being chunk DIGITS, the delta files, DIGITS.delta, and the
// removal list, 1601.remove, if it is there.
// Returns: false with the reason when a .bin or .delta file names no id from 1601 to 1999, two of
// one kind name the same one, or the folder cannot be read.
bool ReadPatchFolder(const fs::path &folder, PatchFiles *files, std::string *error);

// Writes the installer under a temporary name and moves it into place, replacing a file there;
// warns about chunks or deltas after a gap, which the installer never applies.
// Returns: 0 on success; 1 after an error through report, with nothing left at the installer path
// but what was there.
int PackInstaller(const PackOptions &options, Report &report);
