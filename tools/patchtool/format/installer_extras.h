#pragma once
// What an installer carries beside its patch: the checksum record, the version resource and an
// Authenticode signature. Read with the patch, written by the builder, reported by inspect.
#include <stdint.h>
#include <vector>

#include "tools/patchtool/pe/pe_resources.h"

enum : uint16_t { VersionResourceId = 1 };

struct InstallerExtras {
    bool fromInstaller = false;  // false for a patch folder, which carries none of these
    bool hasRecord = false;
    std::vector<uint8_t> record;
    bool hasDeltaRecord = false;  // the second record, of the deltas
    std::vector<uint8_t> deltaRecord;
    bool hasRemovalRecord = false;  // the third, of the removal list
    std::vector<uint8_t> removalRecord;
    bool hasVersion = false;
    std::vector<uint8_t> version;
    uint32_t certificateOffset = 0;  // the certificate table; size 0 when unsigned
    uint32_t certificateSize = 0;
};

// The resource types of the checksum record and of the version resource.
ResourceKey RecordResourceType();
ResourceKey VersionResourceType();

// Fills extras from an installer image and its resources.
void ReadInstallerExtras(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                         InstallerExtras *extras);
