#pragma once
// Dotted versions a.b.c.d: packing and the parse of the installed version's text.
#include <stdint.h>
#include <wchar.h>
#include "format/version_types.h"

// Packs four parts as ((a*256+b)*256+c)*256+d, wrapping modulo 2^32; parts are not masked, so a
// part above 255 carries into the one before it and a negative part borrows from it.
// Returns: the packed version.
PackedVersion PackVersion(int32_t a, int32_t b, int32_t c, int32_t d);

// A packed version's four parts, most significant first, each 0 to 255.
struct VersionParts {
    int32_t part[4];
};

// Returns: the parts that PackVersion packs into v, as its text form "%d.%d.%d.%d" shows them.
inline VersionParts UnpackVersion(PackedVersion v)
{
    return VersionParts{{(int32_t)(v >> 24), (int32_t)((v >> 16) & 255), (int32_t)((v >> 8) & 255),
                         (int32_t)(v & 255)}};
}

// Where the installed version is kept, relative to gameRoot: "GAME"/"VERSION" in this file.
extern const wchar_t GameIniPath[];

// Parses up to four "."-separated parts, each converted like wcstol base 10 and saturated at the
// 32-bit signed limits; missing parts are 0, anything after the fourth part is ignored.
// text[length] must be 0.
// Returns: the packed version.
PackedVersion ParseDottedVersion(const wchar_t *text, uint32_t length);
