#pragma once
// The removal list of a patch (format/removal_list.h), read as the installer reads it.
#include <stdint.h>
#include <string>
#include <vector>

#include "delta/common/delta_format.h"
#include "tools/patchtool/check/patch_source.h"

struct RemovalInfo {
    uint8_t kind;  // RemoveFile or RemoveFolder
    std::u16string name;
    std::vector<FileIdentity> identities;  // the contents a file is removed with; none for folders
};

// Reads every record of the patch's removal list (none without a list) into *removals.
// Returns: an empty text, or the fault: a malformed list or a name that leaves the game folder.
std::string ReadRemovals(const LoadedPatch &patch, std::vector<RemovalInfo> *removals);
