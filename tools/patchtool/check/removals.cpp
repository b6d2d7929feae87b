#include "tools/patchtool/check/removals.h"

#include "format/name_rule.h"
#include "format/removal_list.h"
#include "stream/little_endian.h"
#include "tools/patchtool/format/patch_format.h"

namespace {

RemovalInfo Info(const Removal &r)
{
    RemovalInfo info = {r.kind, std::u16string(r.nameLength, u'\0'), {}};
    GetNameUnits(r.name, r.nameLength, &info.name[0]);
    for (uint32_t i = 0; i < r.identityCount; ++i) {
        const uint8_t *identity = r.identities + i * RemovalIdentitySize;
        info.identities.push_back(FileIdentity{GetU64(identity), GetU32(identity + 8)});
    }
    return info;
}

}  // namespace

std::string ReadRemovals(const LoadedPatch &patch, std::vector<RemovalInfo> *removals)
{
    removals->clear();
    const ChunkView &list = patch.removals;
    if (!list.data) {
        return std::string();
    }
    RemovalReader reader;
    if (list.size > MaxChunkBytes || !OpenRemovalList(list.data, (uint32_t)list.size, &reader)) {
        return "the removal list's header is damaged";
    }
    Removal r;
    RemovalRead read;
    while ((read = NextRemoval(&reader, &r)) == RemovalRead::Record) {
        removals->push_back(Info(r));
        const std::u16string &name = removals->back().name;
        if (!NameStaysInside(name.data(), (uint32_t)name.size())) {
            std::string text;
            Utf16ToUtf8(name, &text);
            return "the removal list names \"" + text + "\", which leaves the game folder";
        }
    }
    if (read == RemovalRead::Malformed) {
        return "the removal list is damaged after record " + std::to_string(removals->size());
    }
    return std::string();
}
