// Arbitrary deltas through the installer's applier. The input is a u16 base length, that many
// base bytes, then the delta. The base reader aborts on any read outside the base; the sink
// keeps nothing. Steps are capped, since a small valid delta may name a very large result. A
// delta with a recipe goes through the recipe's applier, its expanded base held in memory up to
// a bound (a write past it fails, as a full disk would).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "delta/apply/delta_apply.h"
#include "delta/apply/delta_recipe_apply.h"

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

const size_t ExpandedBound = 1 << 20;

struct Expanded : DeltaBase, DeltaSink {
    std::vector<uint8_t> bytes;
};

bool ReadExpanded(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    const Expanded *e = static_cast<const Expanded *>(self);
    if (offset > e->size || length > e->size - offset || length > DeltaStepSize ||
        offset + length > e->bytes.size())
        return false;  // past what the expansion wrote: a short file
    memcpy(buffer, e->bytes.data() + offset, length);
    return true;
}

bool WriteExpanded(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    Expanded *e = const_cast<Expanded *>(static_cast<const Expanded *>(self));
    if (length > DeltaStepSize || e->bytes.size() + length > ExpandedBound)
        return false;
    e->bytes.insert(e->bytes.end(), bytes, bytes + length);
    return true;
}

struct Budget {
    int moves;
};

bool OutOfSteps(void *context)
{
    return ++((Budget *)context)->moves > 4096;
}

void ApplyWithRecipe(const uint8_t *delta, uint32_t size, const DeltaBase *base,
                     const DeltaSink *sink)
{
    DeltaHeader h;
    if (!GetDeltaHeader(delta, size, &h))
        return;
    Expanded e;
    e.size = h.expandedBaseSize;
    e.read = ReadExpanded;
    e.write = WriteExpanded;
    ExpandedStore store = {&e, &e};
    Budget budget = {0};
    DeltaObserver observer = {&budget, nullptr, OutOfSteps};
    ApplyRecipeDelta(delta, size, base, &store, sink, &observer);
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
    uint32_t deltaSize = (uint32_t)(size - 2 - baseSize);
    if (DeltaHasRecipe(delta, deltaSize)) {
        ApplyWithRecipe(delta, deltaSize, &base, &sink);
        return 0;
    }
    DeltaApplier *a;
    DeltaResult r =
        OpenDelta(delta, (uint32_t)(size - 2 - baseSize), &base, &sink, data[0] & 1, &a);
    for (int steps = 0; r == DeltaResult::InProgress && steps < 4096; ++steps)
        r = StepDelta(a);
    CloseDelta(a);
    return 0;
}
