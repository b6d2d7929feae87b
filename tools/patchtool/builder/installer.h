#pragma once
// The installer: the stub with a patch folder's descriptor and chunks as QPATCH resources, its
// deltas as QPATCHDELTA resources, its removal list as QPATCHREMOVE 1601, the patch's version
// resource and, unless left out, its checksum records. The one writer of an installer, for build
// and for pack alike.
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/patchtool/builder/stub.h"
#include "tools/patchtool/host/report.h"

// The files of a patch folder that go into an installer.
struct PatchFiles {
    fs::path descriptor;                                // empty: the patch has none
    std::vector<std::pair<uint32_t, fs::path>> chunks;  // by id, ascending, each id once
    std::vector<std::pair<uint32_t, fs::path>> deltas;  // the same, of the delta files
    fs::path removals;                                  // the removal list; empty: none
};

// Returns: the files of a patch folder that build wrote: its descriptor, chunks 1601..lastChunk,
// deltas 1601..lastDelta and, withRemovals, its removal list.
PatchFiles BuiltPatchFiles(const fs::path &folder, uint32_t lastChunk, uint32_t lastDelta,
                           bool withRemovals);

// Writes the installer into output: stub with every file of files as its QPATCH (chunks) or
// QPATCHDELTA (deltas) resource, byte for byte; with a descriptor also the patch's version
// resource and, when withRecord, the checksum record of the descriptor and of the chunks the
// installer applies (1601 up to the first missing id), with deltas the second record, of the
// deltas taken the same way, and with a removal list (resource QPATCHREMOVE 1601) the third, of
// the descriptor and that list. Warns through report when the stub's signature is dropped.
// Returns: false with a reason when a file cannot be read or output not written.
bool WriteInstaller(const Stub &stub, const PatchFiles &files, const fs::path &output,
                    bool withRecord, Report &report, std::string *error);
