// Arbitrary files through the tool's search for compressed streams, as a base (every stream that
// inflates, in place or after its packed bytes) and as a new file (only those zlib makes again).
// The expanded forms must add up as their recipe lists say; anything else aborts.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "delta/encode/deflate_streams.h"

namespace {

void CheckForm(const ExpandedForm &form, uint64_t size, StreamUse use)
{
    bool base = use != StreamUse::Recreated;
    uint64_t packed = 0, expanded = 0, kept = 0;
    for (const PackedStream &s : form.streams) {
        packed += s.packedSize;
        expanded += s.expandedSize;
        kept += s.gap + s.packedSize;
        if (kept > size || (!base && !ValidSettings(s.settings)))
            abort();
    }
    uint64_t made =
        use == StreamUse::InflatableKeeping ? size + expanded : size - packed + expanded;
    if (form.bytes.size() != made || form.expandedBytes != expanded)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (StreamUse use :
         {StreamUse::Inflatable, StreamUse::InflatableKeeping, StreamUse::Recreated})
        CheckForm(ExpandStreams(data, size, use, 1 << 20), size, use);
    return 0;
}
