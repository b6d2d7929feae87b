#include "format/descriptor.h"
#include "format/version.h"

static const int32_t NumberLimit = 2147483647;

// Form feed is deliberately not white space.
static bool IsWhiteSpace(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\r';
}

static bool IsDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

static uint32_t SkipWhiteSpace(const uint8_t *text, uint32_t length, uint32_t position)
{
    while (position < length && IsWhiteSpace(text[position]))
        ++position;
    return position;
}

int32_t ReadDescriptorNumber(const uint8_t *text, uint32_t length, uint32_t *position)
{
    uint32_t p = *position;
    while (p < length && (IsWhiteSpace(text[p]) || text[p] == '.'))
        ++p;
    int64_t value = 0;
    for (; p < length && IsDigit(text[p]); ++p) {
        // Saturate explicitly; the run may be arbitrarily long.
        value = value * 10 + (text[p] - '0');
        if (value > NumberLimit)
            value = NumberLimit;
    }
    *position = p;
    return (int32_t)value;
}

static PackedVersion ReadVersion(const uint8_t *text, uint32_t length, uint32_t *position)
{
    int32_t a = ReadDescriptorNumber(text, length, position);
    int32_t b = ReadDescriptorNumber(text, length, position);
    int32_t c = ReadDescriptorNumber(text, length, position);
    int32_t d = ReadDescriptorNumber(text, length, position);
    return PackVersion(a, b, c, d);
}

DescriptorHead ParseDescriptorHead(const uint8_t *text, uint32_t length)
{
    DescriptorHead head;
    uint32_t position = 0;
    head.target = ReadVersion(text, length, &position);
    uint32_t next = SkipWhiteSpace(text, length, position);
    head.gate = GateOperator::None;
    if (next < length && text[next] == '=') {
        head.gate = GateOperator::Exact;
        position = next + 1;
    } else if (length - next >= 2 && text[next] == '<' && text[next + 1] == '=') {
        head.gate = GateOperator::UpTo;
        position = next + 2;
    }
    head.base = ReadVersion(text, length, &position);
    head.descriptionOffset = SkipWhiteSpace(text, length, position);
    return head;
}
