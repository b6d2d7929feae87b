#include "format/removal_list.h"
#include "stream/little_endian.h"

namespace {

const uint8_t RemovalMagic[4] = {'Q', 'R', 'M', 'V'};

// Takes n bytes from the reader. Returns: where they start, or null when fewer are left.
const uint8_t *Take(RemovalReader *r, uint32_t n)
{
    if (r->left < n)
        return nullptr;
    const uint8_t *p = r->at;
    r->at += n;
    r->left -= n;
    return p;
}

bool NameHasNoZero(const uint8_t *name, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i) {
        if (GetU16(name + 2 * i) == 0)
            return false;
    }
    return true;
}

}  // namespace

bool OpenRemovalList(const uint8_t *data, uint32_t size, RemovalReader *reader)
{
    if (!data || size < RemovalHeaderSize || data[0] != RemovalMagic[0] ||
        data[1] != RemovalMagic[1] || data[2] != RemovalMagic[2] || data[3] != RemovalMagic[3] ||
        GetU16(data + 4) != RemovalFormat || GetU16(data + 6) != 0)
        return false;
    *reader = RemovalReader{data + RemovalHeaderSize, size - RemovalHeaderSize, GetU32(data + 8)};
    return true;
}

RemovalRead NextRemoval(RemovalReader *reader, Removal *removal)
{
    if (reader->count == 0)
        return reader->left == 0 ? RemovalRead::End : RemovalRead::Malformed;
    --reader->count;
    const uint8_t *head = Take(reader, 4);
    if (!head || (head[0] != RemoveFile && head[0] != RemoveFolder) || head[1] != 0)
        return RemovalRead::Malformed;
    removal->kind = head[0];
    removal->nameLength = GetU16(head + 2);
    removal->name = Take(reader, 2 * removal->nameLength);
    if (removal->nameLength == 0 || removal->nameLength > MaxRemovalNameLength || !removal->name ||
        !NameHasNoZero(removal->name, removal->nameLength))
        return RemovalRead::Malformed;
    const uint8_t *count = Take(reader, 2);
    if (!count)
        return RemovalRead::Malformed;
    removal->identityCount = GetU16(count);
    removal->identities = Take(reader, removal->identityCount * RemovalIdentitySize);
    bool countFits =
        removal->kind == RemoveFile ? removal->identityCount > 0 : removal->identityCount == 0;
    return removal->identities && countFits ? RemovalRead::Record : RemovalRead::Malformed;
}

bool RemovalNamesContent(const Removal &removal, uint64_t size, uint32_t crc)
{
    for (uint32_t i = 0; i < removal.identityCount; ++i) {
        const uint8_t *identity = removal.identities + i * RemovalIdentitySize;
        if (GetU64(identity) == size && GetU32(identity + 8) == crc)
            return true;
    }
    return false;
}

void PutRemovalHeader(uint8_t *out, uint32_t count)
{
    for (uint32_t i = 0; i < 4; ++i)
        out[i] = RemovalMagic[i];
    PutU16(out + 4, RemovalFormat);
    PutU16(out + 6, 0);
    PutU32(out + 8, count);
}

void PutRemoval(uint8_t *out, uint8_t kind, const char16_t *name, uint32_t nameLength,
                const uint64_t *sizes, const uint32_t *crcs, uint32_t identityCount)
{
    out[0] = kind;
    out[1] = 0;
    PutU16(out + 2, (uint16_t)nameLength);
    out += 4;
    for (uint32_t i = 0; i < nameLength; ++i, out += 2)
        PutU16(out, (uint16_t)name[i]);
    PutU16(out, (uint16_t)identityCount);
    out += 2;
    for (uint32_t i = 0; i < identityCount; ++i, out += RemovalIdentitySize) {
        PutU64(out, sizes[i]);
        PutU32(out + 8, crcs[i]);
    }
}
