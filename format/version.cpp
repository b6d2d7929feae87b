#include "format/version.h"
#include <stdlib.h>

const wchar_t GameIniPath[] = L"Bin\\game.ini";

PackedVersion PackVersion(int32_t a, int32_t b, int32_t c, int32_t d)
{
    uint32_t v = (uint32_t)a;
    v = v * 256u + (uint32_t)b;
    v = v * 256u + (uint32_t)c;
    return v * 256u + (uint32_t)d;
}

// long is 64 bits on some hosts: saturate at 32 bits so every build reads the same value.
static int32_t ConvertPart(const wchar_t *text)
{
    long value = wcstol(text, nullptr, 10);
    if (value > (long)INT32_MAX)
        return INT32_MAX;
    if (value < (long)INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

PackedVersion ParseDottedVersion(const wchar_t *text, uint32_t length)
{
    int32_t parts[4] = {0, 0, 0, 0};
    uint32_t start = 0;
    for (int part = 0; part < 4 && start <= length; ++part) {
        uint32_t end = start;
        while (end < length && text[end] != L'.')
            ++end;
        // The conversion cannot pass the "." or the terminator at end: neither is a digit,
        // a sign or white space.
        parts[part] = ConvertPart(text + start);
        start = end + 1;
    }
    return PackVersion(parts[0], parts[1], parts[2], parts[3]);
}
