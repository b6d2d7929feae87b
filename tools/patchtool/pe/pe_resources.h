#pragma once
// A small portable reader and writer of the resource section of PE images (32- and 64-bit), so
// that installers are inspected and made on any host without a Windows toolchain.
#include <stdint.h>
#include <string>
#include <vector>

#include "tools/patchtool/host/files.h"

struct ResourceKey {
    bool named;  // a name (like "QPATCH") rather than an integer id
    uint16_t id;
    std::u16string name;
};

struct PeResource {
    ResourceKey type;
    ResourceKey name;
    uint16_t language;
    uint32_t codePage;
    uint32_t size;
    // Where the bytes are: in the image read (imageOffset), in bytes, or in file.
    uint64_t imageOffset;
    std::vector<uint8_t> bytes;
    fs::path file;
};

ResourceKey IdKey(uint16_t id);
ResourceKey NameKey(const std::u16string &name);

// Reads every resource of an image. The data stay in the image: imageOffset and size say where.
// Returns: false with a reason when the image or its resource tree is malformed; an image
// without resources gives true and no items.
bool ReadPeResources(const std::vector<uint8_t> &image, std::vector<PeResource> *items,
                     std::string *error);

// The first resource of that type and name in any language, as FindResourceW finds it for a
// program whose own language is absent. Returns: the item, or null.
const PeResource *FindPeResource(const std::vector<PeResource> &items, const ResourceKey &type,
                                 const ResourceKey &name);

// Returns: false with a reason when a section's raw data or the headers run past the image's end,
// as in a truncated download.
bool CheckSectionsInsideFile(const std::vector<uint8_t> &image, std::string *error);

// Writes to output a copy of image whose resource tree is items (bytes, file or imageOffset
// into image). The resource section is rewritten in place when it is the image's last section,
// and appended as a new section otherwise; a signature and a symbol table after the sections
// are dropped. Returns: false with a reason when the image cannot take it or a write fails.
bool WritePeWithResources(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                          const fs::path &output, std::string *error);

// Reads the certificate table's data directory (file offset and size; zeros when unsigned).
// Returns: false when the image is not a PE image.
bool ReadPeCertificateTable(const std::vector<uint8_t> &image, uint32_t *offset, uint32_t *size);
