#pragma once
// Names inside the game folder. Every name the package gives (an entry's target, a delta's base, a
// removal) is relative to the game folder with "/" or "\" between its parts; a name that could
// reach outside it is damage, whatever the checksum record says.
#include <stdint.h>
#include "stream/little_endian.h"

// Unit: any 16-bit code unit type (wchar_t on Windows, char16_t, uint16_t).
// Returns: false for an empty name, one that starts with a separator, holds a ':' (a drive or a
// stream), or has a part that is "..".
template <typename Unit> bool NameStaysInside(const Unit *name, uint32_t length)
{
    if (length == 0 || name[0] == '/' || name[0] == '\\')
        return false;
    uint32_t partStart = 0;
    for (uint32_t i = 0; i <= length; ++i) {
        if (i < length && name[i] == ':')
            return false;
        if (i == length || name[i] == '/' || name[i] == '\\') {
            if (i - partStart == 2 && name[partStart] == '.' && name[partStart + 1] == '.')
                return false;
            partStart = i + 1;
        }
    }
    return true;
}

// Returns: true when the zero-terminated names a and b differ at most in the case of ASCII letters
// (and in "/" against "\\"): Windows takes them for one file.
template <typename Unit> bool SameFileName(const Unit *a, const Unit *b)
{
    for (;; ++a, ++b) {
        Unit x = *a >= 'A' && *a <= 'Z' ? (Unit)(*a + 32) : *a == '\\' ? (Unit)'/' : *a;
        Unit y = *b >= 'A' && *b <= 'Z' ? (Unit)(*b + 32) : *b == '\\' ? (Unit)'/' : *b;
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// Reads a name of length little-endian UTF-16 units at bytes (unaligned, as the package holds
// names) into name, which has room for length + 1 units, and ends it with a zero.
template <typename Unit> void GetNameUnits(const uint8_t *bytes, uint32_t length, Unit *name)
{
    for (uint32_t i = 0; i < length; ++i)
        name[i] = (Unit)GetU16(bytes + 2 * i);
    name[length] = 0;
}
