#include "delta/encode/delta_encode.h"

#include <algorithm>

#include "delta/common/delta_recipe.h"
#include "delta/encode/deflate_streams.h"

namespace {

const uint64_t ExpandedBound = 16;

std::vector<uint8_t> RecipeOf(const ExpandedForm &base, const ExpandedForm &result,
                              const DeltaHeader &expanded)
{
    std::vector<uint8_t> r(4 + RecipeFixedBytes);
    PutU64(r.data() + 4 + RecipeBaseSizeAt, expanded.baseSize);
    PutU32(r.data() + 4 + RecipeBaseCrcAt, expanded.baseCrc);
    PutU64(r.data() + 4 + RecipeResultSizeAt, expanded.resultSize);
    PutU32(r.data() + 4 + RecipeResultCrcAt, expanded.resultCrc);
    uint8_t v[DeltaMaxVarintBytes];
    r.insert(r.end(), v, v + PutDeltaVarint(v, base.streams.size()));
    for (const PackedStream &s : base.streams)
        PutPackedStream(&r, s, false);
    r.insert(r.end(), v, v + PutDeltaVarint(v, result.streams.size()));
    for (const PackedStream &s : result.streams)
        PutPackedStream(&r, s, true);
    PutU32(r.data(), (uint32_t)(r.size() - 4));
    return r;
}

}  // namespace

bool EncodeExpandedDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error)
{
    error->clear();
    // Expansion stays within the encoder's input limit, and within a bound that keeps a stream
    // of many times its size (deflate's most is about 1000) from taking the tool's memory.
    uint64_t room =
        options.inputLimit == UINT64_MAX ? UINT64_MAX : options.inputLimit - oldSize - newSize;
    uint64_t bound =
        std::min<uint64_t>(room / 2, ExpandedBound * (oldSize + newSize) + (64ull << 20));
    ExpandedForm base = ExpandStreams(old, oldSize, StreamUse::Inflatable, bound);
    ExpandedForm result = ExpandStreams(neu, newSize, StreamUse::Recreated, bound);
    if (base.streams.empty() && result.streams.empty())
        return false;
    std::vector<uint8_t> delta;
    if (!EncodeDelta(base.bytes.data(), base.bytes.size(), result.bytes.data(), result.bytes.size(),
                     options, &delta, error))
        return false;
    DeltaHeader h;
    GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h);
    std::vector<uint8_t> recipe = RecipeOf(base, result, h);
    if (recipe.size() - 4 > RecipeMaxBytes) {
        *error = "too many compressed streams for one recipe";
        return false;
    }
    h.flags = DeltaFlagRecipe;
    h.baseSize = oldSize;
    h.baseCrc = Crc32Of(old, oldSize);
    h.resultSize = newSize;
    h.resultCrc = Crc32Of(neu, newSize);
    PutDeltaHeader(delta.data(), h);
    delta.insert(delta.begin() + DeltaHeaderSize, recipe.begin(), recipe.end());
    out->swap(delta);
    return true;
}

bool EncodeSmallestDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error)
{
    if (!EncodeDelta(old, oldSize, neu, newSize, options, out, error))
        return false;
    std::vector<uint8_t> expanded;
    if (EncodeExpandedDelta(old, oldSize, neu, newSize, options, &expanded, error) &&
        expanded.size() < out->size())
        out->swap(expanded);
    return error->empty();
}
