#pragma once
// What the publisher's tool's tests share, in this order: a report that records what the library
// says; files and temporary folders; a minimal PE image and a payload-free stub; a game's old and
// new folders and the options that build a patch from them; a game's version history for
// cumulative patches; the entries of a built patch; and the fixture that builds an installer.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/patchtool/builder/build.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/host/files.h"
#include "tools/patchtool/host/report.h"
#include "tools/patchtool/host/temporaries.h"
#include "tools/patchtool/pe/pe_resources.h"

// Keeps every line said, and echoes it to stderr so that a failing test's log shows it.
class RecordingReport : public Report {
public:
    void Say(Kind kind, const std::string &text) override
    {
        said.push_back({kind, text});
        fprintf(stderr, "%s\n", text.c_str());
    }
    bool ShowsProgress() const override { return false; }
    void Progress(const std::string &, bool) override {}

    // Returns: every line of that kind, each ended by a line feed.
    std::string Text(Kind kind) const
    {
        std::string text;
        for (const auto &line : said) {
            if (line.first == kind) {
                text += line.second + "\n";
            }
        }
        return text;
    }

    std::vector<std::pair<Kind, std::string>> said;
};

// A report for calls whose words the test does not look at.
inline Report &TestReport()
{
    static RecordingReport report;
    report.said.clear();
    return report;
}

// ---- files ----

// Returns: size bytes, random or (compressible) a repeated record text, the same for each seed.
inline std::vector<uint8_t> Bytes(size_t size, uint32_t seed, bool compressible)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = compressible ? (uint8_t)("record:"[i % 7] + (i / 997) % 3) : (uint8_t)random();
    }
    return data;
}

// Writes a file, creating its folders.
inline void Put(const fs::path &path, const std::vector<uint8_t> &data)
{
    fs::create_directories(path.parent_path());
    std::string error;
    ASSERT_TRUE(WriteWholeFile(path, data.data(), data.size(), &error)) << error;
}

inline std::vector<uint8_t> Get(const fs::path &path)
{
    std::vector<uint8_t> data;
    std::string error;
    EXPECT_TRUE(ReadWholeFile(path, &data, &error)) << error;
    return data;
}

// A folder of the test's own, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() : path(MakeTemporaryFolder("patchtool-test")) {}
    ~TempFolder() { RemoveTree(path); }
    fs::path path;
};

// ---- PE images and the stub ----

// A minimal PE32 image: headers in 0x400 bytes and one code section.
inline std::vector<uint8_t> MinimalImage()
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

inline PeResource Item(const ResourceKey &type, uint16_t id, const std::vector<uint8_t> &bytes,
                       uint16_t language = 0)
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
inline std::vector<uint8_t> StringBlock(unsigned first, unsigned last)
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
// IDS_LAST_TEXT (214) in both languages.
inline void PutStub(const fs::path &path)
{
    std::vector<PeResource> items = {Item(IdKey(5), 100, {1}), Item(IdKey(14), 100, {1})};
    for (uint16_t language : {2052, 1028}) {
        items.push_back(Item(IdKey(6), 13, StringBlock(9, 15), language));
        items.push_back(Item(IdKey(6), 14, StringBlock(0, IDS_LAST_TEXT - 208), language));
    }
    std::string error;
    ASSERT_TRUE(WritePeWithResources(MinimalImage(), items, path, &error)) << error;
}

// Returns: a resource's bytes as they lie in the image.
inline std::vector<uint8_t> DataOf(const std::vector<uint8_t> &image, const PeResource *item)
{
    return std::vector<uint8_t>(image.begin() + item->imageOffset,
                                image.begin() + item->imageOffset + item->size);
}

// ---- game folders and build options ----

struct GameFolders {
    fs::path oldFolder;
    fs::path newFolder;
};

inline std::vector<uint8_t> Ini(const std::string &version)
{
    std::string text = "[GAME]\r\nVERSION=" + version + "\r\n";
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Returns: bytes as a recompile changes them: a few bytes inserted every 8 KiB, shifting all that
// follows, so that only a delta sends them cheaply.
inline std::vector<uint8_t> Recompiled(const std::vector<uint8_t> &bytes, uint32_t seed)
{
    std::vector<uint8_t> result;
    for (size_t at = 0; at < bytes.size(); at += 8192) {
        result.insert(result.end(), bytes.begin() + at,
                      bytes.begin() + std::min(bytes.size(), at + 8192));
        std::vector<uint8_t> inserted = Bytes(24, seed + (uint32_t)at, false);
        result.insert(result.end(), inserted.begin(), inserted.end());
    }
    return result;
}

// Old and new game folders with every kind of change the tool handles.
inline GameFolders MakeGame(const fs::path &root, uint32_t blockSize)
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
    Put(g.newFolder / "Bin/game.ini", Ini("1.1.0.0"));  // unchanged
    Put(g.oldFolder / "Data/shrunk.bin", Bytes(5000, 13, true));
    Put(g.newFolder / "Data/shrunk.bin", Bytes(4000, 13, true));  // shrunk: whole file
    Put(g.oldFolder / "Data/rewritten.bin", Bytes(3000, 14, false));
    Put(g.newFolder / "Data/rewritten.bin", Bytes(3000, 15, true));        // changed everywhere
    Put(g.newFolder / "Bin/random.dll", Bytes(3 * blockSize, 19, false));  // new, incompressible
    Put(g.newFolder / "Data/Maps/New/m1.map", Bytes(3 * blockSize + 1, 16, true));  // new folders
    Put(g.newFolder / "Data/empty.dat", {});
    Put(g.newFolder / "Data/one_block.dat", Bytes(blockSize, 17, true));
    Put(g.newFolder / "Data/中文.txt", Bytes(10, 18, true));
    Put(g.oldFolder / "Data/was_empty.dat", {});
    Put(g.newFolder / "Data/was_empty.dat", {1, 2, 3});  // grown from nothing
    return g;
}

// Old and new game folders where files were renamed, moved, copied, split and dropped:
//   Lib/engine-1.2.jar -> Lib/engine-1.3.jar (recompiled)     a version in the name
//   Mods/maps/pack.dat -> Addons/maps/pack.dat (recompiled)   a folder renamed
//   Data/icon.png      -> also Data/icon_big.png              a copy of the old one, while
//                         Data/icon.png is recompiled          itself a delta's target
//   Data/world.pak     -> Data/world1.pak, Data/world2.pak    split in two, while Data/world.pak
//                                                              is rewritten whole
//   Data/music.ogg     -> Sound/theme.bin (most of it)       another name, the content shared
//   Data/obsolete.txt, the folders Mods/maps, Mods, Empty/Sub and Empty: dropped
inline GameFolders MakeMoves(const fs::path &root)
{
    GameFolders g = {root / "old", root / "new"};
    for (const fs::path &folder : {g.oldFolder, g.newFolder}) {
        Put(folder / "Bin/game.ini", Ini("1.1.0.0"));
    }
    std::vector<uint8_t> icon = Bytes(16 << 10, 74, false);
    Put(g.oldFolder / "Data/icon.png", icon);
    Put(g.newFolder / "Data/icon.png", Recompiled(icon, 78));
    std::vector<uint8_t> engine = Bytes(64 << 10, 70, false);
    Put(g.oldFolder / "Lib/engine-1.2.jar", engine);
    Put(g.newFolder / "Lib/engine-1.3.jar", Recompiled(engine, 71));
    std::vector<uint8_t> pack = Bytes(64 << 10, 72, false);
    Put(g.oldFolder / "Mods/maps/pack.dat", pack);
    Put(g.newFolder / "Addons/maps/pack.dat", Recompiled(pack, 73));
    Put(g.newFolder / "Data/icon_big.png", icon);
    std::vector<uint8_t> world = Bytes(128 << 10, 75, false);
    Put(g.oldFolder / "Data/world.pak", world);
    Put(g.newFolder / "Data/world.pak", Bytes(2000, 79, false));
    std::vector<uint8_t> first(world.begin(), world.begin() + (80 << 10));
    std::vector<uint8_t> added = Bytes(1000, 77, false);
    first.insert(first.end(), added.begin(), added.end());
    Put(g.newFolder / "Data/world1.pak", first);
    Put(g.newFolder / "Data/world2.pak",
        std::vector<uint8_t>(world.begin() + (80 << 10), world.end()));
    std::vector<uint8_t> music = Bytes(256 << 10, 80, false);
    Put(g.oldFolder / "Data/music.ogg", music);
    music.resize(200 << 10);
    music.insert(music.end(), added.begin(), added.end());
    Put(g.newFolder / "Sound/theme.bin", music);
    Put(g.oldFolder / "Data/obsolete.txt", Bytes(3000, 76, true));
    fs::create_directories(g.oldFolder / "Empty/Sub");
    return g;
}

// Options for a patch from 1.1.0.0 (exactly) to 1.1.0.1, fast to compress.
inline BuildOptions Options(const GameFolders &g, const fs::path &out, uint32_t blockSize)
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

// ---- a version history, for cumulative patches ----

// Versions 1.0.0.0 and 1.1.0.0 of one game, and 1.2.0.0 that a patch accepting both produces.
struct History {
    fs::path v100, v110, v120;
};

inline History MakeHistory(const fs::path &root)
{
    History h = {root / "v100", root / "v110", root / "v120"};
    std::vector<uint8_t> exe = Bytes(40000, 30, false);
    std::vector<uint8_t> exe110 = exe;
    exe110[1000] ^= 1;  // changed in 1.1.0.0 only
    std::vector<uint8_t> exe120 = exe110;
    exe120[30000] ^= 1;  // changed in 1.2.0.0
    Put(h.v100 / "Bin/Tolvar2.exe", exe);
    Put(h.v110 / "Bin/Tolvar2.exe", exe110);
    Put(h.v120 / "Bin/Tolvar2.exe", exe120);
    for (const fs::path &version : {h.v100, h.v110, h.v120}) {
        Put(version / "Data/same.dat", Bytes(5000, 31, false));  // unchanged since 1.0.0.0
    }
    Put(h.v110 / "Data/added110.dat", Bytes(3000, 32, false));  // new in 1.1.0.0
    std::vector<uint8_t> added = Bytes(3000, 32, false);
    added[7] ^= 1;
    Put(h.v120 / "Data/added110.dat", added);
    Put(h.v110 / "Bin/game.ini", Ini("1.1.0.0"));  // 1.0.0.0 has none: the installer reads 1.0.0.0
    Put(h.v120 / "Bin/game.ini", Ini("1.2.0.0"));
    return h;
}

// Options for 1.2.0.0 from every version up to 1.1.0.0, 1.0.0.0 claimed as such.
inline BuildOptions CumulativeOptions(const History &h, const fs::path &out)
{
    BuildOptions o = Options(GameFolders{fs::path(), h.v120}, out, 4096);
    o.olds = {OldVersion{h.v100, true, 0x01000000}, OldVersion{h.v110}};
    o.target = 0x01020000;
    o.base = 0x01010000;
    o.op = GateOperator::UpTo;
    o.allOldVersions = true;
    return o;
}

// ---- the entries of a built patch ----

// A CheckChunk visitor that appends each entry to the std::vector<EntryInfo> at context.
inline void Collect(const EntryInfo &e, void *context)
{
    ((std::vector<EntryInfo> *)context)->push_back(e);
}

// Returns: every entry of every chunk, each chunk checked sound.
inline std::vector<EntryInfo> EntriesOf(const LoadedPatch &patch)
{
    std::vector<EntryInfo> entries;
    for (const ChunkView &chunk : patch.chunks) {
        EXPECT_EQ(CheckChunk(chunk, Collect, &entries), "");
    }
    return entries;
}

// Returns: the entries of the patch folder or installer at patchPath by their names, in order.
inline std::map<std::string, std::vector<EntryInfo>> EntriesByName(const fs::path &patchPath)
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

// A CheckDeltaResource visitor that appends each delta to the std::vector<DeltaInfo> at context.
inline void CollectDelta(const DeltaInfo &d, void *context)
{
    ((std::vector<DeltaInfo> *)context)->push_back(d);
}

// Returns: each delta's target and, after a space, the base it names (none: its target).
inline std::vector<std::string> DeltaBases(const LoadedPatch &patch)
{
    std::vector<DeltaInfo> deltas;
    for (const ChunkView &resource : patch.deltas) {
        EXPECT_EQ(CheckDeltaResource(resource, CollectDelta, &deltas), "");
    }
    std::vector<std::string> bases;
    for (const DeltaInfo &d : deltas) {
        std::string target, base;
        Utf16ToUtf8(d.entry.name, &target);
        Utf16ToUtf8(DeltaBaseName(d.header), &base);
        bases.push_back(target + " " + base);
    }
    return bases;
}

// ---- the installer build ----

// A game's folders (MakeGame, blocks of 4096 bytes) and a payload-free stub.exe in a temporary
// folder, and options that build the patch folder "patch" and the installer "setup.exe" from them.
// A test changes o before Build(); a suite whose every test builds an installer derives its
// fixture from this and ::testing::Test.
struct InstallerBuild {
    InstallerBuild() : g(MakeGame(temp.path, 4096)), o(Options(g, temp.path / "patch", 4096))
    {
        o.stub = temp.path / "stub.exe";
        o.installer = temp.path / "setup.exe";
        PutStub(o.stub);
    }
    // Returns: BuildPatch's exit code; summary holds what it built.
    int Build(Report &report = TestReport()) { return BuildPatch(o, report, &summary); }

    TempFolder temp;
    GameFolders g;
    BuildOptions o;
    BuildSummary summary;
};
