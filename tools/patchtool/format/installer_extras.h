#pragma once
// What an installer carries beside its patch: the checksum record, the version resource and an
// Authenticode signature. Read with the patch, written by the builder, reported by inspect.
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "tools/patchtool/host/host.h"

struct PeResource;
struct LoadedPatch;

struct InstallerExtras {
    bool fromInstaller = false;  // false for a patch folder, which carries none of these
    bool hasRecord = false;
    std::vector<uint8_t> record;
    bool hasVersion = false;
    std::vector<uint8_t> version;
    uint32_t certificateOffset = 0;  // the certificate table; size 0 when unsigned
    uint32_t certificateSize = 0;
};

// Fills extras from an installer image and its resources.
void ReadInstallerExtras(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                         InstallerExtras *extras);

// Replaces the stub's version resource and checksum record by those of the patch folder (the
// record only when withRecord). A signature of the stub cannot survive the rewrite: *dropped says
// the stub had one. Returns: false with a reason when a file of the folder cannot be read.
bool AddInstallerExtras(const std::vector<uint8_t> &stub, const fs::path &patchFolder, uint32_t lastChunk,
                        bool withRecord, std::vector<PeResource> *items, bool *dropped, std::string *error);

// Prints the version, the signature and the record of an installer, checking every listed
// resource. Returns: an empty text, or the fault naming every resource that does not match.
std::string InspectInstallerExtras(const LoadedPatch &patch, FILE *out);
