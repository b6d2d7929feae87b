#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/host/host.h"

void PutU32(uint8_t *p, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = (uint8_t)(value >> (8 * i));
    }
}

void PutU64(uint8_t *p, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        p[i] = (uint8_t)(value >> (8 * i));
    }
}

void AppendEntryHeader(std::vector<uint8_t> *out, uint8_t kind, const std::u16string &name,
                       uint64_t dataSize, uint64_t targetOffset)
{
    uint8_t field[8];
    out->push_back(kind);
    out->push_back((uint8_t)name.size());
    out->push_back((uint8_t)(name.size() >> 8));
    for (char16_t unit : name) {
        out->push_back((uint8_t)unit);
        out->push_back((uint8_t)(unit >> 8));
    }
    PutU64(field, dataSize);
    out->insert(out->end(), field, field + 8);
    if (kind == RangeKind) {
        PutU64(field, targetOffset);
        out->insert(out->end(), field, field + 8);
    }
}

bool ParseVersionArgument(const std::string &text, uint32_t *packed)
{
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') {
                return false;
            }
            ++i;
        }
        size_t start = i;
        uint32_t number = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            number = number * 10 + (uint32_t)(text[i] - '0');
            ++i;
        }
        if (i == start || number > 255) {
            return false;
        }
        value = value << 8 | number;
    }
    if (i != text.size()) {
        return false;
    }
    *packed = value;
    return true;
}

std::string VersionText(uint32_t packed)
{
    return std::to_string(packed >> 24) + "." + std::to_string((packed >> 16) & 255) + "." +
           std::to_string((packed >> 8) & 255) + "." + std::to_string(packed & 255);
}

static bool IsDescriptorSpace(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\r';
}

bool PrepareDescription(std::string *description, std::string *reason)
{
    if (!IsValidUtf8(*description)) {
        *reason = "the description is not valid UTF-8";
        return false;
    }
    if (description->find('\0') != std::string::npos) {
        *reason = "the description holds a zero byte";
        return false;
    }
    size_t start = 0;
    while (start < description->size() && IsDescriptorSpace((uint8_t)(*description)[start])) {
        ++start;
    }
    description->erase(0, start);
    return true;
}

std::string ComposeDescriptor(uint32_t target, const std::string &op, uint32_t base,
                              const std::string &description)
{
    return VersionText(target) + " " + op + " " + VersionText(base) + "\r\n" + description + "\r\n";
}

static bool IsReservedDeviceName(const std::u16string &part)
{
    std::u16string stem = part.substr(0, part.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') {
        stem.pop_back();
    }
    std::string upper;
    for (char16_t unit : stem) {
        if (unit > 0x7F) {
            return false;
        }
        upper.push_back((char)(unit >= 'a' && unit <= 'z' ? unit - 32 : unit));
    }
    static const char *const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *name : fixed) {
        if (upper == name) {
            return true;
        }
    }
    return upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

static bool CheckNamePart(const std::u16string &part, std::string *reason)
{
    if (part.empty() || part == u"." || part == u"..") {
        *reason = "an empty, \".\" or \"..\" folder level";
        return false;
    }
    for (char16_t unit : part) {
        if (unit < 0x20 || unit == u'\\' || unit == u':' || unit == u'*' || unit == u'?' ||
            unit == u'"' || unit == u'<' || unit == u'>' || unit == u'|') {
            *reason = "a character that Windows does not allow in file names";
            return false;
        }
    }
    if (part.back() == u'.' || part.back() == u' ') {
        *reason = "a name part ending in a dot or a space, which Windows drops";
        return false;
    }
    if (IsReservedDeviceName(part)) {
        *reason = "a reserved device name of Windows";
        return false;
    }
    return true;
}

bool CheckTargetName(const std::u16string &name, std::string *reason)
{
    if (name.size() > MaxNameUnits) {
        *reason = "longer than 511 UTF-16 units (" + std::to_string(name.size()) + ")";
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t slash = name.find(u'/', start);
        size_t end = slash == std::u16string::npos ? name.size() : slash;
        if (!CheckNamePart(name.substr(start, end - start), reason)) {
            return false;
        }
        if (slash == std::u16string::npos) {
            return true;
        }
        start = slash + 1;
    }
}
