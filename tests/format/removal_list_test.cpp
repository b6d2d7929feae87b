// The removal list and the rule of names inside the game folder: one row per way a list or a name
// can be sound or broken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/name_rule.h"
#include "format/removal_list.h"
#include "stream/little_endian.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes Record(uint8_t kind, const std::u16string &name, std::vector<uint64_t> sizes)
{
    std::vector<uint32_t> crcs(sizes.size(), 0xC0FFEE);
    Bytes out(RemovalRecordSize((uint32_t)name.size(), (uint32_t)sizes.size()));
    PutRemoval(out.data(), kind, name.data(), (uint32_t)name.size(), sizes.data(), crcs.data(),
               (uint32_t)sizes.size());
    return out;
}

Bytes List(const std::vector<Bytes> &records, int countChange = 0)
{
    Bytes out(RemovalHeaderSize);
    PutRemovalHeader(out.data(), (uint32_t)((int)records.size() + countChange));
    for (const Bytes &r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

// Returns: the records read before End, or -1 when the list is refused or a record is malformed.
int CountRecords(const Bytes &list)
{
    RemovalReader reader;
    if (!OpenRemovalList(list.data(), (uint32_t)list.size(), &reader))
        return -1;
    Removal r;
    int records = 0;
    RemovalRead read;
    while ((read = NextRemoval(&reader, &r)) == RemovalRead::Record)
        ++records;
    return read == RemovalRead::End ? records : -1;
}

TEST(RemovalList, SoundAndBrokenLists)
{
    Bytes file = Record(RemoveFile, u"Bin/old.dll", {10, 20});
    Bytes folder = Record(RemoveFolder, u"Bin/Gone", {});
    Bytes zeroInName = Record(RemoveFile, u"Bin/a", {1});
    PutU16(&zeroInName[4 + 2], 0);
    Bytes badKind = file;
    badKind[0] = 3;
    Bytes folderWithContent = Record(RemoveFolder, u"Bin", {1});
    Bytes fileWithout = Record(RemoveFile, u"Bin/a", {});
    Bytes badMagic = List({file});
    badMagic[0] = 'X';
    Bytes tail = List({file});
    tail.push_back(0);
    Bytes cutInIdentity = List({file});
    cutInIdentity.pop_back();
    Bytes cutInHeader = List({});
    cutInHeader.pop_back();
    const struct {
        const char *what;
        Bytes list;
        int records;
    } rows[] = {
        {"empty", List({}), 0},
        {"a file and a folder", List({file, folder}), 2},
        {"cut in the last identity", cutInIdentity, -1},
        {"cut in the header", cutInHeader, -1},
        {"count above the records", List({file}, 1), -1},
        {"bytes after the last record", tail, -1},
        {"another magic", badMagic, -1},
        {"unknown kind", List({badKind}), -1},
        {"a zero unit in a name", List({zeroInName}), -1},
        {"a folder with contents", List({folderWithContent}), -1},
        {"a file without any", List({fileWithout}), -1},
        {"an empty name", List({Record(RemoveFile, u"", {1})}), -1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(CountRecords(row.list), row.records) << row.what;
}

TEST(RemovalList, NamesOnlyTheListedContents)
{
    Bytes list = List({Record(RemoveFile, u"Bin/old.dll", {10, 20})});
    RemovalReader reader;
    Removal r;
    ASSERT_TRUE(OpenRemovalList(list.data(), (uint32_t)list.size(), &reader));
    ASSERT_EQ(NextRemoval(&reader, &r), RemovalRead::Record);
    EXPECT_TRUE(RemovalNamesContent(r, 20, 0xC0FFEE));
    EXPECT_FALSE(RemovalNamesContent(r, 20, 0xC0FFEF));
    EXPECT_FALSE(RemovalNamesContent(r, 30, 0xC0FFEE));
}

TEST(NameRule, NamesThatLeaveTheGameFolder)
{
    for (const std::u16string inside : {u"Bin\\game.exe", u"Bin/..data", u"a..", u"...", u"a/b/c"})
        EXPECT_TRUE(NameStaysInside(inside.data(), (uint32_t)inside.size()))
            << std::string(inside.begin(), inside.end());
    for (const std::u16string outside :
         {u"", u"..", u"..\\x", u"Bin/../../x", u"Bin/..", u"/etc/x", u"\\x", u"C:x", u"Bin/a:s"})
        EXPECT_FALSE(NameStaysInside(outside.data(), (uint32_t)outside.size()))
            << std::string(outside.begin(), outside.end());
}

TEST(NameRule, OneFileAsWindowsMatchesNames)
{
    EXPECT_TRUE(SameFileName(u"Bin/Game.JAR", u"bin\\game.jar"));
    EXPECT_TRUE(SameFileName(u"", u""));
    EXPECT_FALSE(SameFileName(u"Bin/game.jar", u"Bin/game.ja"));
    EXPECT_FALSE(SameFileName(u"Bin/game.jar", u"Bin/game.jar2"));
    EXPECT_FALSE(SameFileName(u"a[", u"a{"));  // '[' + 32 is '{', but '[' is no letter
}

}  // namespace
