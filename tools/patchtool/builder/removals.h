#pragma once
// The removal list of a build (format/removal_list.h): what the old folders have and the new one
// lacks.
#include <stdint.h>
#include <string>
#include <vector>

#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/host/report.h"

// Composes the list: every file that some old tree has and the new tree lacks (names compared as
// Windows does, without regard to ASCII case), with each distinct content (size, CRC-32) it has in
// the old trees; then every folder that some old tree has and the new tree lacks, a folder before
// the one that holds it. A dry run lists each through report.
// Returns: false with a reason when an old file cannot be read; *list stays empty when there is
// nothing to remove.
bool ComposeRemovals(const BuildOptions &o, const Plan &plan, Report &report,
                     std::vector<uint8_t> *list, std::string *error);
