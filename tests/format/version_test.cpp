// Packing and parsing of dotted versions (the installed version's text in Bin\game.ini).
#include <gtest/gtest.h>
#include <wchar.h>
#include "format/version.h"

static PackedVersion Parse(const wchar_t *text)
{
    return ParseDottedVersion(text, (uint32_t)wcslen(text));
}

TEST(PackVersion, WrapsAndCarriesWithoutMasking)
{
    EXPECT_EQ(PackVersion(1, 0, 0, 0), 0x01000000u);
    EXPECT_EQ(PackVersion(1, 1, 0, 1), 0x01010001u);
    EXPECT_EQ(PackVersion(1, 256, 0, 0), 0x02000000u);
    EXPECT_EQ(PackVersion(-1, 0, 0, 0), 0xFF000000u);
    EXPECT_EQ(PackVersion(1, 0, 0, -1), 0x00FFFFFFu);
    EXPECT_EQ(PackVersion(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX), 0x7EFEFEFFu);
}

TEST(ParseDottedVersion, WellFormedTexts)
{
    EXPECT_EQ(Parse(L"1.0.0.0"), 0x01000000u);
    EXPECT_EQ(Parse(L"1.1.0.1"), 0x01010001u);
    EXPECT_EQ(Parse(L"255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(Parse(L"0.0.0.0"), 0u);
}

TEST(ParseDottedVersion, MissingAndExtraParts)
{
    EXPECT_EQ(Parse(L"1.2"), PackVersion(1, 2, 0, 0));
    EXPECT_EQ(Parse(L"1"), PackVersion(1, 0, 0, 0));
    EXPECT_EQ(Parse(L"1.2.3"), PackVersion(1, 2, 3, 0));
    EXPECT_EQ(Parse(L"1.2.3."), PackVersion(1, 2, 3, 0));
    EXPECT_EQ(Parse(L"1.2.3.4.5"), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L"1.2.3.4."), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L""), 0u);
    EXPECT_EQ(Parse(L"1..3.4"), PackVersion(1, 0, 3, 4));
    EXPECT_EQ(Parse(L"...."), 0u);
}

TEST(ParseDottedVersion, ConversionOfEachPart)
{
    EXPECT_EQ(Parse(L"1. 2.3.4"), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L" 1.\t2.\n3.\r4"), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L"v1.0.0.0"), 0u);
    EXPECT_EQ(Parse(L"1.2a.3.4"), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L"+1.+2.3.4"), PackVersion(1, 2, 3, 4));
    EXPECT_EQ(Parse(L"1 2.3.4.5"), PackVersion(1, 3, 4, 5));
    EXPECT_EQ(Parse(L"1.256.0.0"), 0x02000000u);
    EXPECT_EQ(Parse(L"1.256.0.0"), Parse(L"2.0.0.0"));
    EXPECT_EQ(Parse(L"-1.0.0.0"), 0xFF000000u);
    EXPECT_EQ(Parse(L"0.0.0.-1"), 0xFFFFFFFFu);
}

// The saturation must be the same where long has 64 bits as where it has 32.
TEST(ParseDottedVersion, SaturatesAtThe32BitLimits)
{
    const PackedVersion max = PackVersion(INT32_MAX, 0, 0, 0);
    const PackedVersion min = PackVersion(INT32_MIN, 0, 0, 0);
    EXPECT_EQ(Parse(L"2147483647.0.0.0"), max);
    EXPECT_EQ(Parse(L"2147483648.0.0.0"), max);
    EXPECT_EQ(Parse(L"99999999999999999999999.0.0.0"), max);
    EXPECT_EQ(Parse(L"-2147483648.0.0.0"), min);
    EXPECT_EQ(Parse(L"-2147483649.0.0.0"), min);
    EXPECT_EQ(Parse(L"0.0.0.4294967296"), (PackedVersion)INT32_MAX);
    EXPECT_EQ(Parse(L"0.0.0.-99999999999"), (PackedVersion)INT32_MIN);
}

// Only the given length counts, whatever follows it in memory.
TEST(ParseDottedVersion, StopsAtTheLength)
{
    wchar_t text[] = L"1.2.3.4";
    text[3] = 0;  // "1.2" followed by a terminator at the given length
    EXPECT_EQ(ParseDottedVersion(text, 3), PackVersion(1, 2, 0, 0));
    EXPECT_EQ(ParseDottedVersion(L"", 0), 0u);
}

// The text form "%d.%d.%d.%d" of any version parses back to the same value.
TEST(ParseDottedVersion, TextFormRoundTrips)
{
    const PackedVersion samples[] = {0u,          1u,          0x01000000u, 0x01010001u,
                                     0x7F00FF01u, 0xFFFFFFFFu, 0x80000000u};
    for (PackedVersion v : samples) {
        wchar_t text[32];
        swprintf(text, 32, L"%d.%d.%d.%d", (int)(v >> 24), (int)((v >> 16) & 255),
                 (int)((v >> 8) & 255), (int)(v & 255));
        EXPECT_EQ(Parse(text), v) << v;
    }
}
