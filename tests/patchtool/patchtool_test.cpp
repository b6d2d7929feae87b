// The publisher's tool: range detection, descriptor and names, the PE resource writer, and
// round trips from two generated game folders through build, inspect and a host install.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/descriptor.h"
#include "tests/patchtool/support.h"
#include "tools/patchtool/build/build.h"
#include "tools/patchtool/format/gate.h"
#include "tools/patchtool/host/files.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/pe/pe_resources.h"
#include "tools/patchtool/build/ranges.h"
#include "tools/patchtool/check/verify.h"
#include "tools/patchtool/format/version_resource.h"
#include "tools/patchtool/host/process.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::vector<uint8_t> Bytes(size_t size, uint32_t seed, bool compressible)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = compressible ? (uint8_t)("record:"[i % 7] + (i / 997) % 3) : (uint8_t)random();
    }
    return data;
}

void Put(const fs::path &path, const std::vector<uint8_t> &data)
{
    fs::create_directories(path.parent_path());
    std::string error;
    ASSERT_TRUE(WriteWholeFile(path, data.data(), data.size(), &error)) << error;
}

std::vector<uint8_t> Get(const fs::path &path)
{
    std::vector<uint8_t> data;
    std::string error;
    EXPECT_TRUE(ReadWholeFile(path, &data, &error)) << error;
    return data;
}

class TempFolder {
public:
    TempFolder() : path(MakeTemporaryFolder("patchtool-test")) {}
    ~TempFolder() { RemoveTree(path); }
    fs::path path;
};

// ---- range detection ----

// The runs in which now differs from one old copy, collected as the builder's comparison collects
// them: the differences over the old length, then the grown tail as one more run.
// Returns: false when the file shrank or the collector gave up.
bool CollectRuns(const std::vector<uint8_t> &old, const uint8_t *now, size_t newSize, uint64_t headerSize,
                 uint64_t budget, std::vector<ByteRange> *ranges, uint64_t *cost = nullptr)
{
    ranges->clear();
    if (newSize < old.size()) {
        return false;
    }
    RangeCollector collector(headerSize, budget, SIZE_MAX);
    bool ok = CollectDifferences(old.data(), now, old.size(), 0, &collector) &&
              (newSize == old.size() || collector.Add(old.size(), newSize));
    ranges->swap(collector.Runs());
    if (cost) {
        *cost = collector.Cost();
    }
    return ok;
}

TEST(Ranges, FindsSeparateRunsAndTheGrownTail)
{
    std::vector<uint8_t> old = Bytes(10000, 1, false);
    std::vector<uint8_t> now = old;
    now[100] ^= 1;
    now[101] ^= 1;
    now[5000] ^= 1;
    now.insert(now.end(), 300, 7);
    std::vector<ByteRange> ranges;
    uint64_t cost = 0;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 30, UINT64_MAX, &ranges, &cost));
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].offset, 100u);
    EXPECT_EQ(ranges[0].length, 2u);
    EXPECT_EQ(ranges[1].offset, 5000u);
    EXPECT_EQ(ranges[1].length, 1u);
    EXPECT_EQ(ranges[2].offset, 10000u);
    EXPECT_EQ(ranges[2].length, 300u);
    EXPECT_EQ(cost, 3 * 30 + 303u);
}

TEST(Ranges, MergesGapsNoLongerThanAHeader)
{
    std::vector<uint8_t> old(1000, 0);
    std::vector<uint8_t> now = old;
    now[10] = 1;
    now[10 + 1 + 25] = 1;       // gap of 25 equal bytes: merged with a 25-byte header
    now[10 + 1 + 25 + 1 + 26] = 1;  // gap of 26: a separate run
    std::vector<ByteRange> ranges;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 25, UINT64_MAX, &ranges));
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].offset, 10u);
    EXPECT_EQ(ranges[0].length, 27u);
    EXPECT_EQ(ranges[1].offset, 63u);
    // A gap in front of the grown tail merges too.
    now.insert(now.end(), 5, 9);
    now[995] = 1;
    ASSERT_TRUE(CollectRuns(old, now.data(), now.size(), 25, UINT64_MAX, &ranges));
    EXPECT_EQ(ranges.back().offset, 995u);
    EXPECT_EQ(ranges.back().length, 10u);
}

TEST(Ranges, RefusesShrunkFilesAndGivesUpPastTheBudget)
{
    std::vector<uint8_t> old = Bytes(4000, 2, false);
    std::vector<uint8_t> now = Bytes(4000, 3, false);
    std::vector<ByteRange> ranges;
    EXPECT_FALSE(CollectRuns(old, now.data(), 3999, 19, UINT64_MAX, &ranges));
    EXPECT_FALSE(CollectRuns(old, now.data(), now.size(), 19, 1000, &ranges));
    EXPECT_TRUE(ranges.empty());
    // An old file of 0 bytes grows as one run at offset 0.
    ASSERT_TRUE(CollectRuns({}, now.data(), 10, 19, UINT64_MAX, &ranges));
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].length, 10u);
}

TEST(Ranges, SplitsLongRunsIntoPiecesThatFitAChunk)
{
    std::vector<ByteRange> ranges = {{5, 10}, {100, 3}};
    SplitLongRanges(&ranges, 4);
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[1].offset, 9u);
    EXPECT_EQ(ranges[2].offset, 13u);
    EXPECT_EQ(ranges[2].length, 2u);
    EXPECT_EQ(ranges[3].offset, 100u);
}

// ---- descriptor, versions and names ----

TEST(Format, VersionArgumentsAreFourPartsUpTo255)
{
    uint32_t v = 0;
    EXPECT_TRUE(ParseVersionArgument("1.1.0.1", &v));
    EXPECT_EQ(v, 0x01010001u);
    EXPECT_TRUE(ParseVersionArgument("255.0.10.9", &v));
    EXPECT_EQ(VersionText(v), "255.0.10.9");
    for (const char *bad : {"1.1.0", "1.1.0.256", "1.1.0.1.", "1..0.1", "-1.0.0.0", "1.1.0.1 ", "a.b.c.d", "",
                            "1.1.0.0001"}) {
        EXPECT_FALSE(ParseVersionArgument(bad, &v)) << bad;
    }
}

TEST(Format, TheInstallersParserReadsWhatComposeWrites)
{
    std::string description = "  \r\n《Tolvar二》v1.1.0.0 升级到 v1.1.0.1";
    std::string reason;
    ASSERT_TRUE(PrepareDescription(&description, &reason));
    std::string text = ComposeDescriptor(0x01020000, GateOperator::UpTo, 0x01010909, description);
    DescriptorHead head = ParseDescriptorHead((const uint8_t *)text.data(), (uint32_t)text.size());
    EXPECT_EQ(head.target, 0x01020000u);
    EXPECT_EQ(head.gate, GateOperator::UpTo);
    EXPECT_EQ(head.base, 0x01010909u);
    EXPECT_EQ(text.substr(head.descriptionOffset), "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n");
    // A description that starts with digits stays whole: the reader stops after eight numbers.
    text = ComposeDescriptor(0x01010001, GateOperator::Exact, 0x01010000, "9 lives");
    head = ParseDescriptorHead((const uint8_t *)text.data(), (uint32_t)text.size());
    EXPECT_EQ(text.substr(head.descriptionOffset), "9 lives\r\n");
}

TEST(Format, DescriptionsMustBeUtf8WithoutZeroBytes)
{
    std::string reason;
    for (std::string bad : {std::string("a\xFF"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
                            std::string("a\0b", 3), std::string("\xE4\xB8")}) {
        EXPECT_FALSE(PrepareDescription(&bad, &reason));
    }
    std::string empty;
    EXPECT_TRUE(PrepareDescription(&empty, &reason));
}

TEST(Format, TargetNamesMustBeCreatableOnWindows)
{
    std::string reason;
    EXPECT_TRUE(CheckTargetName(u"Bin/Data/a.pak", &reason));
    EXPECT_TRUE(CheckTargetName(std::u16string(511, u'a'), &reason));
    EXPECT_FALSE(CheckTargetName(std::u16string(512, u'a'), &reason));
    EXPECT_NE(reason.find("511"), std::string::npos);
    for (const char16_t *bad : {u"a\\b", u"Bin/con.txt", u"Bin/LPT1", u"dir./a", u"a ", u"a:b", u"a//b", u"../a",
                                u"Bin/./a", u"a?"}) {
        EXPECT_FALSE(CheckTargetName(bad, &reason));
    }
}

TEST(Format, NamesThatLeaveTheGameFolderAreRecognised)
{
    EXPECT_TRUE(NameStaysInside(u"Bin\\game.exe"));
    EXPECT_TRUE(NameStaysInside(u"Bin/..data"));
    for (const char16_t *bad : {u"", u"..\\x", u"Bin/../../x", u"/etc/x", u"\\x", u"C:x"}) {
        EXPECT_FALSE(NameStaysInside(bad));
    }
}

// ---- PE resources ----

// A minimal PE32 image: headers in 0x400 bytes and one code section.
std::vector<uint8_t> MinimalImage()
{
    std::vector<uint8_t> image(0x600, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutU32(&image[0x3C], 0x80);
    memcpy(&image[0x80], "PE\0\0", 4);
    uint8_t *coff = &image[0x84];
    coff[0] = 0x4C, coff[1] = 0x01;  // i386
    coff[2] = 1;                     // one section
    coff[16] = 224;                  // optional header size
    uint8_t *opt = &image[0x98];
    opt[0] = 0x0B, opt[1] = 0x01;
    PutU32(opt + 32, 0x1000);  // section alignment
    PutU32(opt + 36, 0x200);   // file alignment
    PutU32(opt + 56, 0x2000);  // image size
    PutU32(opt + 60, 0x400);   // header size
    PutU32(opt + 92, 16);      // data directories
    uint8_t *section = &image[0x98 + 224];
    memcpy(section, ".text", 5);
    PutU32(section + 8, 0x10);
    PutU32(section + 12, 0x1000);
    PutU32(section + 16, 0x200);
    PutU32(section + 20, 0x400);
    image[0x400] = 0xC3;
    return image;
}

PeResource Item(const ResourceKey &type, uint16_t id, const std::vector<uint8_t> &bytes, uint16_t language = 0)
{
    PeResource item;
    item.type = type;
    item.name = IdKey(id);
    item.language = language;
    item.codePage = 0;
    item.size = (uint32_t)bytes.size();
    item.imageOffset = 0;
    item.bytes = bytes;
    return item;
}

// A string table block whose strings first..last (of the block's 16) are "x".
std::vector<uint8_t> StringBlock(unsigned first, unsigned last)
{
    std::vector<uint8_t> block;
    for (unsigned i = 0; i < 16; ++i) {
        bool present = i >= first && i <= last;
        block.insert(block.end(), {(uint8_t)present, 0});
        if (present) {
            block.insert(block.end(), {'x', 0});
        }
    }
    return block;
}

// A payload-free installer as patchtool recognises one: dialog 100, icon 100, and texts 201 to
// 213 in both languages.
void PutStub(const fs::path &path)
{
    std::vector<PeResource> items = {Item(IdKey(5), 100, {1}), Item(IdKey(14), 100, {1})};
    for (uint16_t language : {2052, 1028}) {
        items.push_back(Item(IdKey(6), 13, StringBlock(9, 15), language));
        items.push_back(Item(IdKey(6), 14, StringBlock(0, 5), language));
    }
    std::string error;
    ASSERT_TRUE(WritePeWithResources(MinimalImage(), items, path, &error)) << error;
}

std::vector<uint8_t> DataOf(const std::vector<uint8_t> &image, const PeResource *item)
{
    return std::vector<uint8_t>(image.begin() + item->imageOffset, image.begin() + item->imageOffset + item->size);
}

TEST(PeResources, WrittenResourcesReadBackAndSurviveASecondWrite)
{
    TempFolder temp;
    std::vector<uint8_t> stub = MinimalImage();
    std::vector<PeResource> items;
    std::string error;
    ASSERT_TRUE(ReadPeResources(stub, &items, &error)) << error;
    EXPECT_TRUE(items.empty());
    items.push_back(Item(NameKey(u"QPATCH"), 1601, Bytes(1000, 4, false)));
    items.push_back(Item(IdKey(6), 13, {1, 2, 3}, 2052));
    items.push_back(Item(IdKey(6), 13, {4, 5}, 1028));
    items.push_back(Item(NameKey(u"QPATCH"), 2000, {'1', ' ', '='}));
    items.push_back(Item(NameKey(u"OTHER"), 5, {}));
    fs::path first = temp.path / "first.exe";
    ASSERT_TRUE(WritePeWithResources(stub, items, first, &error)) << error;

    std::vector<uint8_t> image = Get(first);
    std::vector<PeResource> read;
    ASSERT_TRUE(ReadPeResources(image, &read, &error)) << error;
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(image[0x400], 0xC3);  // the code section is untouched
    const PeResource *chunk = FindPeResource(read, NameKey(u"qpatch"), IdKey(1601));
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(DataOf(image, chunk), Bytes(1000, 4, false));
    // Languages are kept apart; the lowest language id comes first in the table.
    EXPECT_EQ(DataOf(image, FindPeResource(read, IdKey(6), IdKey(13))), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(DataOf(image, &read[4]), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(read[4].language, 2052);
    EXPECT_EQ(FindPeResource(read, NameKey(u"OTHER"), IdKey(5))->size, 0u);
    EXPECT_EQ(FindPeResource(read, NameKey(u"QPATCH"), IdKey(1602)), nullptr);

    // The resource section is now last: a second write rewrites it in place, keeping what it is given.
    read.erase(read.begin());
    read.push_back(Item(NameKey(u"QPATCH"), 1602, {9, 9}));
    fs::path second = temp.path / "second.exe";
    ASSERT_TRUE(WritePeWithResources(image, read, second, &error)) << error;
    std::vector<uint8_t> again = Get(second);
    std::vector<PeResource> reread;
    ASSERT_TRUE(ReadPeResources(again, &reread, &error)) << error;
    EXPECT_EQ(reread.size(), 5u);
    EXPECT_EQ(GetU16(&again[0x86]), 2u);  // still two sections
    EXPECT_EQ(DataOf(again, FindPeResource(reread, NameKey(u"QPATCH"), IdKey(1602))), (std::vector<uint8_t>{9, 9}));
}

TEST(PeResources, DamagedImagesAreRefusedWithoutReadingOutOfBounds)
{
    TempFolder temp;
    std::vector<uint8_t> stub = MinimalImage();
    std::string error;
    fs::path file = temp.path / "x.exe";
    ASSERT_TRUE(WritePeWithResources(stub, {Item(NameKey(u"QPATCH"), 1601, {1, 2, 3})}, file, &error));
    std::vector<uint8_t> image = Get(file);
    std::vector<PeResource> items;
    // Every truncation is refused or reads only what lies inside.
    for (size_t size = 0; size < image.size(); size += 7) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + size);
        if (ReadPeResources(cut, &items, &error)) {
            for (const PeResource &item : items) {
                EXPECT_LE(item.imageOffset + item.size, cut.size());
            }
        }
    }
    // A directory entry that points back at the root table is a loop, not a tree.
    uint32_t rsrc = GetU32(&image[0x98 + 96 + 16]);
    size_t base = 0x600 + (rsrc - 0x2000);
    ASSERT_EQ(GetU32(&image[base + 20]) & 0x80000000u, 0x80000000u);
    PutU32(&image[base + 20], 0x80000000u);
    EXPECT_FALSE(ReadPeResources(image, &items, &error));
    EXPECT_FALSE(ReadPeResources(std::vector<uint8_t>(100, 0), &items, &error));
}

// ---- round trips ----

struct GameFolders {
    fs::path oldFolder;
    fs::path newFolder;
};

std::vector<uint8_t> Ini(const std::string &version)
{
    std::string text = "[GAME]\r\nVERSION=" + version + "\r\n";
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Old and new game folders with every kind of change the tool handles.
GameFolders MakeGame(const fs::path &root, uint32_t blockSize)
{
    GameFolders g = {root / "old", root / "new"};
    std::vector<uint8_t> exe = Bytes(5 * blockSize + 123, 10, false);
    Put(g.oldFolder / "Bin/Tolvar2.exe", exe);
    exe[77] ^= 0xFF;
    exe[78] ^= 0xFF;
    exe[3 * blockSize] ^= 1;
    Put(g.newFolder / "Bin/Tolvar2.exe", exe);  // changed in place

    std::vector<uint8_t> table = Bytes(2 * blockSize, 11, true);
    Put(g.oldFolder / "Data/table.dat", table);
    std::vector<uint8_t> grown = Bytes(300, 12, false);
    table.insert(table.end(), grown.begin(), grown.end());
    Put(g.newFolder / "Data/table.dat", table);  // grown

    Put(g.oldFolder / "Bin/game.ini", Ini("1.1.0.0"));
    Put(g.newFolder / "Bin/game.ini", Ini("1.1.0.0"));                    // unchanged
    Put(g.oldFolder / "Data/shrunk.bin", Bytes(5000, 13, true));
    Put(g.newFolder / "Data/shrunk.bin", Bytes(4000, 13, true));          // shrunk: whole file
    Put(g.oldFolder / "Data/rewritten.bin", Bytes(3000, 14, false));
    Put(g.newFolder / "Data/rewritten.bin", Bytes(3000, 15, true));       // changed everywhere
    Put(g.newFolder / "Bin/random.dll", Bytes(3 * blockSize, 19, false));  // new, incompressible
    Put(g.newFolder / "Data/Maps/New/m1.map", Bytes(3 * blockSize + 1, 16, true));  // new folders
    Put(g.newFolder / "Data/empty.dat", {});
    Put(g.newFolder / "Data/one_block.dat", Bytes(blockSize, 17, true));
    Put(g.newFolder / "Data/中文.txt", Bytes(10, 18, true));
    Put(g.oldFolder / "Data/was_empty.dat", {});
    Put(g.newFolder / "Data/was_empty.dat", {1, 2, 3});                   // grown from nothing
    return g;
}

BuildOptions Options(const GameFolders &g, const fs::path &out, uint32_t blockSize)
{
    BuildOptions o;
    o.newFolder = g.newFolder;
    if (!g.oldFolder.empty()) {
        o.olds.push_back(OldVersion{g.oldFolder});
    }
    o.outFolder = out;
    o.target = 0x01010001;
    o.base = 0x01010000;
    o.op = GateOperator::Exact;
    o.description = "test";
    o.blockSize = blockSize;
    o.level = 1;
    o.threads = 2;
    return o;
}

void Collect(const EntryInfo &e, void *context)
{
    ((std::vector<EntryInfo> *)context)->push_back(e);
}

std::vector<EntryInfo> EntriesOf(const LoadedPatch &patch)
{
    std::vector<EntryInfo> entries;
    for (const ChunkView &chunk : patch.chunks) {
        EXPECT_EQ(CheckChunk(chunk, Collect, &entries), "");
    }
    return entries;
}

// Applies the patch to a copy of the old folder and compares it with the new one.
void ExpectInstallGivesNewFolder(const LoadedPatch &patch, const GameFolders &g, const fs::path &work)
{
    fs::path game = work / "game";
    fs::copy(g.oldFolder, game, fs::copy_options::recursive);
    std::string detail;
    ASSERT_EQ(ApplyPatchToFolder(patch, game, &detail), InstallResult::Ok) << detail;
    std::vector<std::string> leftovers;
    std::string error;
    std::vector<std::string> differences = CompareTrees(g.newFolder, game, &leftovers, &error);
    EXPECT_TRUE(differences.empty()) << differences[0];
    EXPECT_TRUE(leftovers.empty());
    RemoveTree(game);
}

TEST(RoundTrip, EveryKindOfChangeInstallsToTheNewFolder)
{
    TempFolder temp;
    const uint32_t blockSize = 4096;
    GameFolders g = MakeGame(temp.path, blockSize);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(Options(g, temp.path / "patch", blockSize), TestReport(), &summary), 0);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(temp.path / "patch", &patch, &error)) << error;
    EXPECT_EQ(InspectPatch(patch, TestReport()), "");
    ExpectInstallGivesNewFolder(patch, g, temp.path);

    std::vector<EntryInfo> entries = EntriesOf(patch);
    std::map<std::string, std::vector<EntryInfo>> byName;
    for (const EntryInfo &e : entries) {
        std::string name;
        Utf16ToUtf8(e.name, &name);
        byName[name].push_back(e);
    }
    EXPECT_EQ(byName.count("Bin/game.ini"), 0u);
    ASSERT_EQ(byName["Bin/Tolvar2.exe"].size(), 2u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].kind, RangeKind);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].targetOffset, 77u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][1].targetOffset, 3 * blockSize);
    ASSERT_EQ(byName["Data/table.dat"].size(), 1u);
    EXPECT_EQ(byName["Data/table.dat"][0].kind, RangeKind);
    EXPECT_EQ(byName["Data/table.dat"][0].targetOffset, 2 * blockSize);
    EXPECT_EQ(byName["Data/shrunk.bin"][0].kind, WholeFileKind);
    EXPECT_EQ(byName["Data/rewritten.bin"][0].kind, WholeFileKind);
    EXPECT_EQ(byName["Data/Maps/New/m1.map"][0].decodedSize, 3 * blockSize + 1);
    EXPECT_EQ(byName["Data/empty.dat"][0].dataSize, 12u);
    EXPECT_EQ(summary.filesUnchanged, 1u);
    EXPECT_EQ(summary.rangeFiles, 3u);  // Tolvar2.exe, table.dat, was_empty.dat
    EXPECT_GT(summary.rangeSavings, 0u);

    std::vector<uint8_t> descriptor = Get(temp.path / "patch/descriptor.txt");
    EXPECT_EQ(std::string(descriptor.begin(), descriptor.end()), "1.1.0.1 = 1.1.0.0\r\ntest\r\n");
}

TEST(RoundTrip, OutputIsTheSameForAnyThreadCountAndChunksHoldWholeEntries)
{
    TempFolder temp;
    const uint32_t blockSize = 4096;
    GameFolders g = MakeGame(temp.path, blockSize);
    BuildOptions one = Options(g, temp.path / "one", blockSize);
    one.threads = 1;
    one.chunkSize = 1500;  // smaller than several entries: each of those gets a chunk of its own
    BuildOptions four = one;
    four.threads = 4;
    four.outFolder = temp.path / "four";
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(one, TestReport(), &summary), 0);
    ASSERT_EQ(BuildPatch(four, TestReport(), &summary), 0);
    EXPECT_GE(summary.chunks, 3u);
    for (uint32_t id = FirstChunkId; id < FirstChunkId + summary.chunks; ++id) {
        std::string file = std::to_string(id) + ".bin";
        EXPECT_EQ(Get(one.outFolder / file), Get(four.outFolder / file)) << file;
    }
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(one.outFolder, &patch, &error));
    ASSERT_EQ(patch.chunks.size(), summary.chunks);
    for (const ChunkView &chunk : patch.chunks) {
        std::vector<EntryInfo> entries;
        ASSERT_EQ(CheckChunk(chunk, Collect, &entries), "");
        // A chunk over the limit holds exactly one entry.
        if (chunk.size > one.chunkSize) {
            EXPECT_EQ(entries.size(), 1u);
        }
    }
    ExpectInstallGivesNewFolder(patch, g, temp.path);
}

TEST(RoundTrip, RealBlockSizeAndNoOldFolder)
{
    TempFolder temp;
    GameFolders g = {fs::path(), temp.path / "new"};
    Put(g.newFolder / "Bin/big.dat", Bytes(InstallerBlockSize * 2 + 5, 20, true));
    Put(g.newFolder / "Bin/exact.dat", Bytes(InstallerBlockSize, 21, false));
    BuildOptions o = Options(g, temp.path / "patch", InstallerBlockSize);
    o.olds.clear();
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(summary.wholeEntries, 2u);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    std::vector<EntryInfo> entries = EntriesOf(patch);
    ASSERT_EQ(entries.size(), 2u);
    const uint8_t *stream = patch.chunks[0].data + entries[0].chunkOffset + WholeFileHeaderSize(entries[0].name.size());
    EXPECT_EQ(GetU32(stream + 8), (uint32_t)InstallerBlockSize);
    EXPECT_EQ(stream[12 + 4 * 3], 0x5D);  // lc 3, lp 0, pb 2
    g.oldFolder = temp.path / "empty";
    fs::create_directory(g.oldFolder);
    ExpectInstallGivesNewFolder(patch, g, temp.path);
}

TEST(RoundTrip, AnInstallerCarriesThePatchInItsResources)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    PutStub(temp.path / "stub.exe");
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "stub.exe";
    o.chunkSize = 10000;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    LoadedPatch fromFolder;
    LoadedPatch fromExe;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &fromFolder, &error));
    ASSERT_TRUE(LoadPatch(o.installer, &fromExe, &error)) << error;
    EXPECT_EQ(fromExe.descriptor, fromFolder.descriptor);
    ASSERT_EQ(fromExe.chunks.size(), fromFolder.chunks.size());
    for (size_t i = 0; i < fromExe.chunks.size(); ++i) {
        EXPECT_EQ(fromExe.chunks[i].id, fromFolder.chunks[i].id);
        ASSERT_EQ(fromExe.chunks[i].size, fromFolder.chunks[i].size);
        EXPECT_EQ(memcmp(fromExe.chunks[i].data, fromFolder.chunks[i].data, fromExe.chunks[i].size), 0);
    }
    ExpectInstallGivesNewFolder(fromExe, g, temp.path);
}

// ---- what an installer carries beside the patch: checksum record, version, signature ----

// Returns: inspect's fault, and its output in *text.
std::string Inspect(const fs::path &path, std::string *text)
{
    LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(LoadPatch(path, &patch, &error)) << error;
    RecordingReport report;
    std::string fault = InspectPatch(patch, report);
    *text = report.Text(Report::Kind::Listing);
    return fault;
}

void FlipByte(const fs::path &from, const fs::path &to, uint64_t offset)
{
    std::vector<uint8_t> image = Get(from);
    image[offset] ^= 0x01;
    Put(to, image);
}

// Appends a certificate table of 16 bytes (an Authenticode header and 8 bytes) to an image.
void AddCertificateTable(std::vector<uint8_t> *image)
{
    image->resize((image->size() + 7) & ~(size_t)7, 0);
    uint32_t at = (uint32_t)image->size();
    std::vector<uint8_t> table = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    image->insert(image->end(), table.begin(), table.end());
    uint32_t directories = GetU32(&(*image)[0x3C]) + 24 + 96;  // PE32
    PutU32(&(*image)[directories + 8 * 4], at);
    PutU32(&(*image)[directories + 8 * 4 + 4], 16);
}

TEST(InstallerExtras, TheRecordNamesEveryDamagedResource)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    PutStub(temp.path / "stub.exe");
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "stub.exe";
    o.chunkSize = 10000;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "") << text;
    EXPECT_NE(text.find("checksum record: the descriptor and " + std::to_string(summary.chunks) + " chunks, all match"),
              std::string::npos) << text;

    // One flipped byte in a range entry's data, in a compressed stream, in the descriptor.
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.installer, &patch, &error));
    const uint8_t *image = patch.storage[0].data();
    uint64_t rangeAt = 0, streamAt = 0;
    uint32_t rangeChunk = 0, streamChunk = 0;
    for (const ChunkView &chunk : patch.chunks) {
        std::vector<EntryInfo> entries;
        ASSERT_EQ(CheckChunk(chunk, Collect, &entries), "");
        for (const EntryInfo &e : entries) {
            uint64_t data = (uint64_t)(chunk.data - image) + e.chunkOffset;
            if (e.kind == RangeKind && !rangeAt) {
                rangeAt = data + RangeHeaderSize(e.name.size()), rangeChunk = chunk.id;
            } else if (e.kind != RangeKind && !streamAt && e.dataSize > 100) {
                streamAt = data + WholeFileHeaderSize(e.name.size()) + e.dataSize - 50, streamChunk = chunk.id;
            }
        }
    }
    ASSERT_TRUE(rangeAt && streamAt);
    const PeResource *descriptor = nullptr;
    std::vector<PeResource> items;
    ASSERT_TRUE(ReadPeResources(patch.storage[0], &items, &error));
    descriptor = FindPeResource(items, NameKey(u"QPATCH"), IdKey(2000));
    struct Case {
        uint64_t offset;
        std::string named;
    } cases[] = {{rangeAt, "chunk " + std::to_string(rangeChunk)},
                 {streamAt, "chunk " + std::to_string(streamChunk)},
                 {descriptor->imageOffset + 12, "the descriptor"}};
    for (const Case &c : cases) {
        FlipByte(o.installer, temp.path / "flipped.exe", c.offset);
        std::string fault = Inspect(temp.path / "flipped.exe", &text);
        EXPECT_NE(text.find("  " + c.named + " does not match its CRC-32"), std::string::npos) << text;
        EXPECT_NE(fault, "") << c.named;
    }

    // Left out on request; then the installer cannot check itself, and inspect says so.
    o.checksumRecord = false;
    o.installer = temp.path / "unchecked.exe";
    o.force = true;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("checksum record: none"), std::string::npos) << text;
}

TEST(InstallerExtras, VersionResourceReadsBackFromThePe)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    PutStub(temp.path / "stub.exe");
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "stub.exe";
    o.target = 0x02030405;
    o.description = "《Tolvar二》v1.1.0.0\r\n升级到 v2.3.4.5\r\n";
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    std::vector<uint8_t> image = Get(o.installer);
    std::vector<PeResource> items;
    std::string error;
    ASSERT_TRUE(ReadPeResources(image, &items, &error)) << error;
    const PeResource *resource = FindPeResource(items, IdKey(16), IdKey(1));
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(resource->imageOffset % 4, 0u);  // its nodes are aligned from its first byte
    VersionInfo info;
    ASSERT_TRUE(ParseVersionResource(DataOf(image, resource), &info));
    EXPECT_EQ(FixedVersionText(info.fileHigh, info.fileLow), "2.3.4.5");
    EXPECT_EQ(FixedVersionText(info.productHigh, info.productLow), "2.3.4.5");
    EXPECT_EQ(*info.Find(u"FileDescription"), u"《Tolvar二》v1.1.0.0 升级到 v2.3.4.5");
    EXPECT_EQ(*info.Find(u"FileVersion"), u"2.3.4.5");
    EXPECT_EQ(*info.Find(u"ProductVersion"), u"2.3.4.5");
    EXPECT_EQ(*info.Find(u"ProductName"), VersionProductName);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("version resource: file 2.3.4.5, product 2.3.4.5"), std::string::npos) << text;
    // A damaged resource is reported as such, never read past its end.
    std::vector<uint8_t> bytes = DataOf(image, resource);
    for (size_t size = 0; size < bytes.size(); size += 3) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + size);
        ParseVersionResource(cut, &info);
    }
}

TEST(InstallerExtras, ASignatureIsReportedAndDroppedFromASignedStub)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    PutStub(temp.path / "stub.exe");
    std::vector<uint8_t> stub = Get(temp.path / "stub.exe");
    AddCertificateTable(&stub);
    Put(temp.path / "signed-stub.exe", stub);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "stub.exe";
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    std::string text;
    ASSERT_EQ(Inspect(o.installer, &text), "");
    EXPECT_NE(text.find("signature: none"), std::string::npos) << text;

    std::vector<uint8_t> installer = Get(o.installer);
    AddCertificateTable(&installer);
    Put(temp.path / "signed.exe", installer);
    ASSERT_EQ(Inspect(temp.path / "signed.exe", &text), "");
    EXPECT_NE(text.find("signature: signed (Authenticode"), std::string::npos) << text;
    EXPECT_NE(text.find("all match"), std::string::npos) << text;

    // A signed stub: the result is unsigned, and says why. (A signed installer is refused as a
    // stub: it already carries a patch.)
    for (const char *from : {"signed-stub.exe"}) {
        o.stub = temp.path / from;
        o.force = true;
        RecordingReport report;
        ASSERT_EQ(BuildPatch(o, report, &summary), 0);
        EXPECT_NE(report.Text(Report::Kind::Warning).find("is signed; the installer is written without"),
                  std::string::npos);
        uint32_t offset = 1, size = 1;
        ASSERT_TRUE(ReadPeCertificateTable(Get(o.installer), &offset, &size));
        EXPECT_EQ(offset + size, 0u);
        EXPECT_EQ(Inspect(o.installer, &text), "");
        EXPECT_NE(text.find("signature: none"), std::string::npos) << text;
    }
}

// ---- failures ----

TEST(Failures, NothingIsLeftAtTheOutputPaths)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "missing-stub.exe";
    BuildSummary summary;
    EXPECT_NE(BuildPatch(o, TestReport(), &summary), 0);
    o.installer.clear();
    o.chunkSize = 1;  // one chunk per entry is fine, but only 399 of them fit
    Put(g.newFolder / "many/x", {});
    for (int i = 0; i < 400; ++i) {
        Put(g.newFolder / ("many/f" + std::to_string(i)), {1});
    }
    EXPECT_NE(BuildPatch(o, TestReport(), &summary), 0);
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(temp.path)) {
        left.push_back(PathText(entry.path().filename()));
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"new", "old"}));
}

TEST(Failures, UnchangedFoldersAndCaseCollisionsAreRefused)
{
    TempFolder temp;
    Put(temp.path / "old/a", {1});
    Put(temp.path / "new/a", {1});
    GameFolders g = {temp.path / "old", temp.path / "new"};
    BuildSummary summary;
    EXPECT_NE(BuildPatch(Options(g, temp.path / "patch", 4096), TestReport(), &summary), 0);
#ifndef _WIN32  // a folder on Windows cannot hold both names
    Put(temp.path / "new/A", {2});
    EXPECT_NE(BuildPatch(Options(g, temp.path / "patch", 4096), TestReport(), &summary), 0);
#endif
    EXPECT_FALSE(fs::exists(temp.path / "patch"));
}

// Damages a copy of chunk 1601 and expects inspect to name a fault.
class DamagedChunk : public ::testing::Test {
protected:
    void SetUp() override
    {
        GameFolders g = MakeGame(temp.path, 4096);
        BuildSummary summary;
        ASSERT_EQ(BuildPatch(Options(g, temp.path / "patch", 4096), TestReport(), &summary), 0);
        std::string error;
        ASSERT_TRUE(LoadPatch(temp.path / "patch", &patch, &error));
        entries = EntriesOf(patch);
        original.assign(patch.chunks[0].data, patch.chunks[0].data + patch.chunks[0].size);
        Reset();
    }
    void Reset() { bytes = original; }
    std::string Check()
    {
        ChunkView view = {FirstChunkId, bytes.data(), bytes.size()};
        return CheckChunk(view, nullptr, nullptr);
    }
    const EntryInfo &FirstWhole()
    {
        for (const EntryInfo &e : entries) {
            if (e.kind != RangeKind && e.decodedSize > 4096) {
                return e;
            }
        }
        return entries[0];
    }
    TempFolder temp;
    LoadedPatch patch;
    std::vector<EntryInfo> entries;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> original;
};

TEST_F(DamagedChunk, TruncationAndTrailingBytes)
{
    EXPECT_EQ(Check(), "");
    bytes.push_back(0);
    EXPECT_NE(Check().find("ends inside"), std::string::npos) << Check();
    bytes.pop_back();
    bytes.pop_back();
    EXPECT_NE(Check().find("runs past"), std::string::npos) << Check();
    bytes.resize(entries[1].chunkOffset + 1);
    EXPECT_NE(Check().find("ends inside the name length"), std::string::npos) << Check();
}

TEST_F(DamagedChunk, HeaderFieldsOutOfBounds)
{
    const EntryInfo &e = entries[0];
    bytes[e.chunkOffset + 1] = 0x00;
    bytes[e.chunkOffset + 2] = 0x02;  // 512 units
    EXPECT_NE(Check().find("above 511"), std::string::npos) << Check();
    Reset();
    PutU64(&bytes[entries[0].chunkOffset + 3 + 2 * entries[0].name.size()], bytes.size());
    EXPECT_NE(Check().find("runs past the chunk's end"), std::string::npos) << Check();
    Reset();
    bytes[entries[0].chunkOffset + 3] = '.';
    bytes[entries[0].chunkOffset + 5] = '.';
    bytes[entries[0].chunkOffset + 7] = '/';
    EXPECT_NE(Check().find("leaves the game folder"), std::string::npos) << Check();
}

TEST_F(DamagedChunk, CompressedStreams)
{
    const EntryInfo e = FirstWhole();
    size_t stream = e.chunkOffset + WholeFileHeaderSize(e.name.size());
    PutU32(&bytes[stream + 12], 4);  // a stored block below 5 bytes
    EXPECT_NE(Check().find("does not decode"), std::string::npos) << Check();
    Reset();
    PutU32(&bytes[stream + 8], 0);
    EXPECT_NE(Check().find("block size of 0"), std::string::npos) << Check();
    Reset();
    PutU64(&bytes[stream], e.decodedSize + 4096);  // one block more than the table holds
    EXPECT_FALSE(Check().empty());
    Reset();
    // Cut the first block's LZMA data short by moving its bytes to the second block's count.
    uint32_t first = GetU32(&bytes[stream + 12]);
    uint32_t second = GetU32(&bytes[stream + 16]);
    PutU32(&bytes[stream + 12], first - 8);
    PutU32(&bytes[stream + 16], second + 8);
    EXPECT_NE(Check().find("does not decode"), std::string::npos) << Check();
}

TEST(Inspect, PatchLevelFaults)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.chunkSize = 1500;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    ASSERT_GE(summary.chunks, 2u);
    LoadedPatch patch;
    std::string error;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    ASSERT_EQ(InspectPatch(patch, TestReport()), "");

    fs::rename(o.outFolder / "1602.bin", o.outFolder / "1699.bin");
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("follows a missing id"), std::string::npos);
    // Verify reports the file that chunk 1602 no longer reaches.
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 1);
    fs::rename(o.outFolder / "1699.bin", o.outFolder / "1602.bin");

    Put(o.outFolder / "descriptor.txt", {'1', '.', '1', ' ', '>', '=', ' ', '1'});
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("operator"), std::string::npos);
    fs::remove(o.outFolder / "descriptor.txt");
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    EXPECT_NE(InspectPatch(patch, TestReport()).find("no descriptor"), std::string::npos);
}

TEST(Verify, NamesTheFirstDifference)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 0);
    std::vector<uint8_t> data = Get(g.newFolder / "Data/one_block.dat");
    data[100] ^= 1;
    Put(g.newFolder / "Data/one_block.dat", data);
    EXPECT_EQ(VerifyPatch(o.outFolder, {g.oldFolder}, g.newFolder, TestReport()), 1);
    std::vector<std::string> leftovers;
    std::string error;
    fs::path copy = temp.path / "copy";
    fs::copy(g.oldFolder, copy, fs::copy_options::recursive);
    LoadedPatch patch;
    ASSERT_TRUE(LoadPatch(o.outFolder, &patch, &error));
    ASSERT_EQ(ApplyPatchToFolder(patch, copy, &error), InstallResult::Ok);
    std::vector<std::string> differences = CompareTrees(g.newFolder, copy, &leftovers, &error);
    ASSERT_EQ(differences.size(), 1u);
    EXPECT_NE(differences[0].find("Data/one_block.dat differs from byte 100"), std::string::npos);
}

TEST(Verify, BackslashNamesNeedExistingFoldersAsInTheInstaller)
{
    TempFolder temp;
    // One whole-file entry named with backslashes, into a folder that exists and one that does not.
    std::vector<uint8_t> chunk;
    const std::vector<uint8_t> stream = {0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0};  // 0 bytes decoded
    AppendEntryHeader(&chunk, WholeFileKind, u"Bin\\a.dat", stream.size(), 0);
    chunk.insert(chunk.end(), stream.begin(), stream.end());
    LoadedPatch patch;
    patch.chunks.push_back(ChunkView{FirstChunkId, chunk.data(), chunk.size()});
    fs::create_directories(temp.path / "game/Bin");
    std::string detail;
    EXPECT_EQ(ApplyPatchToFolder(patch, temp.path / "game", &detail), InstallResult::Ok) << detail;
    EXPECT_TRUE(fs::exists(temp.path / "game/Bin/a.dat"));
    chunk.clear();
    AppendEntryHeader(&chunk, WholeFileKind, u"New\\a.dat", stream.size(), 0);
    chunk.insert(chunk.end(), stream.begin(), stream.end());
    patch.chunks[0] = ChunkView{FirstChunkId, chunk.data(), chunk.size()};
    EXPECT_EQ(ApplyPatchToFolder(patch, temp.path / "game", &detail), InstallResult::CannotCreate);
    // A range entry never creates its file.
    chunk.clear();
    AppendEntryHeader(&chunk, RangeKind, u"Bin/missing.dat", 1, 0);
    chunk.push_back(1);
    patch.chunks[0] = ChunkView{FirstChunkId, chunk.data(), chunk.size()};
    EXPECT_EQ(ApplyPatchToFolder(patch, temp.path / "game", &detail), InstallResult::CannotCreate);
    EXPECT_FALSE(fs::exists(temp.path / "game/Bin/missing.dat"));
}

// ---- output safety: nothing given as input is ever changed, outputs are checked first ----

// A built game with a stub; every case must leave the folders exactly as they were.
class OutputSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        g = MakeGame(temp.path, 4096);
        PutStub(temp.path / "stub.exe");
        o = Options(g, temp.path / "patch", 4096);
        o.stub = temp.path / "stub.exe";
        o.installer = temp.path / "setup.exe";
    }
    // Builds and expects a refusal that leaves old/ and new/ intact.
    void ExpectRefused()
    {
        BuildSummary summary;
        EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
        EXPECT_TRUE(fs::is_directory(g.oldFolder / "Bin"));
        EXPECT_EQ(Get(g.newFolder / "Bin/game.ini"), Ini("1.1.0.0"));
        EXPECT_EQ(Get(g.oldFolder / "Bin/game.ini"), Ini("1.1.0.0"));
    }
    TempFolder temp;
    GameFolders g;
    BuildOptions o;
};

TEST_F(OutputSafety, AnOutputIsNeverAnInputNorInsideOneNorHoldsOne)
{
    o.installer = g.oldFolder;  // once deleted the old folder and put a PE file in its place
    ExpectRefused();
    o.force = true;
    ExpectRefused();
    o.installer = temp.path / "setup.exe";
    o.outFolder = g.newFolder;  // --out NEW --force once deleted the source
    ExpectRefused();
    o.outFolder = temp.path;    // holds both inputs
    ExpectRefused();
    o.outFolder = g.newFolder / "patch";  // inside the new folder, shipped by the next rebuild
    ExpectRefused();
    o.outFolder = temp.path / "patch";
    o.installer = g.newFolder / "setup.exe";
    ExpectRefused();
    o.installer = o.stub;
    ExpectRefused();
    o.installer = o.outFolder;  // once printed a size of 2^64-1
    ExpectRefused();
    o.installer = o.outFolder / "setup.exe";
    ExpectRefused();
    EXPECT_FALSE(fs::exists(o.outFolder));
}

TEST_F(OutputSafety, AnExistingInstallerIsReplacedOnlyWithForceAndAFolderNever)
{
    Put(o.installer, {'k', 'e', 'e', 'p'});
    ExpectRefused();
    EXPECT_EQ(Get(o.installer), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    o.force = true;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(LoadPatch(o.installer, &patch, &error)) << error;
    RemoveTree(o.installer);
    fs::create_directories(o.installer / "inside");
    ExpectRefused();
    EXPECT_TRUE(fs::is_directory(o.installer / "inside"));
}

TEST_F(OutputSafety, TemporariesOfADeadRunAreRemovedAndALiveRunsKept)
{
    // Process ids above the kernel's limit are never alive. A live run: init on Linux; Windows has
    // no process that always runs, so there our own id stands for one.
    fs::path dead = temp.path / "patch.tmp-4194304999-0";
    fs::path deadInstaller = temp.path / "setup.exe.tmp-4194304999-3";
#ifdef _WIN32
    fs::path alive = temp.path / ("patch.tmp-" + std::to_string(GetCurrentProcessId()) + "-0");
#else
    fs::path alive = temp.path / "patch.tmp-1-0";
#endif
    fs::path unrelated = temp.path / "patch.tmp-12x-0";
    for (const fs::path &p : {dead, alive, unrelated}) {
        fs::create_directories(p / "1601.bin");
    }
    Put(deadInstaller, {1});
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_FALSE(fs::exists(deadInstaller));
    EXPECT_TRUE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(unrelated));
}

// ---- cumulative patches ----

// Versions 1.0.0.0 and 1.1.0.0 of one game, and 1.2.0.0 that a patch accepting both produces.
struct History {
    fs::path v100, v110, v120;
};

History MakeHistory(const fs::path &root)
{
    History h = {root / "v100", root / "v110", root / "v120"};
    std::vector<uint8_t> exe = Bytes(40000, 30, false);
    std::vector<uint8_t> exe110 = exe;
    exe110[1000] ^= 1;   // changed in 1.1.0.0 only
    std::vector<uint8_t> exe120 = exe110;
    exe120[30000] ^= 1;  // changed in 1.2.0.0
    Put(h.v100 / "Bin/Tolvar2.exe", exe);
    Put(h.v110 / "Bin/Tolvar2.exe", exe110);
    Put(h.v120 / "Bin/Tolvar2.exe", exe120);
    Put(h.v100 / "Data/same.dat", Bytes(5000, 31, false));  // unchanged since 1.0.0.0
    Put(h.v110 / "Data/same.dat", Bytes(5000, 31, false));
    Put(h.v120 / "Data/same.dat", Bytes(5000, 31, false));
    Put(h.v110 / "Data/added110.dat", Bytes(3000, 32, false));  // new in 1.1.0.0
    std::vector<uint8_t> added = Bytes(3000, 32, false);
    added[7] ^= 1;
    Put(h.v120 / "Data/added110.dat", added);
    Put(h.v110 / "Bin/game.ini", Ini("1.1.0.0"));  // 1.0.0.0 has none: the installer reads 1.0.0.0
    Put(h.v120 / "Bin/game.ini", Ini("1.2.0.0"));
    return h;
}

BuildOptions CumulativeOptions(const History &h, const fs::path &out)
{
    BuildOptions o = Options(GameFolders{fs::path(), h.v120}, out, 4096);
    o.olds = {OldVersion{h.v100, true, 0x01000000}, OldVersion{h.v110}};
    o.target = 0x01020000;
    o.base = 0x01010000;
    o.op = GateOperator::UpTo;
    o.allOldVersions = true;
    return o;
}

std::map<std::string, std::vector<EntryInfo>> EntriesByName(const fs::path &patchPath)
{
    LoadedPatch patch;
    std::string error;
    EXPECT_TRUE(LoadPatch(patchPath, &patch, &error)) << error;
    std::map<std::string, std::vector<EntryInfo>> byName;
    for (const EntryInfo &e : EntriesOf(patch)) {
        std::string name;
        Utf16ToUtf8(e.name, &name);
        byName[name].push_back(e);
    }
    return byName;
}

TEST(Cumulative, RangesCoverWhatDiffersInAnyOldVersionAndEveryOneInstalls)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    auto byName = EntriesByName(o.outFolder);
    ASSERT_EQ(byName["Bin/Tolvar2.exe"].size(), 2u);  // offset 1000 differs in 1.0.0.0 only
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][0].targetOffset, 1000u);
    EXPECT_EQ(byName["Bin/Tolvar2.exe"][1].targetOffset, 30000u);
    EXPECT_EQ(byName.count("Data/same.dat"), 0u);
    EXPECT_EQ(byName["Data/added110.dat"][0].kind, WholeFileKind);  // 1.0.0.0 lacks it
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
    // Claiming every version while leaving 1.0.0.0 out gives it ranges computed against 1.1.0.0;
    // verify catches the damage.
    o.olds.erase(o.olds.begin());
    o.outFolder = temp.path / "only110";
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 0);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100}, h.v120, TestReport()), 1);
}

TEST(Cumulative, UpToWithoutEveryOldVersionShipsEveryFileWhole)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    o.allOldVersions = false;
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    auto byName = EntriesByName(o.outFolder);
    EXPECT_EQ(byName.size(), 4u);  // unchanged files too: an unlisted version may differ in them
    for (const auto &entry : byName) {
        ASSERT_EQ(entry.second.size(), 1u);
        EXPECT_EQ(entry.second[0].kind, WholeFileKind) << entry.first;
    }
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100, h.v110}, h.v120, TestReport()), 0);
}

TEST(Cumulative, VersionsComeFromGameIniAsTheInstallerReadsThem)
{
    TempFolder temp;
    PackedVersion v = 0;
    std::string error;
    ASSERT_TRUE(ReadGameVersion(temp.path, &v, &error));
    EXPECT_EQ(v, 0x01000000u);  // no file
    const std::pair<std::string, PackedVersion> cases[] = {
        {"[game]\r\n  version = \"1.2.3.4\"  \r\n", 0x01020304u},
        {"[Other]\nVERSION=9.9.9.9\n[GAME]\nVERSION=1.1\n", 0x01010000u},
        {"[GAME]\nNAME=x\n", 0x01000000u},
        {"\xEF\xBB\xBF[GAME]\nVERSION=2.0.0.1\n", 0x02000001u},
        {"[GAME]\nVERSION=1.256.0.0\n", 0x02000000u},  // parts carry like the installer's parse
    };
    for (const auto &c : cases) {
        Put(temp.path / "Bin/game.ini", std::vector<uint8_t>(c.first.begin(), c.first.end()));
        ASSERT_TRUE(ReadGameVersion(temp.path, &v, &error));
        EXPECT_EQ(v, c.second) << c.first;
    }
    std::vector<uint8_t> utf16 = {0xFF, 0xFE};
    for (char c : std::string("[GAME]\r\nVERSION=3.0.0.0\r\n")) {
        utf16.insert(utf16.end(), {(uint8_t)c, 0});
    }
    Put(temp.path / "Bin/game.ini", utf16);
    ASSERT_TRUE(ReadGameVersion(temp.path, &v, &error));
    EXPECT_EQ(v, 0x03000000u);
}

// ---- refusals: what no player could install is refused before any work ----

TEST(Refusals, OldVersionsTheInstallerWouldRefuseOrAskAbout)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    BuildSummary summary;
    o.op = GateOperator::Exact;  // 1.0.0.0 is not the base
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    o.op = GateOperator::UpTo;
    o.base = 0x01000000;  // 1.1.0.0 is above the base: the installer would ask
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    o.base = 0x01010000;
    o.target = 0x01010000;  // 1.1.0.0 is already at the target
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    o.target = 0x01020000;
    o.olds[1].claimed = true;  // the claimed version must be what game.ini says
    o.olds[1].version = 0x01000001;
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    EXPECT_FALSE(fs::exists(o.outFolder));
}

TEST(Refusals, VerifyRunsTheInstallersDescriptorAndGateChecks)
{
    TempFolder temp;
    History h = MakeHistory(temp.path);
    BuildOptions o = CumulativeOptions(h, temp.path / "patch");
    BuildSummary summary;
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    fs::path descriptor = o.outFolder / "descriptor.txt";
    Put(descriptor, {'1', '.', '2', ' ', '=', ' ', '1', '.', '1'});  // 1.0.0.0 is not 1.1
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v100}, h.v120, TestReport()), 1);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 0);
    Put(descriptor, {'1', '.', '2', ' ', '>', ' ', '1', '.', '1'});
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 1);
    fs::remove(descriptor);
    EXPECT_EQ(VerifyPatch(o.outFolder, {h.v110}, h.v120, TestReport()), 1);
}

TEST(Refusals, FileAndFolderSwapsLongNamesAndLinkLoops)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    BuildSummary summary;
    Put(g.oldFolder / "Data/Maps", {1});  // a file that became a folder
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    fs::remove(g.oldFolder / "Data/Maps");
    Put(g.oldFolder / "Data/empty.dat/x", {1});  // a folder that became a file
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    RemoveTree(g.oldFolder / "Data/empty.dat");
    fs::path deep = g.newFolder / std::string(120, 'd') / std::string(120, 'e');
    Put(deep / "f.dat", {1});  // 247 characters: over what a plain path leaves for the name
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    RemoveTree(g.newFolder / std::string(120, 'd'));
#ifndef _WIN32
    fs::create_directory_symlink(g.newFolder, g.newFolder / "Data/loop");
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    fs::remove(g.newFolder / "Data/loop");
    // A linked folder is followed: its files are part of the patch, not silently missing.
    Put(temp.path / "shared/sky.tex", Bytes(100, 40, true));
    fs::create_directory_symlink(temp.path / "shared", g.newFolder / "Data/Shared");
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    EXPECT_EQ(EntriesByName(o.outFolder).count("Data/Shared/sky.tex"), 1u);
#endif
}

TEST(Refusals, OnlyAPayloadFreeInstallerIsAStubAndTruncationIsCaught)
{
    TempFolder temp;
    GameFolders g = MakeGame(temp.path, 4096);
    BuildOptions o = Options(g, temp.path / "patch", 4096);
    o.installer = temp.path / "setup.exe";
    o.stub = temp.path / "other.exe";
    Put(o.stub, MinimalImage());  // a PE, but not this project's installer
    BuildSummary summary;
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    PutStub(temp.path / "stub.exe");
    o.stub = temp.path / "stub.exe";
    ASSERT_EQ(BuildPatch(o, TestReport(), &summary), 0);
    o.stub = o.installer;  // carries a patch already
    o.installer = temp.path / "again.exe";
    o.outFolder = temp.path / "again";
    EXPECT_EQ(BuildPatch(o, TestReport(), &summary), 1);
    EXPECT_FALSE(fs::exists(o.installer));
    // One byte short: the last section runs past the end of the file.
    std::vector<uint8_t> image = Get(temp.path / "setup.exe");
    image.pop_back();
    Put(temp.path / "cut.exe", image);
    LoadedPatch patch;
    std::string error;
    EXPECT_FALSE(LoadPatch(temp.path / "cut.exe", &patch, &error));
    EXPECT_NE(error.find("runs past the end of the file"), std::string::npos) << error;
}

}  // namespace
