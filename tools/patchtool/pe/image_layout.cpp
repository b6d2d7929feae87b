#include "tools/patchtool/pe/image_layout.h"

#include <string.h>

#include <algorithm>

#include "stream/little_endian.h"
#include "tools/patchtool/pe/pe_resources.h"

bool Fits(const std::vector<uint8_t> &image, uint64_t offset, uint64_t size)
{
    return offset <= image.size() && size <= image.size() - offset;
}

bool ParseLayout(const std::vector<uint8_t> &image, PeLayout *pe, std::string *error)
{
    *error = "not a PE image";
    if (!Fits(image, 0, 64) || image[0] != 'M' || image[1] != 'Z') {
        return false;
    }
    uint32_t peOffset = GetU32(&image[0x3C]);
    if (!Fits(image, peOffset, 24) || memcmp(&image[peOffset], "PE\0\0", 4) != 0) {
        return false;
    }
    pe->coffOffset = peOffset + 4;
    uint32_t sectionCount = GetU16(&image[pe->coffOffset + CoffSectionCount]);
    uint32_t optionalSize = GetU16(&image[pe->coffOffset + 16]);
    pe->optionalOffset = pe->coffOffset + 20;
    if (!Fits(image, pe->optionalOffset, optionalSize) || optionalSize < 96) {
        return false;
    }
    const uint8_t *opt = &image[pe->optionalOffset];
    uint16_t magic = GetU16(opt);
    if (magic != 0x10B && magic != 0x20B) {
        return false;
    }
    pe->pe64 = magic == 0x20B;
    pe->sectionAlignment = GetU32(opt + 32);
    pe->fileAlignment = GetU32(opt + 36);
    pe->sizeOfHeaders = GetU32(opt + 60);
    uint32_t countField = pe->pe64 ? 108 : 92;
    if (optionalSize < countField + 4) {
        return false;
    }
    pe->directoryCount = GetU32(opt + countField);
    pe->directoriesOffset = pe->optionalOffset + countField + 4;
    if ((uint64_t)pe->directoryCount * DataDirectorySize > optionalSize - (countField + 4) ||
        pe->directoryCount <= SecurityDirectoryIndex || pe->fileAlignment == 0 ||
        pe->sectionAlignment == 0) {
        return false;
    }
    uint32_t table = pe->optionalOffset + optionalSize;
    if (!Fits(image, table, (uint64_t)sectionCount * SectionHeaderSize)) {
        return false;
    }
    pe->sections.clear();
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *h = &image[table + i * SectionHeaderSize];
        pe->sections.push_back(Section{table + i * SectionHeaderSize,
                                       GetU32(h + SectionVirtualSize),
                                       GetU32(h + SectionVirtualAddress),
                                       GetU32(h + SectionRawSize), GetU32(h + SectionRawOffset)});
    }
    error->clear();
    return true;
}

// Returns: the file offset of size bytes at rva, or false when they are not all in one section's
// raw data inside the image.
bool RvaToOffset(const std::vector<uint8_t> &image, const PeLayout &pe, uint32_t rva, uint32_t size,
                 uint64_t *offset)
{
    for (const Section &s : pe.sections) {
        uint64_t span = std::max(s.virtualSize, s.rawSize);
        if (rva >= s.virtualAddress && rva - (uint64_t)s.virtualAddress < span) {
            uint64_t within = rva - (uint64_t)s.virtualAddress;
            if (within + size > s.rawSize || !Fits(image, s.rawOffset + within, size)) {
                return false;
            }
            *offset = s.rawOffset + within;
            return true;
        }
    }
    return false;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

bool ReadPeCertificateTable(const std::vector<uint8_t> &image, uint32_t *offset, uint32_t *size)
{
    PeLayout pe;
    std::string error;
    if (!ParseLayout(image, &pe, &error)) {
        return false;
    }
    *offset = GetU32(&image[DirectoryOffset(pe, SecurityDirectoryIndex)]);
    *size = GetU32(&image[DirectoryOffset(pe, SecurityDirectoryIndex) + 4]);
    return true;
}

bool CheckSectionsInsideFile(const std::vector<uint8_t> &image, std::string *error)
{
    PeLayout pe;
    if (!ParseLayout(image, &pe, error)) {
        return false;
    }
    if (pe.sizeOfHeaders > image.size()) {
        *error =
            "the headers run past the end of the file (" + std::to_string(image.size()) + " bytes)";
        return false;
    }
    for (const Section &s : pe.sections) {
        if (s.rawSize != 0 && !Fits(image, s.rawOffset, s.rawSize)) {
            char name[9] = {0};
            memcpy(name, &image[s.headerOffset], 8);
            *error = std::string("section ") + name + " (" + std::to_string(s.rawSize) +
                     " bytes at " + std::to_string(s.rawOffset) +
                     ") runs past the end of the file (" + std::to_string(image.size()) +
                     " bytes): the file is truncated";
            return false;
        }
    }
    return true;
}
