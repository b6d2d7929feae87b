#include "tools/patchtool/pe/pe_resources.h"

#include <string.h>
#include <algorithm>

#include "tools/patchtool/format/patch_format.h"

namespace {

enum : uint32_t {
    SectionHeaderSize = 40,
    ResourceDirectoryIndex = 2,
    SecurityDirectoryIndex = 4,
    DirectoryTableSize = 16,
    DirectoryEntrySize = 8,
    DataEntrySize = 16,
    HighBit = 0x80000000u,
    ResourceSectionFlags = 0x40000040u,  // initialised data, readable
};

struct Section {
    uint32_t headerOffset;
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
};

struct PeLayout {
    uint32_t coffOffset;        // of the COFF file header
    uint32_t optionalOffset;
    bool pe64;
    uint32_t sectionAlignment;
    uint32_t fileAlignment;
    uint32_t sizeOfHeaders;
    uint32_t directoryCount;
    uint32_t directoriesOffset;  // file offset of the data directories
    std::vector<Section> sections;
};

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
    uint32_t sectionCount = GetU16(&image[pe->coffOffset + 2]);
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
    if ((uint64_t)pe->directoryCount * 8 > optionalSize - (countField + 4) ||
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
        pe->sections.push_back(Section{table + i * SectionHeaderSize, GetU32(h + 8), GetU32(h + 12),
                                       GetU32(h + 16), GetU32(h + 20)});
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

struct TreeReader {
    const std::vector<uint8_t> *image;
    const PeLayout *pe;
    uint64_t base;     // file offset of the resource directory
    uint64_t limit;    // bytes of raw data from base to the end of its section
    uint32_t baseRva;
    std::vector<PeResource> *items;
    std::string *error;
    uint32_t tablesVisited;
};

bool ReadKey(TreeReader *r, uint32_t field, ResourceKey *key)
{
    if (!(field & HighBit)) {
        *key = IdKey((uint16_t)field);
        return field <= 0xFFFF;
    }
    uint64_t at = field & ~HighBit;
    if (at + 2 > r->limit) {
        return false;
    }
    const uint8_t *p = &(*r->image)[r->base + at];
    uint32_t length = GetU16(p);
    if (at + 2 + 2 * (uint64_t)length > r->limit) {
        return false;
    }
    std::u16string name;
    for (uint32_t i = 0; i < length; ++i) {
        name.push_back((char16_t)GetU16(p + 2 + 2 * i));
    }
    *key = NameKey(name);
    return true;
}

bool ReadDataEntry(TreeReader *r, uint64_t at, PeResource *item)
{
    if (at + DataEntrySize > r->limit) {
        return false;
    }
    const uint8_t *p = &(*r->image)[r->base + at];
    item->size = GetU32(p + 4);
    item->codePage = GetU32(p + 8);
    return RvaToOffset(*r->image, *r->pe, GetU32(p), item->size, &item->imageOffset);
}

// Reads one directory table at level 0 (types), 1 (names) or 2 (languages).
bool ReadTable(TreeReader *r, uint64_t at, int level, PeResource *path)
{
    // Tables in a sound tree are visited once each; a loop would revisit them forever.
    if (++r->tablesVisited > 1000000 || at + DirectoryTableSize > r->limit) {
        return false;
    }
    const uint8_t *p = &(*r->image)[r->base + at];
    uint64_t count = (uint64_t)GetU16(p + 12) + GetU16(p + 14);
    if (at + DirectoryTableSize + count * DirectoryEntrySize > r->limit) {
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t *e = p + DirectoryTableSize + i * DirectoryEntrySize;
        uint32_t nameField = GetU32(e);
        uint32_t target = GetU32(e + 4);
        bool isTable = (target & HighBit) != 0;
        if (isTable != (level < 2)) {
            return false;
        }
        if (level == 0 && !ReadKey(r, nameField, &path->type)) {
            return false;
        }
        if (level == 1 && !ReadKey(r, nameField, &path->name)) {
            return false;
        }
        if (level == 2) {
            PeResource item = *path;
            item.language = (uint16_t)nameField;
            if (!ReadDataEntry(r, target, &item)) {
                return false;
            }
            r->items->push_back(item);
        } else if (!ReadTable(r, target & ~HighBit, level + 1, path)) {
            return false;
        }
    }
    return true;
}

bool KeyEquals(const ResourceKey &a, const ResourceKey &b)
{
    if (a.named != b.named) {
        return false;
    }
    if (!a.named) {
        return a.id == b.id;
    }
    if (a.name.size() != b.name.size()) {
        return false;
    }
    for (size_t i = 0; i < a.name.size(); ++i) {
        char16_t x = a.name[i] >= u'a' && a.name[i] <= u'z' ? a.name[i] - 32 : a.name[i];
        char16_t y = b.name[i] >= u'a' && b.name[i] <= u'z' ? b.name[i] - 32 : b.name[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Named entries come first, ordered by their units; then ids in increasing order.
bool KeyLess(const ResourceKey &a, const ResourceKey &b)
{
    if (a.named != b.named) {
        return a.named;
    }
    return a.named ? a.name < b.name : a.id < b.id;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

void Put16(std::vector<uint8_t> *out, size_t at, uint16_t value)
{
    (*out)[at] = (uint8_t)value;
    (*out)[at + 1] = (uint8_t)(value >> 8);
}

// The serialised tree: tables, then name strings, then data entries; the data follow it.
struct TreeImage {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> dataOffsets;  // per item, from the section's start
    uint64_t totalSize;
};

struct Group {
    ResourceKey key;
    std::vector<size_t> members;  // item indices, or (for types) name group indices
};

void BuildTree(const std::vector<PeResource> &sorted, uint32_t sectionRva, TreeImage *tree)
{
    // Group types and names; items are sorted by type, name and language.
    std::vector<Group> types;
    std::vector<Group> names;
    for (size_t i = 0; i < sorted.size(); ++i) {
        const PeResource &item = sorted[i];
        if (types.empty() || !KeyEquals(types.back().key, item.type)) {
            types.push_back(Group{item.type, {}});
        }
        if (types.back().members.empty() || !KeyEquals(names.back().key, item.name)) {
            names.push_back(Group{item.name, {}});
            types.back().members.push_back(names.size() - 1);
        }
        names.back().members.push_back(i);
    }
    // Offsets of every table: root, the type tables, then the name tables.
    uint64_t at = DirectoryTableSize + types.size() * DirectoryEntrySize;
    std::vector<uint64_t> typeTable(types.size());
    for (size_t t = 0; t < types.size(); ++t) {
        typeTable[t] = at;
        at += DirectoryTableSize + types[t].members.size() * DirectoryEntrySize;
    }
    std::vector<uint64_t> nameTable(names.size());
    for (size_t n = 0; n < names.size(); ++n) {
        nameTable[n] = at;
        at += DirectoryTableSize + names[n].members.size() * DirectoryEntrySize;
    }
    std::vector<uint8_t> &out = tree->bytes;
    out.assign(at, 0);
    // Strings for named keys.
    auto placeKey = [&out](const ResourceKey &key) -> uint32_t {
        if (!key.named) {
            return key.id;
        }
        uint32_t offset = (uint32_t)out.size();
        out.resize(out.size() + 2 + 2 * key.name.size());
        Put16(&out, offset, (uint16_t)key.name.size());
        for (size_t i = 0; i < key.name.size(); ++i) {
            Put16(&out, offset + 2 + 2 * i, key.name[i]);
        }
        return offset | HighBit;
    };
    auto writeTable = [&out](uint64_t table, const std::vector<std::pair<ResourceKey, uint32_t>> &rows,
                             const std::vector<uint32_t> &keyFields) {
        uint16_t namedCount = 0;
        for (const auto &row : rows) {
            namedCount += row.first.named;
        }
        Put16(&out, table + 12, namedCount);
        Put16(&out, table + 14, (uint16_t)(rows.size() - namedCount));
        for (size_t i = 0; i < rows.size(); ++i) {
            PutU32(&out[table + DirectoryTableSize + i * DirectoryEntrySize], keyFields[i]);
            PutU32(&out[table + DirectoryTableSize + i * DirectoryEntrySize + 4], rows[i].second);
        }
    };
    std::vector<std::pair<ResourceKey, uint32_t>> rows;
    std::vector<uint32_t> keys;
    for (size_t t = 0; t < types.size(); ++t) {
        rows.push_back({types[t].key, (uint32_t)typeTable[t] | HighBit});
        keys.push_back(placeKey(types[t].key));
    }
    writeTable(0, rows, keys);
    for (size_t t = 0; t < types.size(); ++t) {
        rows.clear();
        keys.clear();
        for (size_t n : types[t].members) {
            rows.push_back({names[n].key, (uint32_t)nameTable[n] | HighBit});
            keys.push_back(placeKey(names[n].key));
        }
        writeTable(typeTable[t], rows, keys);
    }
    // Data entries, then the data, each item's data aligned to 8 bytes.
    out.resize(AlignUp(out.size(), 8));
    uint64_t entries = out.size();
    out.resize(entries + sorted.size() * DataEntrySize);
    uint64_t data = out.size();
    tree->dataOffsets.resize(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        tree->dataOffsets[i] = data;
        data = AlignUp(data + sorted[i].size, 8);
    }
    tree->totalSize = data;
    for (size_t n = 0; n < names.size(); ++n) {
        rows.clear();
        keys.clear();
        for (size_t i : names[n].members) {
            rows.push_back({IdKey(sorted[i].language), (uint32_t)(entries + i * DataEntrySize)});
            keys.push_back(sorted[i].language);
        }
        writeTable(nameTable[n], rows, keys);
    }
    for (size_t i = 0; i < sorted.size(); ++i) {
        uint8_t *e = &out[entries + i * DataEntrySize];
        PutU32(e, sectionRva + (uint32_t)tree->dataOffsets[i]);
        PutU32(e + 4, sorted[i].size);
        PutU32(e + 8, sorted[i].codePage);
    }
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
    const uint8_t *data = item.bytes.empty() && item.size ? &image[item.imageOffset] : item.bytes.data();
    return item.size == 0 || fwrite(data, 1, item.size, file) == item.size;
}

}  // namespace

ResourceKey IdKey(uint16_t id) { return ResourceKey{false, id, std::u16string()}; }

ResourceKey NameKey(const std::u16string &name) { return ResourceKey{true, 0, name}; }

bool ReadPeResources(const std::vector<uint8_t> &image, std::vector<PeResource> *items,
                     std::string *error)
{
    items->clear();
    PeLayout pe;
    if (!ParseLayout(image, &pe, error)) {
        return false;
    }
    uint32_t rva = GetU32(&image[pe.directoriesOffset + 8 * ResourceDirectoryIndex]);
    uint32_t size = GetU32(&image[pe.directoriesOffset + 8 * ResourceDirectoryIndex + 4]);
    if (rva == 0 && size == 0) {
        return true;
    }
    TreeReader r = {&image, &pe, 0, 0, rva, items, error, 0};
    for (const Section &s : pe.sections) {
        if (rva >= s.virtualAddress && rva - (uint64_t)s.virtualAddress < s.rawSize) {
            r.base = s.rawOffset + (uint64_t)(rva - s.virtualAddress);
            r.limit = s.rawSize - (uint64_t)(rva - s.virtualAddress);
        }
    }
    if (r.limit == 0 || !Fits(image, r.base, r.limit)) {
        *error = "the resource directory lies outside the image's sections";
        return false;
    }
    PeResource path;
    path.language = 0;
    path.codePage = 0;
    path.size = 0;
    path.imageOffset = 0;
    if (!ReadTable(&r, 0, 0, &path)) {
        items->clear();
        *error = "the resource directory is malformed";
        return false;
    }
    return true;
}

const PeResource *FindPeResource(const std::vector<PeResource> &items, const ResourceKey &type,
                                 const ResourceKey &name)
{
    for (const PeResource &item : items) {
        if (KeyEquals(item.type, type) && KeyEquals(item.name, name)) {
            return &item;
        }
    }
    return nullptr;
}

bool ReadPeCertificateTable(const std::vector<uint8_t> &image, uint32_t *offset, uint32_t *size)
{
    PeLayout pe;
    std::string error;
    if (!ParseLayout(image, &pe, &error)) {
        return false;
    }
    *offset = GetU32(&image[pe.directoriesOffset + 8 * SecurityDirectoryIndex]);
    *size = GetU32(&image[pe.directoriesOffset + 8 * SecurityDirectoryIndex + 4]);
    return true;
}

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
    // Where the sections end, in memory and in the file.
    uint64_t memoryEnd = 0;
    uint64_t fileEnd = 0;
    size_t lastByAddress = 0;
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const Section &s = pe.sections[i];
        uint64_t end = s.virtualAddress + (uint64_t)std::max(s.virtualSize, s.rawSize);
        if (end >= memoryEnd) {
            memoryEnd = end;
            lastByAddress = i;
        }
        fileEnd = std::max<uint64_t>(fileEnd, (uint64_t)s.rawOffset + s.rawSize);
    }
    uint32_t resourceRva = GetU32(&image[pe.directoriesOffset + 8 * ResourceDirectoryIndex]);
    const Section &last = pe.sections[lastByAddress];
    Section target = {};
    bool reuse = resourceRva != 0 && resourceRva == last.virtualAddress &&
                 (uint64_t)last.rawOffset + last.rawSize == fileEnd && last.rawOffset != 0;
    // A relocation table right after the resources is moved behind the new ones: nothing refers
    // to its place but its data directory, and the old resources are not left as dead weight.
    const Section *moved = nullptr;
    if (!reuse && resourceRva != 0 && pe.sections.size() >= 2 &&
        memcmp(&image[last.headerOffset], ".reloc", 6) == 0 && (uint64_t)last.rawOffset + last.rawSize == fileEnd) {
        for (const Section &s : pe.sections) {
            if (s.virtualAddress == resourceRva && s.rawOffset != 0 &&
                AlignUp(s.virtualAddress + (uint64_t)std::max(s.virtualSize, s.rawSize), pe.sectionAlignment) ==
                    last.virtualAddress &&
                (uint64_t)s.rawOffset + s.rawSize == last.rawOffset) {
                moved = &last;
                target = s;
                reuse = true;
            }
        }
    }
    uint32_t sectionCount = (uint32_t)pe.sections.size();
    if (reuse && !moved) {
        target = last;
    } else if (!reuse) {
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
        target.headerOffset = pe.sections.back().headerOffset + SectionHeaderSize;
        target.virtualAddress = (uint32_t)AlignUp(memoryEnd, pe.sectionAlignment);
        target.rawOffset = (uint32_t)AlignUp(fileEnd, pe.fileAlignment);
        sectionCount += 1;
    }
    TreeImage tree;
    BuildTree(sorted, target.virtualAddress, &tree);
    uint64_t rawSize = AlignUp(tree.totalSize, pe.fileAlignment);
    uint64_t imageSize = AlignUp(target.virtualAddress + tree.totalSize, pe.sectionAlignment);
    Section relocated = {};
    if (moved) {
        relocated = *moved;
        relocated.virtualAddress = (uint32_t)imageSize;
        relocated.rawOffset = (uint32_t)(target.rawOffset + rawSize);
        imageSize = AlignUp(relocated.virtualAddress + (uint64_t)std::max(moved->virtualSize, moved->rawSize),
                            pe.sectionAlignment);
    }
    if (imageSize > 0x7FFFFFFF || target.rawOffset + rawSize > 0xFFFFFFFFu) {
        *error = "the resources are too large for a Windows executable";
        return false;
    }
    // Headers and every section's raw data before the resource section, with updated fields.
    std::vector<uint8_t> head(image.begin(), image.begin() + std::min<uint64_t>(fileEnd, target.rawOffset));
    head.resize(target.rawOffset, 0);
    uint8_t *header = &head[target.headerOffset];
    if (!reuse) {
        memset(header, 0, SectionHeaderSize);
        memcpy(header, ".rsrc", 5);
    }
    PutU32(header + 8, (uint32_t)tree.totalSize);
    PutU32(header + 12, target.virtualAddress);
    PutU32(header + 16, (uint32_t)rawSize);
    PutU32(header + 20, target.rawOffset);
    PutU32(header + 36, ResourceSectionFlags);
    head[pe.coffOffset + 2] = (uint8_t)sectionCount;
    head[pe.coffOffset + 3] = (uint8_t)(sectionCount >> 8);
    PutU64(&head[pe.coffOffset + 8], 0);  // no symbol table: nothing follows the sections
    PutU32(&head[pe.optionalOffset + 56], (uint32_t)imageSize);
    PutU32(&head[pe.optionalOffset + 64], 0);  // checksum: not checked for programs
    PutU32(&head[pe.directoriesOffset + 8 * ResourceDirectoryIndex], target.virtualAddress);
    PutU32(&head[pe.directoriesOffset + 8 * ResourceDirectoryIndex + 4], (uint32_t)tree.totalSize);
    PutU64(&head[pe.directoriesOffset + 8 * SecurityDirectoryIndex], 0);
    if (moved) {
        PutU32(&head[moved->headerOffset + 12], relocated.virtualAddress);
        PutU32(&head[moved->headerOffset + 20], relocated.rawOffset);
        for (uint32_t d = 0; d < pe.directoryCount; ++d) {
            uint8_t *entry = &head[pe.directoriesOffset + 8 * d];
            uint32_t rva = GetU32(entry);
            if (d != ResourceDirectoryIndex && rva >= moved->virtualAddress &&
                rva - moved->virtualAddress < std::max(moved->virtualSize, moved->rawSize)) {
                PutU32(entry, rva - moved->virtualAddress + relocated.virtualAddress);
            }
        }
    }

    FILE *file = OpenFile(output, "wb");
    if (!file) {
        *error = "cannot create " + PathText(output);
        return false;
    }
    bool ok = fwrite(head.data(), 1, head.size(), file) == head.size() &&
              fwrite(tree.bytes.data(), 1, tree.bytes.size(), file) == tree.bytes.size();
    uint64_t written = tree.bytes.size();
    for (size_t i = 0; ok && i < sorted.size(); ++i) {
        ok = WriteZeros(file, tree.dataOffsets[i] - written) && WriteItemData(file, image, sorted[i]);
        written = tree.dataOffsets[i] + sorted[i].size;
    }
    ok = ok && WriteZeros(file, rawSize - written);
    if (moved && moved->rawSize) {
        ok = ok && fwrite(&image[moved->rawOffset], 1, moved->rawSize, file) == moved->rawSize;
    }
    ok = (fclose(file) == 0) && ok;
    if (!ok) {
        *error = "cannot write " + PathText(output);
    }
    return ok;
}

bool CheckSectionsInsideFile(const std::vector<uint8_t> &image, std::string *error)
{
    PeLayout pe;
    if (!ParseLayout(image, &pe, error)) {
        return false;
    }
    if (pe.sizeOfHeaders > image.size()) {
        *error = "the headers run past the end of the file (" + std::to_string(image.size()) + " bytes)";
        return false;
    }
    for (const Section &s : pe.sections) {
        if (s.rawSize != 0 && !Fits(image, s.rawOffset, s.rawSize)) {
            char name[9] = {0};
            memcpy(name, &image[s.headerOffset], 8);
            *error = std::string("section ") + name + " (" + std::to_string(s.rawSize) + " bytes at " +
                     std::to_string(s.rawOffset) + ") runs past the end of the file (" +
                     std::to_string(image.size()) + " bytes): the file is truncated";
            return false;
        }
    }
    return true;
}
