#pragma once
// Text on the host: strict UTF-8 and UTF-16, and paths as UTF-8 on Linux and Windows alike.
#include <stdio.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Returns: true and the UTF-16 units when text is valid UTF-8.
bool Utf8ToUtf16(const std::string &text, std::u16string *units);

// Returns: false when units hold an unpaired surrogate.
bool Utf16ToUtf8(const std::u16string &units, std::string *text);

bool IsValidUtf8(const std::string &text);

#ifdef _WIN32
// Returns: false when wide holds an unpaired surrogate.
bool WideToUtf8(const std::wstring &wide, std::string *text);
#endif

// A path for messages, as UTF-8.
std::string PathText(const fs::path &path);

// A path from UTF-8 text.
fs::path PathFromUtf8(const std::string &text);

// printf into a string, for messages and listings.
// MinGW checks against its own printf, which (as the tool's vsnprintf) knows %zu.
#if defined(__MINGW32__)
#define PATCHTOOL_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define PATCHTOOL_PRINTF_FORMAT printf
#endif
std::string Format(const char *format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(PATCHTOOL_PRINTF_FORMAT, 1, 2)))
#endif
    ;

// Returns: name as Windows compares file names, without regard to ASCII case.
std::string FoldCase(const std::string &name);
