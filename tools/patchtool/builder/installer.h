#pragma once
// The installer: the stub with the patch folder's descriptor and chunks as QPATCH resources, the
// patch's version resource and, unless left out, its checksum record.
#include <stdint.h>

#include <string>

#include "tools/patchtool/builder/plan.h"

// Writes the installer into output; warns through report when the stub's signature is dropped.
// Returns: false with a reason when a file of the folder cannot be read or output not written.
bool WriteInstaller(const Plan &plan, const fs::path &patchFolder, uint32_t lastChunk, const fs::path &output,
                    bool withRecord, Report &report, std::string *error);
