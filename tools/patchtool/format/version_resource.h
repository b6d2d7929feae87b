#pragma once
// The installer's version resource (RT_VERSION 1): what Windows' file properties show.
#include <stdint.h>
#include <string>
#include <vector>

// Product name shown in file properties; the captions name the game the same way.
extern const char16_t VersionProductName[];

struct VersionInfo {
    // The fixed part's versions as Windows stores them: a.b in the high word, c.d in the low one,
    // 16 bits per part.
    uint32_t fileHigh = 0, fileLow = 0;
    uint32_t productHigh = 0, productLow = 0;
    // String values of the StringFileInfo table, in the order found.
    std::vector<std::pair<std::u16string, std::u16string>> strings;

    // Returns: the value of key, or null.
    const std::u16string *Find(const std::u16string &key) const;
};

// Returns: "a.b.c.d" of a fixed-part version.
std::string FixedVersionText(uint32_t high, uint32_t low);

// The description as file properties show it: the descriptor's description on one line (line
// ends inside become spaces, those at the ends are dropped), at most 1024 units; invalid UTF-8
// gives an empty description.
std::u16string OneLineDescription(const std::string &utf8);

// The version information of a patch: file and product version = target, the descriptor's
// description, the product name. Versions are four parts of 0-255, as the descriptor holds them.
VersionInfo PatchVersionInfo(const std::vector<uint8_t> &descriptor);

// Returns: the VS_VERSIONINFO bytes (language neutral, Unicode string table "000004b0").
std::vector<uint8_t> ComposeVersionResource(const VersionInfo &info);

// Returns: false when bytes are not a VS_VERSIONINFO with a fixed part; strings that cannot be
// read are left out.
bool ParseVersionResource(const std::vector<uint8_t> &bytes, VersionInfo *info);
