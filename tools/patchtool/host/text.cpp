#include "tools/patchtool/host/text.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#endif

bool Utf8ToUtf16(const std::string &text, std::u16string *units)
{
    units->clear();
    const uint8_t *p = (const uint8_t *)text.data();
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        uint32_t c = p[i];
        uint32_t extra = 0;
        uint32_t minimum = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, c &= 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, c &= 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, c &= 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (uint32_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            units->push_back((char16_t)(0xD800 + (c >> 10)));
            units->push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            units->push_back((char16_t)c);
        }
        i += extra + 1;
    }
    return true;
}

bool Utf16ToUtf8(const std::u16string &units, std::string *text)
{
    text->clear();
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            text->push_back((char)c);
        } else if (c < 0x800) {
            text->push_back((char)(0xC0 | (c >> 6)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            text->push_back((char)(0xE0 | (c >> 12)));
            text->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        } else {
            text->push_back((char)(0xF0 | (c >> 18)));
            text->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            text->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

bool IsValidUtf8(const std::string &text)
{
    std::u16string ignored;
    return Utf8ToUtf16(text, &ignored);
}

#ifdef _WIN32
bool WideToUtf8(const std::wstring &wide, std::string *text)
{
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()), text);
}
#endif

std::string PathText(const fs::path &path)
{
#ifdef _WIN32
    std::string text;
    WideToUtf8(path.wstring(), &text);
    return text;
#else
    return path.string();
#endif
}

fs::path PathFromUtf8(const std::string &text)
{
#ifdef _WIN32
    std::u16string units;
    Utf8ToUtf16(text, &units);
    return fs::path(std::wstring(units.begin(), units.end()));
#else
    return fs::path(text);
#endif
}

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? (size_t)length : 0, '\0');
    if (length > 0) {
        vsnprintf(&text[0], text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

std::string FoldCase(const std::string &name)
{
    std::string key = name;
    for (char &c : key) {
        c = c >= 'a' && c <= 'z' ? (char)(c - 32) : c;
    }
    return key;
}
