// The PE resource reader and writer: resources read back as written, a second write in place,
// and damaged images refused without reading outside them.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/patchtool/support.h"
#include "tools/patchtool/pe/pe_resources.h"

namespace {

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
    EXPECT_EQ(DataOf(image, FindPeResource(read, IdKey(6), IdKey(13))),
              (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(DataOf(image, &read[4]), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(read[4].language, 2052);
    EXPECT_EQ(FindPeResource(read, NameKey(u"OTHER"), IdKey(5))->size, 0u);
    EXPECT_EQ(FindPeResource(read, NameKey(u"QPATCH"), IdKey(1602)), nullptr);

    // The resource section is now last: a second write rewrites it in place, keeping what it is
    // given.
    read.erase(read.begin());
    read.push_back(Item(NameKey(u"QPATCH"), 1602, {9, 9}));
    fs::path second = temp.path / "second.exe";
    ASSERT_TRUE(WritePeWithResources(image, read, second, &error)) << error;
    std::vector<uint8_t> again = Get(second);
    std::vector<PeResource> reread;
    ASSERT_TRUE(ReadPeResources(again, &reread, &error)) << error;
    EXPECT_EQ(reread.size(), 5u);
    EXPECT_EQ(GetU16(&again[0x86]), 2u);  // still two sections
    EXPECT_EQ(DataOf(again, FindPeResource(reread, NameKey(u"QPATCH"), IdKey(1602))),
              (std::vector<uint8_t>{9, 9}));
}

TEST(PeResources, DamagedImagesAreRefusedWithoutReadingOutOfBounds)
{
    TempFolder temp;
    std::vector<uint8_t> stub = MinimalImage();
    std::string error;
    fs::path file = temp.path / "x.exe";
    ASSERT_TRUE(
        WritePeWithResources(stub, {Item(NameKey(u"QPATCH"), 1601, {1, 2, 3})}, file, &error));
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

}  // namespace
