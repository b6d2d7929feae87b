#pragma once
// A recipe's stream lists (DeltaFlagRecipe, delta/common/delta_format.h): where the raw deflate
// streams of the base and of the result lie, so that the applier can inflate the base's into the
// expanded base, apply the sections, and deflate the result's again as it writes.
//
//   baseCount      varint, then for each stream of the base, in order:
//     gap          varint  bytes kept as they are since the previous stream's end (or the start)
//     packedSize   varint  its deflate bytes in the base (kept too with RecipeKeepsPacked)
//     expandedSize varint  what they inflate to, in the expanded base in their place, or after
//                          them with RecipeKeepsPacked
//   resultCount    varint, then for each stream of the result, in order:
//     gap          varint  bytes as they are in the expanded result since the previous stream
//     expandedSize varint
//     packedSize   varint  what zlib's deflate makes of them with these settings
//     settings     2 bytes level (1-9) | strategy << 4 (0-3); memLevel (1-9) | (windowBits - 8) <<
//     4
//                          (windowBits 9-15)
//
// The expanded result holds each stream's content in place of its deflate bytes, and so does the
// expanded base; but when the result has streams the tool cannot deflate again, the expanded base
// keeps its packed bytes and adds each stream's content after them (RecipeKeepsPacked), so that a
// member the new file holds in the same compressed bytes still matches. The bytes after each
// list's last stream are kept as they are, so the sizes add up: a file's size less its packed
// sizes equals its expanded size less its expanded sizes (with the packed sizes kept: its size
// plus its expanded sizes). A stream's deflate data is raw: the zlib, gzip or zip header and
// trailer around it are bytes kept as they are.
#include <stdint.h>

#include "delta/common/delta_format.h"

struct DeflateSettings {
    uint8_t level;       // 1-9
    uint8_t strategy;    // 0-3: default, filtered, Huffman only, run-length
    uint8_t memLevel;    // 1-9
    uint8_t windowBits;  // 9-15
};

struct PackedStream {
    uint64_t gap;
    uint64_t packedSize;
    uint64_t expandedSize;
    DeflateSettings settings;  // result streams only
};

enum : uint32_t { RecipeMaxStreams = 1u << 22 };

// One list being read: its bytes and the streams left in it.
struct RecipeList {
    const uint8_t *at;
    const uint8_t *end;
    uint64_t left;
    bool result;  // the result's list: its records carry settings
};

// Returns: true with *v when a varint of at most DeltaMaxVarintBytes starts at *at before end;
// *at is moved past it.
inline bool GetDeltaVarint(const uint8_t **at, const uint8_t *end, uint64_t *v)
{
    *v = 0;
    for (uint32_t i = 0; i < DeltaMaxVarintBytes && *at < end; ++i) {
        if (AddDeltaVarintByte(v, i, *(*at)++))
            return true;
    }
    return false;
}

inline bool ValidSettings(const DeflateSettings &s)
{
    return s.level >= 1 && s.level <= 9 && s.strategy <= 3 && s.memLevel >= 1 && s.memLevel <= 9 &&
           s.windowBits >= 9 && s.windowBits <= 15;
}

// Reads the next stream of list into *s. Returns: false when the list is malformed or ended.
inline bool NextPackedStream(RecipeList *list, PackedStream *s)
{
    if (list->left == 0)
        return false;
    --list->left;
    uint64_t first, second;
    if (!GetDeltaVarint(&list->at, list->end, &s->gap) ||
        !GetDeltaVarint(&list->at, list->end, &first) ||
        !GetDeltaVarint(&list->at, list->end, &second))
        return false;
    s->packedSize = list->result ? second : first;
    s->expandedSize = list->result ? first : second;
    s->settings = DeflateSettings{};
    if (!list->result)
        return true;
    if (list->end - list->at < 2)
        return false;
    s->settings.level = list->at[0] & 15;
    s->settings.strategy = list->at[0] >> 4;
    s->settings.memLevel = list->at[1] & 15;
    s->settings.windowBits = (uint8_t)((list->at[1] >> 4) + 8);
    list->at += 2;
    return ValidSettings(s->settings);
}

// Starts a list at *at. Returns: false when its count is malformed or too large.
inline bool StartRecipeList(const uint8_t **at, const uint8_t *end, bool result, RecipeList *list)
{
    if (!GetDeltaVarint(at, end, &list->left) || list->left > RecipeMaxStreams)
        return false;
    list->at = *at;
    list->end = end;
    list->result = result;
    return true;
}

// Walks a list whole: each stream must lie inside both forms of the file and the bytes after the
// last must be as many in both (with keepsPacked a stream's packed bytes are in both). Returns:
// false when not; *at is moved past the list.
inline bool CheckRecipeList(const uint8_t **at, const uint8_t *end, bool result, bool keepsPacked,
                            uint64_t packedTotal, uint64_t expandedTotal)
{
    RecipeList list;
    if (!StartRecipeList(at, end, result, &list))
        return false;
    uint64_t packedLeft = packedTotal, expandedLeft = expandedTotal;
    PackedStream s;
    while (list.left) {
        if (!NextPackedStream(&list, &s) || s.gap > packedLeft || s.packedSize > packedLeft - s.gap)
            return false;
        uint64_t kept = s.gap + (keepsPacked ? s.packedSize : 0);  // in both forms
        if (kept > expandedLeft || s.expandedSize > expandedLeft - kept)
            return false;
        packedLeft -= s.gap + s.packedSize;
        expandedLeft -= kept + s.expandedSize;
    }
    *at = list.at;
    return packedLeft == expandedLeft;
}

// The two lists of a header with a recipe, checked whole against the sizes the header names.
struct RecipeLists {
    RecipeList base;
    RecipeList result;
};

// Returns: true with *lists at their starts when h's recipe is well formed and ends with its
// lists; true with empty lists for a header without a recipe.
inline bool GetRecipeLists(const DeltaHeader &h, RecipeLists *lists)
{
    const uint8_t *at = h.streams, *end = h.streams + h.streamsSize;
    *lists = RecipeLists{{at, at, 0, false}, {at, at, 0, true}};
    if (!(h.flags & DeltaFlagRecipe))
        return true;
    const uint8_t *resultAt = at;
    bool keepsPacked = (h.recipeFlags & RecipeKeepsPacked) != 0;
    if (!CheckRecipeList(&resultAt, end, false, keepsPacked, h.baseSize, h.expandedBaseSize))
        return false;
    const uint8_t *after = resultAt;
    if (!CheckRecipeList(&after, end, true, false, h.resultSize, h.expandedResultSize) ||
        after != end)
        return false;
    return StartRecipeList(&at, end, false, &lists->base) &&
           StartRecipeList(&resultAt, end, true, &lists->result);
}

// Appends a stream's record to out (base lists without settings).
template <class Bytes> void PutPackedStream(Bytes *out, const PackedStream &s, bool result)
{
    uint8_t v[DeltaMaxVarintBytes];
    auto put = [&](uint64_t value) { out->insert(out->end(), v, v + PutDeltaVarint(v, value)); };
    put(s.gap);
    put(result ? s.expandedSize : s.packedSize);
    put(result ? s.packedSize : s.expandedSize);
    if (result) {
        out->push_back((uint8_t)(s.settings.level | s.settings.strategy << 4));
        out->push_back((uint8_t)(s.settings.memLevel | (s.settings.windowBits - 8) << 4));
    }
}
