#pragma once
// Inspecting what an installer carries beside its patch: version resource, signature, checksum
// record.
#include <string>

#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/host/report.h"

// Lists the version, the signature and the record of an installer, checking every listed
// resource. Returns: an empty text, or the fault naming every resource that does not match.
std::string InspectInstallerExtras(const LoadedPatch &patch, Report &report);
