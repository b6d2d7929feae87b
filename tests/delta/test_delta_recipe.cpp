// Deltas between expanded files: archives whose members are deflated, encoded through their
// streams and made again by the installer's applier byte for byte, and refused when damaged.
#include <gtest/gtest.h>
#include <zlib.h>

#include <stdint.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "delta/apply/delta_file_stdio.h"
#include "delta/apply/delta_recipe_apply.h"
#include "delta/common/delta_recipe.h"
#include "delta/encode/deflate_streams.h"
#include "delta/encode/delta_encode.h"
#include "stream/little_endian.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Text(size_t size, uint32_t seed)
{
    static const char *words[] = {"the ", "tile ", "unit ", "sprite ", "map ", "\n", "= ", "12 "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const char *w = words[rng() % 8];
        out.insert(out.end(), w, w + strlen(w));
    }
    out.resize(size);
    return out;
}

// Raw deflate of content; a full flush in the middle when split (a deflater zlib's settings
// cannot re-create).
Bytes Deflate(const Bytes &content, int level, int memLevel = 8, bool split = false)
{
    z_stream z = {};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, content.size()) + 64);
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    size_t half = split ? content.size() / 2 : 0;
    z.next_in = (Bytef *)content.data();
    z.avail_in = (uInt)half;
    if (split)
        deflate(&z, Z_FULL_FLUSH);
    z.avail_in = (uInt)(content.size() - half);
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void Put(Bytes *out, const Bytes &b)
{
    out->insert(out->end(), b.begin(), b.end());
}

// A zip local member: header, name, deflated data (flag bits 1-2 hint the level).
void ZipMember(Bytes *out, const std::string &name, const Bytes &content, int level,
               bool split = false)
{
    Bytes packed = Deflate(content, level, 8, split);
    Bytes h(30);
    PutU32(h.data(), 0x04034b50);
    PutU16(h.data() + 6, level == 9 ? 2 : 0);
    PutU16(h.data() + 8, 8);
    PutU32(h.data() + 14, (uint32_t)crc32(0, content.data(), (uInt)content.size()));
    PutU32(h.data() + 18, (uint32_t)packed.size());
    PutU32(h.data() + 22, (uint32_t)content.size());
    PutU16(h.data() + 26, (uint16_t)name.size());
    Put(out, h);
    out->insert(out->end(), name.begin(), name.end());
    Put(out, packed);
}

// A zlib stream as a custom pack holds one: header, deflate data, Adler-32 (big-endian).
void ZlibStream(Bytes *out, const Bytes &content, int level)
{
    out->push_back(0x78);
    out->push_back(level == 9 ? 0xda : 0x9c);
    Put(out, Deflate(content, level));
    uint32_t a = (uint32_t)adler32(1, content.data(), (uInt)content.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back((uint8_t)(a >> shift));
}

void GzipMember(Bytes *out, const Bytes &content)
{
    static const uint8_t header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    out->insert(out->end(), header, header + 10);
    Put(out, Deflate(content, 6));
    Bytes t(8);
    PutU32(t.data(), (uint32_t)crc32(0, content.data(), (uInt)content.size()));
    PutU32(t.data() + 4, (uint32_t)content.size());
    Put(out, t);
}

struct Archive {
    Bytes old, now;
};

// Old and new versions of a game archive: one member changed, one re-packed at another level,
// one unchanged, one only another deflater could make (unless !foreign), a zlib pack entry, a
// gzip member.
Archive GameArchive(bool foreign = true)
{
    Archive a;
    Bytes maps = Text(200000, 1), units = Text(60000, 2), tiles = Text(90000, 3);
    Bytes script = Text(30000, 4), level = Text(40000, 5), news = Text(20000, 6);
    Bytes changedUnits = units;
    memcpy(&changedUnits[30000], "cavalry ", 8);
    // a pack header whose bytes pass for a zlib header of a small window (and fail to inflate):
    // the members after it keep their own settings
    static const uint8_t header[] = {'Q', 'P', 'A', 'K', 0x08, 0x1d, 0xff, 0xff};
    a.old.assign(header, header + sizeof header);
    a.now = a.old;
    ZipMember(&a.old, "maps.txt", maps, 6);
    ZipMember(&a.old, "units.txt", units, 6);
    ZipMember(&a.old, "tiles.txt", tiles, 6);
    ZipMember(&a.old, "script.txt", script, 6, foreign);
    ZlibStream(&a.old, level, 6);
    GzipMember(&a.old, news);
    ZipMember(&a.now, "maps.txt", maps, 9);           // re-packed
    ZipMember(&a.now, "units.txt", changedUnits, 6);  // changed
    ZipMember(&a.now, "tiles.txt", tiles, 6);         // as it was
    ZipMember(&a.now, "script.txt", script, 6, foreign);
    ZlibStream(&a.now, level, 9);
    GzipMember(&a.now, news);
    return a;
}

struct MemoryFile : DeltaBase, DeltaSink {
    Bytes *bytes;
};

bool ReadMemory(const DeltaBase *self, uint64_t offset, uint8_t *buffer, uint32_t length)
{
    const MemoryFile *f = static_cast<const MemoryFile *>(self);
    if (offset > f->bytes->size() || length > f->bytes->size() - offset)
        return false;
    memcpy(buffer, f->bytes->data() + offset, length);
    return true;
}

bool WriteMemory(const DeltaSink *self, const uint8_t *bytes, uint32_t length)
{
    const MemoryFile *f = static_cast<const MemoryFile *>(self);
    f->bytes->insert(f->bytes->end(), bytes, bytes + length);
    return true;
}

MemoryFile Over(Bytes *bytes, uint64_t size)
{
    MemoryFile f;
    f.size = size;
    f.read = ReadMemory;
    f.write = WriteMemory;
    f.bytes = bytes;
    return f;
}

struct Progress {
    uint64_t done = 0, total = 0, moves = 0, stopAfter = UINT64_MAX;
};

void Moved(void *context, uint64_t done, uint64_t total)
{
    Progress *p = (Progress *)context;
    EXPECT_GE(done, p->done) << "the work done never goes back";
    EXPECT_LE(done, total);
    p->done = done;
    p->total = total;
    ++p->moves;
}

bool Stop(void *context)
{
    return ((Progress *)context)->moves >= ((Progress *)context)->stopAfter;
}

struct Applied {
    DeltaResult result;
    Bytes written;
    Progress progress;
    uint64_t expanded;  // bytes written to the expanded base
};

Applied ApplyInMemory(Bytes base, const Bytes &delta, uint64_t stopAfter = UINT64_MAX)
{
    Applied run;
    Bytes expanded;
    DeltaHeader h;
    EXPECT_TRUE(GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h));
    MemoryFile b = Over(&base, base.size()), e = Over(&expanded, h.expandedBaseSize),
               out = Over(&run.written, 0);
    ExpandedStore store = {&e, &e};
    run.progress.stopAfter = stopAfter;
    DeltaObserver observer = {&run.progress, Moved, Stop};
    run.result =
        ApplyRecipeDelta(delta.data(), (uint32_t)delta.size(), &b, &store, &out, &observer);
    run.expanded = expanded.size();
    return run;
}

Bytes EncodeExpanded(const Bytes &old, const Bytes &now)
{
    DeltaOptions o;
    o.level = 6;
    Bytes delta;
    std::string error;
    EXPECT_TRUE(
        EncodeExpandedDelta(old.data(), old.size(), now.data(), now.size(), o, &delta, &error))
        << error;
    return delta;
}

TEST(Recipe, MakesTheNewArchiveByteForByteFromFarLess)
{
    Archive a = GameArchive();
    Bytes delta = EncodeExpanded(a.old, a.now);
    DeltaHeader h;
    RecipeLists lists;
    ASSERT_TRUE(GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h));
    ASSERT_TRUE(GetRecipeLists(h, &lists));
    EXPECT_EQ(h.flags, DeltaFlagRecipe);
    EXPECT_EQ(lists.base.left, 6u);    // every stream of the base inflates
    EXPECT_EQ(lists.result.left, 5u);  // all but the flushed one are made again
    EXPECT_EQ(h.recipeFlags, RecipeKeepsPacked) << "the flushed one may match packed bytes";
    Applied run = ApplyInMemory(a.old, delta);
    ASSERT_EQ(run.result, DeltaResult::Done);
    EXPECT_TRUE(run.written == a.now);
    EXPECT_EQ(run.progress.done, run.progress.total);
    EXPECT_EQ(run.progress.total, DeltaWorkTotalOf(h));

    Archive zlibOnly = GameArchive(false);  // every stream made again: the base in place
    Bytes inPlace = EncodeExpanded(zlibOnly.old, zlibOnly.now);
    ASSERT_TRUE(GetDeltaHeader(inPlace.data(), (uint32_t)inPlace.size(), &h));
    EXPECT_EQ(h.recipeFlags, 0);
    EXPECT_TRUE(ApplyInMemory(zlibOnly.old, inPlace).written == zlibOnly.now);

    DeltaOptions o;
    Bytes plain, smallest;
    std::string error;
    ASSERT_TRUE(
        EncodeDelta(a.old.data(), a.old.size(), a.now.data(), a.now.size(), o, &plain, &error));
    ASSERT_TRUE(EncodeSmallestDelta(a.old.data(), a.old.size(), a.now.data(), a.now.size(), o,
                                    &smallest, &error));
    EXPECT_LT(delta.size() * 4, plain.size()) << "the re-packed member costs almost nothing";
    EXPECT_EQ(smallest.size(), std::min(delta.size(), plain.size()));
}

TEST(Recipe, FilesAdapterMakesItAndLeavesNoExpandedBase)
{
    Archive a = GameArchive();
    Bytes delta = EncodeExpanded(a.old, a.now);
    namespace fs = std::filesystem;
    fs::path dir =
        fs::temp_directory_path() / ("qpatch-recipe-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    std::ofstream(dir / "old", std::ios::binary).write((const char *)a.old.data(), a.old.size());
    DeltaResult r = ApplyDeltaFile(delta.data(), (uint32_t)delta.size(), dir / "old", dir / "new",
                                   true, nullptr);
    EXPECT_EQ(r, DeltaResult::Done);
    {
        std::ifstream in(dir / "new", std::ios::binary);
        Bytes made((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(made == a.now);
    }
    EXPECT_FALSE(fs::exists(dir / ("new" DELTA_EXPANDED_SUFFIX)));
    Bytes other = a.old;
    other[other.size() / 2] ^= 1;
    std::ofstream(dir / "old", std::ios::binary).write((const char *)other.data(), other.size());
    EXPECT_EQ(ApplyDeltaFile(delta.data(), (uint32_t)delta.size(), dir / "old", dir / "new", true,
                             nullptr),
              DeltaResult::BaseMismatch);
    fs::remove_all(dir);
}

// The offset of the recipe's first result record's settings, found by reading the lists.
size_t FirstResultSettingsAt(const Bytes &delta)
{
    DeltaHeader h;
    RecipeLists lists;
    EXPECT_TRUE(GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h));
    EXPECT_TRUE(GetRecipeLists(h, &lists));
    PackedStream s;
    RecipeList list = lists.result;
    EXPECT_TRUE(NextPackedStream(&list, &s));
    return (size_t)(list.at - delta.data()) - 2;
}

TEST(Recipe, RefusesDamageAndStops)
{
    Archive a = GameArchive();
    Bytes delta = EncodeExpanded(a.old, a.now);

    Bytes damagedBase = a.old;
    damagedBase[100] ^= 0x55;  // inside the first member's deflate data
    Applied run = ApplyInMemory(damagedBase, delta);
    EXPECT_EQ(run.result, DeltaResult::BaseMismatch);
    EXPECT_TRUE(run.written.empty()) << "nothing is written from a base that does not inflate";

    Bytes otherLevel = delta;
    otherLevel[FirstResultSettingsAt(delta)] ^= 6 ^ 9;  // another level deflates other bytes
    EXPECT_EQ(ApplyInMemory(a.old, otherLevel).result, DeltaResult::ResultMismatch);

    Bytes badSettings = delta;
    badSettings[FirstResultSettingsAt(delta)] = 0;  // level 0 is not a recipe's
    EXPECT_EQ(ApplyInMemory(a.old, badSettings).result, DeltaResult::Corrupt);

    DeltaHeader h;
    ASSERT_TRUE(GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h));
    for (uint32_t cut = DeltaHeaderSize; cut < h.headerSize; ++cut) {
        Bytes truncated(delta.begin(), delta.begin() + cut);
        DeltaHeader t;
        RecipeLists lists;
        bool readable = GetDeltaHeader(truncated.data(), cut, &t) && GetRecipeLists(t, &lists);
        EXPECT_FALSE(readable) << "cut at " << cut;
    }
    Bytes shortened = delta;
    PutU32(&shortened[DeltaHeaderSize], GetU32(&delta[DeltaHeaderSize]) - 1);
    EXPECT_EQ(ApplyInMemory(a.old, shortened).result, DeltaResult::Corrupt);

    // a stop after any piece, the bytes after the last stream included, is a stop
    Archive tailed;
    ZipMember(&tailed.old, "maps.txt", Text(100000, 1), 6);
    tailed.now = tailed.old;
    Put(&tailed.old, Text(100000, 7));  // an index after the members
    Put(&tailed.now, Text(100001, 7));
    Bytes tailDelta = EncodeExpanded(tailed.old, tailed.now);
    uint64_t moves = ApplyInMemory(tailed.old, tailDelta).progress.moves;
    for (uint64_t stopAfter = 1; stopAfter < moves; ++stopAfter) {
        Applied stopped = ApplyInMemory(tailed.old, tailDelta, stopAfter);
        EXPECT_EQ(stopped.result, DeltaResult::InProgress) << stopAfter << " of " << moves;
        EXPECT_LT(stopped.progress.done, stopped.progress.total);
    }
}

// The offset of a varint in the first record of a list (field 0: gap, 1 and 2: the sizes).
size_t FirstRecordFieldAt(const RecipeList &list, const Bytes &delta, int field)
{
    const uint8_t *at = list.at;
    uint64_t v;
    for (int i = 0; i < field; ++i)
        EXPECT_TRUE(GetDeltaVarint(&at, list.end, &v));
    return (size_t)(at - delta.data());
}

// Replaces the varint at `at` with value, which must take as many bytes.
void PutSameLengthVarint(Bytes *delta, size_t at, uint64_t value)
{
    const uint8_t *p = delta->data() + at;
    uint64_t old;
    ASSERT_TRUE(GetDeltaVarint(&p, delta->data() + delta->size(), &old));
    uint8_t v[DeltaMaxVarintBytes];
    ASSERT_EQ(PutDeltaVarint(v, value), (uint32_t)(p - delta->data() - at));
    memcpy(&(*delta)[at], v, p - delta->data() - at);
}

TEST(Recipe, StopsWritingWhereADamagedRecipeSaysAStreamEnds)
{
    // 8 MiB of zeros in one member: a recipe that says less must not let it all be written
    Bytes zeros(8u << 20, 0);
    Archive a;
    ZipMember(&a.old, "zeros.bin", zeros, 9);
    ZipMember(&a.now, "zeros.bin", zeros, 9);
    Put(&a.old, Text(1000, 7));
    Put(&a.now, Text(1001, 7));
    Bytes delta = EncodeExpanded(a.old, a.now);
    DeltaHeader h;
    RecipeLists lists;
    ASSERT_TRUE(GetDeltaHeader(delta.data(), (uint32_t)delta.size(), &h));
    ASSERT_TRUE(GetRecipeLists(h, &lists));
    const size_t recipe = DeltaHeaderSize + 4;

    Bytes shortBase = delta;  // the base's stream said to inflate to 2 MiB
    PutSameLengthVarint(&shortBase, FirstRecordFieldAt(lists.base, delta, 2), 2u << 20);
    PutU64(&shortBase[recipe + RecipeBaseSizeAt], h.expandedBaseSize - (6u << 20));
    DeltaHeader d;
    ASSERT_TRUE(GetDeltaHeader(shortBase.data(), (uint32_t)shortBase.size(), &d));
    ASSERT_TRUE(GetRecipeLists(d, &lists)) << "the lists still add up";
    Applied expansion = ApplyInMemory(a.old, shortBase);
    EXPECT_EQ(expansion.result, DeltaResult::BaseMismatch);
    EXPECT_LE(expansion.expanded, d.expandedBaseSize);

    ASSERT_TRUE(GetRecipeLists(h, &lists));
    Bytes shortResult = delta;  // the result's stream said to deflate to 100 bytes fewer
    size_t packedAt = FirstRecordFieldAt(lists.result, delta, 2);
    const uint8_t *p = delta.data() + packedAt;
    uint64_t packed;
    ASSERT_TRUE(GetDeltaVarint(&p, delta.data() + delta.size(), &packed));
    PutSameLengthVarint(&shortResult, packedAt, packed - 100);
    PutU64(&shortResult[DeltaResultSizeAt], h.resultSize - 100);
    Applied run = ApplyInMemory(a.old, shortResult);
    EXPECT_EQ(run.result, DeltaResult::ResultMismatch);
    EXPECT_LE(run.written.size(), h.resultSize - 100);
}

TEST(Recipe, LeavesFilesWithoutStreamsAndAnotherDeflatersStreamsAsTheyAre)
{
    Bytes plain = Text(50000, 9), other;
    std::string error;
    DeltaOptions o;
    Bytes delta;
    EXPECT_FALSE(EncodeExpandedDelta(plain.data(), plain.size(), plain.data(), plain.size(), o,
                                     &delta, &error));
    EXPECT_TRUE(error.empty());
    ZipMember(&other, "script.txt", plain, 6, true);
    ExpandedForm form = ExpandStreams(other.data(), other.size(), StreamUse::Recreated, 1 << 30);
    EXPECT_TRUE(form.streams.empty());
    EXPECT_TRUE(form.bytes == other);
    EXPECT_EQ(form.leftPacked, 1u);
    form = ExpandStreams(other.data(), other.size(), StreamUse::InflatableKeeping, 1 << 30);
    ASSERT_EQ(form.streams.size(), 1u);
    EXPECT_EQ(form.bytes.size(), other.size() + plain.size()) << "packed bytes kept, content after";
    form = ExpandStreams(other.data(), other.size(), StreamUse::Inflatable, 1 << 30);
    ASSERT_EQ(form.streams.size(), 1u);
    EXPECT_EQ(form.bytes.size(), other.size() - form.streams[0].packedSize + plain.size());
    form = ExpandStreams(other.data(), other.size(), StreamUse::Inflatable, 1000);
    EXPECT_TRUE(form.streams.empty()) << "a stream over the expansion limit stays packed";
}

}  // namespace
