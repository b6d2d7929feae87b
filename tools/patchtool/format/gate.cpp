#include "tools/patchtool/format/gate.h"

#include <algorithm>
#include <vector>
#include <wchar.h>

#include "format/version.h"
#include "resources/resource.h"
#include "tools/patchtool/format/patch_format.h"

const char GameIniName[] = "Bin/game.ini";

namespace {

const size_t IniValueLimit = 127;  // the installer's buffer holds 128 characters

// The file's text as UTF-16 units: UTF-16 with its byte order mark, UTF-8 with its mark, else
// single bytes (the versions' digits are the same in every code page).
std::u16string IniText(const std::vector<uint8_t> &bytes)
{
    std::u16string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back((char16_t)(bytes[i] | bytes[i + 1] << 8));
        }
        return text;
    }
    size_t start =
        bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    std::string utf8(bytes.begin() + start, bytes.end());
    if (start == 3 && Utf8ToUtf16(utf8, &text)) {
        return text;
    }
    text.assign(bytes.begin(), bytes.end());
    return text;
}

std::u16string Trim(const std::u16string &s)
{
    size_t a = s.find_first_not_of(u" \t\r");
    size_t b = s.find_last_not_of(u" \t\r");
    return a == std::u16string::npos ? std::u16string() : s.substr(a, b - a + 1);
}

bool SameIgnoringCase(const std::u16string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? a[i] - 32 : a[i];
        if (x != (char16_t)b[i]) {
            return false;
        }
    }
    return i == a.size() && !b[i];
}

// Returns: true with the value of key in section, the first of each.
bool FindIniValue(const std::u16string &text, const char *section, const char *key,
                  std::u16string *value)
{
    bool inSection = false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        std::u16string line = Trim(
            text.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
        start = end == std::u16string::npos ? text.size() + 1 : end + 1;
        if (!line.empty() && line[0] == u'[') {
            size_t close = line.find(u']');
            inSection = SameIgnoringCase(
                Trim(line.substr(1, close == std::u16string::npos ? close : close - 1)), section);
            continue;
        }
        size_t equals = line.find(u'=');
        if (inSection && equals != std::u16string::npos &&
            SameIgnoringCase(Trim(line.substr(0, equals)), key)) {
            *value = Trim(line.substr(equals + 1));
            if (value->size() >= 2 && (value->front() == u'"' || value->front() == u'\'') &&
                value->back() == value->front()) {
                *value = value->substr(1, value->size() - 2);
            }
            return true;
        }
    }
    return false;
}

}  // namespace

PackedVersion GameIniVersion(const std::vector<uint8_t> &ini)
{
    std::u16string value = u"1.0.0.0";
    FindIniValue(IniText(ini), "GAME", "VERSION", &value);
    std::wstring wide(value.begin(), value.begin() + std::min(value.size(), IniValueLimit));
    return ParseDottedVersion(wide.c_str(), (uint32_t)wide.size());
}

namespace {

// What the installer does with a version its gate does not let through.
const char *GateOutcomeText(const GateDecision &d)
{
    if (d.outcome == GateOutcome::Ask) {
        return "ask whether to install again (IDS_ALREADY_CURRENT: the version is not below the "
               "target)";
    }
    return d.textId == IDS_NEED_BASE_VERSION
               ? "refuse it (IDS_NEED_BASE_VERSION: the base version first)"
               : "refuse it (IDS_DESCRIPTOR_ERROR: the descriptor is broken)";
}

}  // namespace

std::string GateRefusal(const fs::path &folder, PackedVersion installed, const GateTerms &terms)
{
    GateDecision d = DecideVersionGate(installed, terms.target, terms.op, terms.base);
    if (d.outcome == GateOutcome::Proceed) {
        return std::string();
    }
    return "the old folder " + PathText(folder) + " is at version " + VersionText(installed) +
           " (" + GameIniName + "; 1.0.0.0 without it), and for it the installer would " +
           GateOutcomeText(d) + ": target " + VersionText(terms.target) + ", " +
           OperatorText(terms.op) + " " + VersionText(terms.base);
}
