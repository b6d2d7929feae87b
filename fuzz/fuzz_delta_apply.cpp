// Arbitrary deltas through the installer's applier. The input is a u16 base length, that many
// base bytes, then the delta. The base reader aborts on any read outside the base; the sink
// keeps nothing. Steps are capped, since a small valid delta may name a very large result.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "delta/apply/delta_apply.h"

namespace {

struct Base : DeltaBase {
    const uint8_t *bytes;
};

bool ReadBase(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    const Base *b = (const Base *)self;
    if (offset > b->size || length > b->size - offset || length > DeltaStepSize)
        abort();
    memcpy(buffer, b->bytes + offset, length);
    return true;
}

bool Discard(const DeltaSink *, const uint8_t *, uint32_t length)
{
    if (length == 0 || length > DeltaStepSize)
        abort();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t baseSize = data[0] | (size_t)data[1] << 8;
    if (baseSize > size - 2)
        return 0;
    Base base;
    base.size = baseSize;
    base.read = ReadBase;
    base.bytes = data + 2;
    DeltaSink sink;
    sink.write = Discard;
    const uint8_t *delta = data + 2 + baseSize;
    DeltaApplier *a;
    DeltaResult r =
        OpenDelta(delta, (uint32_t)(size - 2 - baseSize), &base, &sink, data[0] & 1, &a);
    for (int steps = 0; r == DeltaResult::InProgress && steps < 4096; ++steps)
        r = StepDelta(a);
    CloseDelta(a);
    return 0;
}
