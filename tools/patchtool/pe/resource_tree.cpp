#include "tools/patchtool/pe/resource_tree.h"

#include "stream/little_endian.h"

namespace {

enum : uint32_t {
    DirectoryTableSize = 16,
    DirectoryEntrySize = 8,
    DataEntrySize = 16,
};

struct TreeReader {
    const std::vector<uint8_t> *image;
    const PeLayout *pe;
    uint64_t base;   // file offset of the resource directory
    uint64_t limit;  // bytes of raw data from base to the end of its section
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

void PutU16At(std::vector<uint8_t> *out, size_t at, uint16_t value)
{
    PutU16(&(*out)[at], value);
}

struct Group {
    ResourceKey key;
    std::vector<size_t> members;  // item indices, or (for types) name group indices
};

}  // namespace

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
        PutU16At(&out, offset, (uint16_t)key.name.size());
        for (size_t i = 0; i < key.name.size(); ++i) {
            PutU16At(&out, offset + 2 + 2 * i, key.name[i]);
        }
        return offset | HighBit;
    };
    auto writeTable = [&out](uint64_t table,
                             const std::vector<std::pair<ResourceKey, uint32_t>> &rows,
                             const std::vector<uint32_t> &keyFields) {
        uint16_t namedCount = 0;
        for (const auto &row : rows) {
            namedCount += row.first.named;
        }
        PutU16At(&out, table + 12, namedCount);
        PutU16At(&out, table + 14, (uint16_t)(rows.size() - namedCount));
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

ResourceKey IdKey(uint16_t id)
{
    return ResourceKey{false, id, std::u16string()};
}

ResourceKey NameKey(const std::u16string &name)
{
    return ResourceKey{true, 0, name};
}

bool ReadPeResources(const std::vector<uint8_t> &image, std::vector<PeResource> *items,
                     std::string *error)
{
    items->clear();
    PeLayout pe;
    if (!ParseLayout(image, &pe, error)) {
        return false;
    }
    uint32_t rva = GetU32(&image[DirectoryOffset(pe, ResourceDirectoryIndex)]);
    uint32_t size = GetU32(&image[DirectoryOffset(pe, ResourceDirectoryIndex) + 4]);
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
