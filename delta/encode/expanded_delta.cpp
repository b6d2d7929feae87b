#include "delta/encode/delta_encode.h"

#include <algorithm>

#include "delta/common/delta_recipe.h"
#include "delta/encode/deflate_streams.h"

namespace {

const uint64_t ExpandedBound = 16;

std::vector<uint8_t> RecipeOf(const ExpandedForm &base, const ExpandedForm &result,
                              bool keepsPacked, const DeltaHeader &expanded)
{
    std::vector<uint8_t> r(4 + RecipeFixedBytes);
    PutU64(r.data() + 4 + RecipeBaseSizeAt, expanded.baseSize);
    PutU32(r.data() + 4 + RecipeBaseCrcAt, expanded.baseCrc);
    PutU64(r.data() + 4 + RecipeResultSizeAt, expanded.resultSize);
    PutU32(r.data() + 4 + RecipeResultCrcAt, expanded.resultCrc);
    r[4 + RecipeFlagsAt] = keepsPacked ? RecipeKeepsPacked : 0;
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

// Both files' expanded forms. Expansion stays within the encoder's input limit, and within a bound
// that keeps a stream of many times its size (deflate's most is about 1000) from taking the
// tool's memory.
struct Forms {
    ExpandedForm base;
    ExpandedForm result;
};

// Returns: true when the base keeps its packed bytes (RecipeKeepsPacked): a new file's stream
// that is not made again may match them.
bool KeepsPacked(const ExpandedForm &result)
{
    return result.leftPacked > 0;
}

Forms ExpandBoth(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                 const DeltaOptions &options)
{
    uint64_t room =
        options.inputLimit == UINT64_MAX ? UINT64_MAX : options.inputLimit - oldSize - newSize;
    uint64_t bound =
        std::min<uint64_t>(room / 2, ExpandedBound * (oldSize + newSize) + (64ull << 20));
    Forms f;
    f.result = ExpandStreams(neu, newSize, StreamUse::Recreated, bound);
    bool keeping = KeepsPacked(f.result);
    f.base = ExpandStreams(old, oldSize,
                           keeping ? StreamUse::InflatableKeeping : StreamUse::Inflatable, bound);
    return f;
}

// Returns: true with the delta between the forms and its recipe; false with *error empty when
// they have no stream or cannot make one delta (over the input limit, a recipe too long); false
// with a reason.
bool EncodeForms(const Forms &f, const uint8_t *old, uint64_t oldSize, const uint8_t *neu,
                 uint64_t newSize, const DeltaOptions &options, std::vector<uint8_t> *out,
                 std::string *error)
{
    error->clear();
    std::string tooLarge;
    if ((f.base.streams.empty() && f.result.streams.empty()) ||
        f.base.streams.size() > RecipeMaxStreams || f.result.streams.size() > RecipeMaxStreams ||
        !DeltaInputsFit(f.base.bytes.size(), f.result.bytes.size(), options, &tooLarge))
        return false;
    std::vector<uint8_t> delta;
    if (!EncodeDelta(f.base.bytes.data(), f.base.bytes.size(), f.result.bytes.data(),
                     f.result.bytes.size(), options, &delta, error))
        return false;
    DeltaHeader h;
    GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h);
    std::vector<uint8_t> recipe = RecipeOf(f.base, f.result, KeepsPacked(f.result), h);
    if (recipe.size() - 4 > RecipeMaxBytes)
        return false;
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

// Returns: true when the streams made again hold most of the new file: a delta of the bytes would
// carry every changed member packed, and is not worth encoding beside the expanded one.
bool MostlyRecreated(const ExpandedForm &result, uint64_t newSize)
{
    uint64_t packed = 0;
    for (const PackedStream &s : result.streams)
        packed += s.packedSize;
    return packed > newSize / 2;
}

}  // namespace

bool EncodeExpandedDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error)
{
    Forms forms = ExpandBoth(old, oldSize, neu, newSize, options);
    return EncodeForms(forms, old, oldSize, neu, newSize, options, out, error);
}

bool EncodeSmallestDelta(const uint8_t *old, uint64_t oldSize, const uint8_t *neu, uint64_t newSize,
                         const DeltaOptions &options, std::vector<uint8_t> *out, std::string *error)
{
    bool expanded;
    std::vector<uint8_t> plain;
    {
        Forms forms = ExpandBoth(old, oldSize, neu, newSize, options);
        expanded = EncodeForms(forms, old, oldSize, neu, newSize, options, out, error);
        if (!expanded && !error->empty())
            return false;
        if (expanded && MostlyRecreated(forms.result, newSize))
            return true;
    }  // the forms' memory goes before the plain delta is encoded
    if (!EncodeDelta(old, oldSize, neu, newSize, options, &plain, error))
        return false;
    if (!expanded || plain.size() <= out->size())
        out->swap(plain);
    return true;
}
