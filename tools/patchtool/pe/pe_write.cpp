// Writing an image with a new resource tree: choose where the resource section goes, patch the
// headers for it, then write headers, tree, data and any section moved behind it.
#include <string.h>

#include <algorithm>

#include "stream/little_endian.h"
#include "tools/patchtool/host/files.h"
#include "tools/patchtool/pe/image_layout.h"
#include "tools/patchtool/pe/pe_resources.h"
#include "tools/patchtool/pe/resource_tree.h"

namespace {

const uint32_t ResourceSectionFlags = 0x40000040u;  // initialised data, readable

// Where the new resource section goes.
struct Placement {
    Section target = {};             // the resource section's header, address and file offset
    const Section *moved = nullptr;  // a relocation section moved behind the resources
    bool reuse = false;              // target is an existing section header
    uint32_t sectionCount = 0;
    uint64_t memoryEnd = 0;  // where the sections end, in memory and in the file
    uint64_t fileEnd = 0;
    size_t lastByAddress = 0;
};

// The sizes that follow from the tree's size.
struct Sizes {
    uint64_t rawSize;
    uint64_t imageSize;
    Section relocated;  // the moved section's new place
};

std::vector<PeResource> SortedItems(const std::vector<PeResource> &items)
{
    std::vector<PeResource> sorted = items;
    std::stable_sort(sorted.begin(), sorted.end(), [](const PeResource &a, const PeResource &b) {
        if (!KeyEquals(a.type, b.type)) {
            return KeyLess(a.type, b.type);
        }
        if (!KeyEquals(a.name, b.name)) {
            return KeyLess(a.name, b.name);
        }
        return a.language < b.language;
    });
    return sorted;
}

void FindSectionEnds(const PeLayout &pe, Placement *p)
{
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const Section &s = pe.sections[i];
        uint64_t end = s.virtualAddress + (uint64_t)std::max(s.virtualSize, s.rawSize);
        if (end >= p->memoryEnd) {
            p->memoryEnd = end;
            p->lastByAddress = i;
        }
        p->fileEnd = std::max<uint64_t>(p->fileEnd, (uint64_t)s.rawOffset + s.rawSize);
    }
}

// A relocation table right after the resources is moved behind the new ones: nothing refers
// to its place but its data directory, and the old resources are not left as dead weight.
void FindMovableRelocations(const std::vector<uint8_t> &image, const PeLayout &pe,
                            uint32_t resourceRva, Placement *p)
{
    const Section &last = pe.sections[p->lastByAddress];
    if (p->reuse || resourceRva == 0 || pe.sections.size() < 2 ||
        memcmp(&image[last.headerOffset], ".reloc", 6) != 0 ||
        (uint64_t)last.rawOffset + last.rawSize != p->fileEnd) {
        return;
    }
    for (const Section &s : pe.sections) {
        if (s.virtualAddress == resourceRva && s.rawOffset != 0 &&
            AlignUp(s.virtualAddress + (uint64_t)std::max(s.virtualSize, s.rawSize),
                    pe.sectionAlignment) == last.virtualAddress &&
            (uint64_t)s.rawOffset + s.rawSize == last.rawOffset) {
            p->moved = &last;
            p->target = s;
            p->reuse = true;
        }
    }
}

// The resource section is rewritten in place when it is the image's last section, takes the
// place of resources followed by relocations, or is appended as a new section.
// Returns: false with a reason when the image has no room for one more section header.
bool ChooseSection(const std::vector<uint8_t> &image, const PeLayout &pe, Placement *p,
                   std::string *error)
{
    FindSectionEnds(pe, p);
    uint32_t resourceRva = GetU32(&image[DirectoryOffset(pe, ResourceDirectoryIndex)]);
    const Section &last = pe.sections[p->lastByAddress];
    p->reuse = resourceRva != 0 && resourceRva == last.virtualAddress &&
               (uint64_t)last.rawOffset + last.rawSize == p->fileEnd && last.rawOffset != 0;
    FindMovableRelocations(image, pe, resourceRva, p);
    p->sectionCount = (uint32_t)pe.sections.size();
    if (p->reuse && !p->moved) {
        p->target = last;
    } else if (!p->reuse) {
        uint64_t headerEnd = (uint64_t)pe.sections.back().headerOffset + 2 * SectionHeaderSize;
        uint64_t firstRaw = UINT64_MAX;
        for (const Section &s : pe.sections) {
            if (s.rawSize) {
                firstRaw = std::min<uint64_t>(firstRaw, s.rawOffset);
            }
        }
        if (headerEnd > pe.sizeOfHeaders || headerEnd > firstRaw) {
            *error = "the image has no room for one more section header";
            return false;
        }
        p->target.headerOffset = pe.sections.back().headerOffset + SectionHeaderSize;
        p->target.virtualAddress = (uint32_t)AlignUp(p->memoryEnd, pe.sectionAlignment);
        p->target.rawOffset = (uint32_t)AlignUp(p->fileEnd, pe.fileAlignment);
        p->sectionCount += 1;
    }
    return true;
}

Sizes ComputeSizes(const PeLayout &pe, const Placement &p, const TreeImage &tree)
{
    Sizes z = {};
    z.rawSize = AlignUp(tree.totalSize, pe.fileAlignment);
    z.imageSize = AlignUp(p.target.virtualAddress + tree.totalSize, pe.sectionAlignment);
    if (p.moved) {
        z.relocated = *p.moved;
        z.relocated.virtualAddress = (uint32_t)z.imageSize;
        z.relocated.rawOffset = (uint32_t)(p.target.rawOffset + z.rawSize);
        z.imageSize = AlignUp(z.relocated.virtualAddress +
                                  (uint64_t)std::max(p.moved->virtualSize, p.moved->rawSize),
                              pe.sectionAlignment);
    }
    return z;
}

// Points every data directory into the moved section at its new place.
void MoveSection(const PeLayout &pe, const Placement &p, const Sizes &z, std::vector<uint8_t> *head)
{
    const Section *moved = p.moved;
    PutU32(&(*head)[moved->headerOffset + SectionVirtualAddress], z.relocated.virtualAddress);
    PutU32(&(*head)[moved->headerOffset + SectionRawOffset], z.relocated.rawOffset);
    for (uint32_t d = 0; d < pe.directoryCount; ++d) {
        uint8_t *entry = &(*head)[DirectoryOffset(pe, d)];
        uint32_t rva = GetU32(entry);
        if (d != ResourceDirectoryIndex && rva >= moved->virtualAddress &&
            rva - moved->virtualAddress < std::max(moved->virtualSize, moved->rawSize)) {
            PutU32(entry, rva - moved->virtualAddress + z.relocated.virtualAddress);
        }
    }
}

// Returns: the headers and every section's raw data before the resource section, with updated
// fields.
std::vector<uint8_t> PatchHeaders(const std::vector<uint8_t> &image, const PeLayout &pe,
                                  const Placement &p, const TreeImage &tree, const Sizes &z)
{
    const Section &target = p.target;
    std::vector<uint8_t> head(image.begin(),
                              image.begin() + std::min<uint64_t>(p.fileEnd, target.rawOffset));
    head.resize(target.rawOffset, 0);
    uint8_t *header = &head[target.headerOffset];
    if (!p.reuse) {
        memset(header, 0, SectionHeaderSize);
        memcpy(header, ".rsrc", 5);
    }
    PutU32(header + SectionVirtualSize, (uint32_t)tree.totalSize);
    PutU32(header + SectionVirtualAddress, target.virtualAddress);
    PutU32(header + SectionRawSize, (uint32_t)z.rawSize);
    PutU32(header + SectionRawOffset, target.rawOffset);
    PutU32(header + SectionFlags, ResourceSectionFlags);
    PutU16(&head[pe.coffOffset + CoffSectionCount], (uint16_t)p.sectionCount);
    PutU64(&head[pe.coffOffset + CoffSymbolTable],
           0);  // no symbol table: nothing follows the sections
    PutU32(&head[pe.optionalOffset + OptionalSizeOfImage], (uint32_t)z.imageSize);
    PutU32(&head[pe.optionalOffset + OptionalChecksum], 0);  // not checked for programs
    PutU32(&head[DirectoryOffset(pe, ResourceDirectoryIndex)], target.virtualAddress);
    PutU32(&head[DirectoryOffset(pe, ResourceDirectoryIndex) + 4], (uint32_t)tree.totalSize);
    PutU64(&head[DirectoryOffset(pe, SecurityDirectoryIndex)], 0);
    if (p.moved) {
        MoveSection(pe, p, z, &head);
    }
    return head;
}

bool WriteZeros(FILE *file, uint64_t count)
{
    static const uint8_t zeros[4096] = {0};
    while (count > 0) {
        size_t n = count < sizeof zeros ? (size_t)count : sizeof zeros;
        if (fwrite(zeros, 1, n, file) != n) {
            return false;
        }
        count -= n;
    }
    return true;
}

bool WriteItemData(FILE *file, const std::vector<uint8_t> &image, const PeResource &item)
{
    if (!item.file.empty()) {
        FILE *in = OpenFile(item.file, "rb");
        if (!in) {
            return false;
        }
        uint8_t buffer[1 << 16];
        uint64_t left = item.size;
        bool ok = true;
        while (ok && left > 0) {
            size_t n = left < sizeof buffer ? (size_t)left : sizeof buffer;
            ok = fread(buffer, 1, n, in) == n && fwrite(buffer, 1, n, file) == n;
            left -= n;
        }
        fclose(in);
        return ok;
    }
    const uint8_t *data =
        item.bytes.empty() && item.size ? &image[item.imageOffset] : item.bytes.data();
    return item.size == 0 || fwrite(data, 1, item.size, file) == item.size;
}

// Writes head, the tree, every item's data (8-aligned) and the moved section to output.
bool WriteImage(const fs::path &output, const std::vector<uint8_t> &image,
                const std::vector<uint8_t> &head, const TreeImage &tree,
                const std::vector<PeResource> &sorted, const Placement &p, const Sizes &z,
                std::string *error)
{
    FILE *file = OpenFile(output, "wb");
    if (!file) {
        *error = "cannot create " + PathText(output);
        return false;
    }
    bool ok = fwrite(head.data(), 1, head.size(), file) == head.size() &&
              fwrite(tree.bytes.data(), 1, tree.bytes.size(), file) == tree.bytes.size();
    uint64_t written = tree.bytes.size();
    for (size_t i = 0; ok && i < sorted.size(); ++i) {
        ok = WriteZeros(file, tree.dataOffsets[i] - written) &&
             WriteItemData(file, image, sorted[i]);
        written = tree.dataOffsets[i] + sorted[i].size;
    }
    ok = ok && WriteZeros(file, z.rawSize - written);
    if (p.moved && p.moved->rawSize) {
        ok =
            ok && fwrite(&image[p.moved->rawOffset], 1, p.moved->rawSize, file) == p.moved->rawSize;
    }
    ok = (fclose(file) == 0) && ok;
    if (!ok) {
        *error = "cannot write " + PathText(output);
    }
    return ok;
}

}  // namespace

bool WritePeWithResources(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                          const fs::path &output, std::string *error)
{
    PeLayout pe;
    if (!ParseLayout(image, &pe, error) || pe.sections.empty()) {
        if (error->empty()) {
            *error = "the image has no sections";
        }
        return false;
    }
    std::vector<PeResource> sorted = SortedItems(items);
    Placement placement;
    if (!ChooseSection(image, pe, &placement, error)) {
        return false;
    }
    TreeImage tree;
    BuildTree(sorted, placement.target.virtualAddress, &tree);
    Sizes sizes = ComputeSizes(pe, placement, tree);
    if (sizes.imageSize > 0x7FFFFFFF || placement.target.rawOffset + sizes.rawSize > 0xFFFFFFFFu) {
        *error = "the resources are too large for a Windows executable";
        return false;
    }
    std::vector<uint8_t> head = PatchHeaders(image, pe, placement, tree, sizes);
    return WriteImage(output, image, head, tree, sorted, placement, sizes, error);
}
