// Arbitrary removal lists: reading never goes outside the list, and every record read keeps the
// rules (kind, name length without a zero unit, identities inside the list).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include "format/name_rule.h"
#include "format/removal_list.h"
#include "stream/little_endian.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RemovalReader reader;
    if (size > UINT32_MAX || !OpenRemovalList(data, (uint32_t)size, &reader))
        return 0;
    Removal r;
    while (NextRemoval(&reader, &r) == RemovalRead::Record) {
        const uint8_t *end = data + size;
        bool inside = r.name >= data && r.name + 2 * r.nameLength <= end &&
                      r.identities + r.identityCount * RemovalIdentitySize <= end;
        if (!inside || r.nameLength == 0 || r.nameLength > MaxRemovalNameLength ||
            (r.kind != RemoveFile && r.kind != RemoveFolder))
            abort();
        uint16_t name[MaxRemovalNameLength];
        for (uint32_t i = 0; i < r.nameLength; ++i) {
            name[i] = GetU16(r.name + 2 * i);
            if (name[i] == 0)
                abort();
        }
        NameStaysInside(name, r.nameLength);
        RemovalNamesContent(r, 0, 0);
    }
    return 0;
}
