// The descriptor's number reader and head parse, and the version gate's decision table.
#include <gtest/gtest.h>
#include <string>
#include "format/descriptor.h"
#include "format/version.h"
#include "resources/resource.h"

namespace {

struct Parsed {
    DescriptorHead head;
    std::string description;
};

Parsed Parse(const std::string &text)
{
    Parsed p;
    p.head = ParseDescriptorHead((const uint8_t *)text.data(), (uint32_t)text.size());
    EXPECT_LE(p.head.descriptionOffset, text.size());
    p.description = text.substr(p.head.descriptionOffset);
    return p;
}

int32_t ReadAt(const std::string &text, uint32_t *position)
{
    return ReadDescriptorNumber((const uint8_t *)text.data(), (uint32_t)text.size(), position);
}

const std::string Example = "1.1.0.1 = 1.1.0.0\r\n《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n";

}  // namespace

TEST(ReadDescriptorNumber, SkipsSeparatorsAndReadsDigits)
{
    std::string text = " \t\r\n\v..42.7";
    uint32_t p = 0;
    EXPECT_EQ(ReadAt(text, &p), 42);
    EXPECT_EQ(p, 9u);
    EXPECT_EQ(ReadAt(text, &p), 7);
    EXPECT_EQ(p, text.size());
    EXPECT_EQ(ReadAt(text, &p), 0);  // at the end: 0, no move
    EXPECT_EQ(p, text.size());
}

TEST(ReadDescriptorNumber, OtherBytesStopTheReader)
{
    for (std::string stop : {"x", "-", "=", "<", "\f", "\xE4\xB8\x80", "\0"}) {
        std::string text = " .";
        text += stop.empty() ? std::string(1, '\0') : stop;
        text += "5";
        uint32_t p = 0;
        EXPECT_EQ(ReadAt(text, &p), 0) << stop;
        EXPECT_EQ(p, 2u) << stop;
        EXPECT_EQ(ReadAt(text, &p), 0) << stop;
        EXPECT_EQ(p, 2u) << stop;
    }
}

TEST(ReadDescriptorNumber, SaturatesAtInt32Max)
{
    uint32_t p = 0;
    EXPECT_EQ(ReadAt("2147483647", &p), 2147483647);
    p = 0;
    EXPECT_EQ(ReadAt("2147483648", &p), 2147483647);
    p = 0;
    std::string longRun(5000, '9');
    EXPECT_EQ(ReadAt(longRun, &p), 2147483647);
    EXPECT_EQ(p, 5000u);
    p = 0;
    EXPECT_EQ(ReadAt("0000000000000000000000012", &p), 12);
}

// The run may end exactly at the end of the text, with nothing behind it.
TEST(ReadDescriptorNumber, RunAtTheEndIsNotOverread)
{
    const uint8_t bytes[] = {'1', '2', '3'};
    uint32_t p = 0;
    EXPECT_EQ(ReadDescriptorNumber(bytes, 2, &p), 12);
    EXPECT_EQ(p, 2u);
}

TEST(ParseDescriptorHead, TheExample)
{
    Parsed p = Parse(Example);
    EXPECT_EQ(p.head.target, 0x01010001u);
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, 0x01010000u);
    EXPECT_EQ(p.description, "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n");
}

TEST(ParseDescriptorHead, DescriptorTable)
{
    Parsed p = Parse("1.1.0.1=1.1.0.0\r\nline\r\n");
    EXPECT_EQ(p.head.target, PackVersion(1, 1, 0, 1));
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, PackVersion(1, 1, 0, 0));
    EXPECT_EQ(p.description, "line\r\n");

    p = Parse("1.2.0.0 <= 1.1.9.9\r\nline\r\n");
    EXPECT_EQ(p.head.target, PackVersion(1, 2, 0, 0));
    EXPECT_EQ(p.head.gate, GateOperator::UpTo);
    EXPECT_EQ(p.head.base, PackVersion(1, 1, 9, 9));
    EXPECT_EQ(p.description, "line\r\n");

    p = Parse("1.2.0.0 == 1.1.0.0\r\nline\r\n");
    EXPECT_EQ(p.head.target, PackVersion(1, 2, 0, 0));
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, 0u);
    EXPECT_EQ(p.description, "= 1.1.0.0\r\nline\r\n");

    p = Parse("1.1.0.1 >= 1.1.0.0\r\nline\r\n");
    EXPECT_EQ(p.head.target, PackVersion(1, 1, 0, 1));
    EXPECT_EQ(p.head.gate, GateOperator::None);
    EXPECT_EQ(p.head.base, 0u);
    EXPECT_EQ(p.description, ">= 1.1.0.0\r\nline\r\n");

    p = Parse("1.1 = 1.0\r\n3D line\r\n");
    EXPECT_EQ(p.head.target, PackVersion(1, 1, 0, 0));
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, PackVersion(1, 0, 3, 0));
    EXPECT_EQ(p.description, "D line\r\n");

    p = Parse("1.1.0.1 = 1.1.0.0 9 lives");
    EXPECT_EQ(p.head.target, PackVersion(1, 1, 0, 1));
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, PackVersion(1, 1, 0, 0));
    EXPECT_EQ(p.description, "9 lives");

    p = Parse("\xEF\xBB\xBF" + Example);
    EXPECT_EQ(p.head.target, 0u);
    EXPECT_EQ(p.head.gate, GateOperator::None);
    EXPECT_EQ(p.head.base, 0u);
    EXPECT_EQ(p.description, "\xEF\xBB\xBF" + Example);
}

TEST(ParseDescriptorHead, OperatorForms)
{
    // "<" alone, "<" at the end, and "=" or "<=" at the very end of the text.
    EXPECT_EQ(Parse("1.0.0.0 < 2.0.0.0").head.gate, GateOperator::None);
    EXPECT_EQ(Parse("1.0.0.0 <").head.gate, GateOperator::None);
    EXPECT_EQ(Parse("1.0.0.0 <").description, "<");
    EXPECT_EQ(Parse("1.0.0.0 =").head.gate, GateOperator::Exact);
    EXPECT_EQ(Parse("1.0.0.0 <=").head.gate, GateOperator::UpTo);
    EXPECT_EQ(Parse("1.0.0.0 < = 2").head.gate, GateOperator::None);
    // A dot before the operator is no white space: the operator is missed and the base reader
    // skips the dot and stops at the "=".
    Parsed p = Parse("1.0.0.0. = 2.0.0.0");
    EXPECT_EQ(p.head.gate, GateOperator::None);
    EXPECT_EQ(p.head.base, 0u);
    EXPECT_EQ(p.description, "= 2.0.0.0");
}

TEST(ParseDescriptorHead, WhiteSpaceAndEnds)
{
    // Form feed is not white space: it stops the reader and starts the description.
    Parsed p = Parse("1.0.0.1 =\f1.0.0.0\r\nx");
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, 0u);
    EXPECT_EQ(p.description, "\f1.0.0.0\r\nx");

    p = Parse("1.0.0.1\t\r\n\v =\n\n1.0.0.0 \t\r\n\v text \r\n");
    EXPECT_EQ(p.head.gate, GateOperator::Exact);
    EXPECT_EQ(p.head.base, PackVersion(1, 0, 0, 0));
    EXPECT_EQ(p.description, "text \r\n");

    p = Parse("1.1.0.1 = 1.1.0.0");
    EXPECT_EQ(p.head.base, PackVersion(1, 1, 0, 0));
    EXPECT_EQ(p.description, "");
    p = Parse("1.1.0.1 = 1.1.0.0\r\n");
    EXPECT_EQ(p.description, "");

    p = Parse("");
    EXPECT_EQ(p.head.target, 0u);
    EXPECT_EQ(p.head.gate, GateOperator::None);
    EXPECT_EQ(p.head.descriptionOffset, 0u);
}

TEST(ParseDescriptorHead, NumbersPackWithoutMasking)
{
    Parsed p = Parse("1.256.0.0 <= 99999999999.0.0.0\r\n");
    EXPECT_EQ(p.head.target, 0x02000000u);
    EXPECT_EQ(p.head.base, PackVersion(INT32_MAX, 0, 0, 0));
}

namespace {

void ExpectGate(PackedVersion installed, const std::string &descriptor, uint8_t row,
                GateOutcome outcome, uint16_t textId, uint32_t style)
{
    DescriptorHead h = Parse(descriptor).head;
    GateDecision d = DecideVersionGate(installed, h.target, h.gate, h.base);
    EXPECT_EQ(d.row, row) << descriptor << " installed " << std::hex << installed;
    EXPECT_EQ(d.outcome, outcome) << descriptor << " installed " << std::hex << installed;
    EXPECT_EQ(d.textId, textId) << descriptor << " installed " << std::hex << installed;
    EXPECT_EQ(d.style, style) << descriptor << " installed " << std::hex << installed;
}

const std::string UpTo = "1.2.0.0 <= 1.1.9.9\r\nline\r\n";
const std::string Unknown = "1.1.0.1 >= 1.1.0.0\r\nline\r\n";

}  // namespace

TEST(DecideVersionGate, ExactOperator)
{
    ExpectGate(0x01010000, Example, 2, GateOutcome::Proceed, 0, 0);
    ExpectGate(0x01000000, Example, 3, GateOutcome::Refuse, IDS_NEED_BASE_VERSION, 0x30);
    ExpectGate(0x01010000 - 1, Example, 3, GateOutcome::Refuse, IDS_NEED_BASE_VERSION, 0x30);
    ExpectGate(0x01010001, Example, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
    ExpectGate(0x02000000, Example, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
    // -1.0.0.0 is 0xFF000000 and compares as the largest versions do.
    ExpectGate(0xFF000000, Example, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
}

TEST(DecideVersionGate, UpToOperator)
{
    ExpectGate(0x01000000, UpTo, 4, GateOutcome::Proceed, 0, 0);
    ExpectGate(0x01010909, UpTo, 4, GateOutcome::Proceed, 0, 0);
    ExpectGate(0, UpTo, 4, GateOutcome::Proceed, 0, 0);
    ExpectGate(0x01010A00, UpTo, 5, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
    ExpectGate(0x01020000, UpTo, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
}

TEST(DecideVersionGate, UnrecognisedOperator)
{
    ExpectGate(0x01000000, Unknown, 6, GateOutcome::Refuse, IDS_DESCRIPTOR_ERROR, 0x10);
    ExpectGate(0x01010000, Unknown, 6, GateOutcome::Refuse, IDS_DESCRIPTOR_ERROR, 0x10);
    ExpectGate(0x01010001, Unknown, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
    // A value outside the three operators is unrecognised too.
    GateDecision d = DecideVersionGate(0, 1, (GateOperator)7, 0);
    EXPECT_EQ(d.row, 6);
}

TEST(DecideVersionGate, ZeroTargetAlwaysAsks)
{
    const std::string bom = "\xEF\xBB\xBF" + Example;
    ExpectGate(0, bom, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
    ExpectGate(0x01000000, bom, 1, GateOutcome::Ask, IDS_ALREADY_CURRENT, 0x31);
}

TEST(DecideVersionGate, ComparisonsAreUnsigned)
{
    // 0x80000000 is above 0x7FFFFFFF as unsigned values.
    EXPECT_EQ(DecideVersionGate(0x80000000u, 0x7FFFFFFFu, GateOperator::Exact, 0).row, 1);
    EXPECT_EQ(DecideVersionGate(0x7FFFFFFFu, 0x80000000u, GateOperator::UpTo, 0x7FFFFFFFu).row, 4);
    EXPECT_EQ(DecideVersionGate(0x80000000u, 0x90000000u, GateOperator::UpTo, 0x7FFFFFFFu).row, 5);
}
