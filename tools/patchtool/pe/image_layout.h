#pragma once
// The parts of a PE image's headers that the resource writer reads and rewrites.
#include <stdint.h>

#include <string>
#include <vector>

enum : uint32_t {
    SectionHeaderSize = 40,
    ResourceDirectoryIndex = 2,
    SecurityDirectoryIndex = 4,
    DataDirectorySize = 8,
    HighBit = 0x80000000u,
};

// Offsets in the COFF file header, the optional header and a section header.
enum : uint32_t {
    CoffSectionCount = 2,
    CoffSymbolTable = 8,  // pointer and count, 8 bytes
    OptionalSizeOfImage = 56,
    OptionalChecksum = 64,
    SectionVirtualSize = 8,
    SectionVirtualAddress = 12,
    SectionRawSize = 16,
    SectionRawOffset = 20,
    SectionFlags = 36,
};

struct Section {
    uint32_t headerOffset;
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct PeLayout {
    uint32_t coffOffset;  // of the COFF file header
    uint32_t optionalOffset;
    bool pe64;
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint32_t sizeOfHeaders;
    uint32_t directoryCount;
    uint32_t directoriesOffset;  // file offset of the data directories
    std::vector<Section> sections;
};

// Returns: true when size bytes at offset lie inside the image.
bool Fits(const std::vector<uint8_t> &image, uint64_t offset, uint64_t size);

// Returns: false with "not a PE image" unless the headers and the section table are sound.
bool ParseLayout(const std::vector<uint8_t> &image, PeLayout *pe, std::string *error);

// Returns: the file offset of size bytes at rva, or false when they are not all in one section's
// raw data inside the image.
bool RvaToOffset(const std::vector<uint8_t> &image, const PeLayout &pe, uint32_t rva, uint32_t size,
                 uint64_t *offset);

// Returns: the file offset of data directory index.
inline uint32_t DirectoryOffset(const PeLayout &pe, uint32_t index)
{
    return pe.directoriesOffset + DataDirectorySize * index;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment);
