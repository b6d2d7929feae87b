// What the installer reads, as the tool writes it: version arguments, the descriptor and its
// description, and target names.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "format/descriptor.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/format/patch_format.h"

namespace {

TEST(Format, VersionArgumentsAreFourPartsUpTo255)
{
    uint32_t v = 0;
    EXPECT_TRUE(ParseVersionArgument("1.1.0.1", &v));
    EXPECT_EQ(v, 0x01010001u);
    EXPECT_TRUE(ParseVersionArgument("255.0.10.9", &v));
    EXPECT_EQ(VersionText(v), "255.0.10.9");
    for (const char *bad : {"1.1.0", "1.1.0.256", "1.1.0.1.", "1..0.1", "-1.0.0.0", "1.1.0.1 ",
                            "a.b.c.d", "", "1.1.0.0001"}) {
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
    for (std::string bad :
         {std::string("a\xFF"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
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
    for (const char16_t *bad : {u"a\\b", u"Bin/con.txt", u"Bin/LPT1", u"dir./a", u"a ", u"a:b",
                                u"a//b", u"../a", u"Bin/./a", u"a?"}) {
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

}  // namespace
