#include "tools/patchtool/format/version_resource.h"

#include "format/descriptor.h"
#include "format/version.h"
#include "tools/patchtool/host/text.h"
#include "tools/patchtool/format/patch_format.h"

const char16_t VersionProductName[] = u"《Tolvar二》";

namespace {

enum : uint32_t {
    FixedInfoSize = 52,
    FixedSignature = 0xFEEF04BD,
    FixedStructVersion = 0x00010000,
    FileFlagsMask = 0x3F,
    FileOsNtWindows32 = 0x00040004,
    FileTypeApplication = 1,
    UnicodeCodePage = 1200,
    MaxDescriptionUnits = 1024,
    NodeHeaderSize = 6,
};

const char16_t StringTableKey[] = u"000004b0";  // language neutral, code page 1200

void PadTo4(std::vector<uint8_t> *out)
{
    out->resize((out->size() + 3) & ~(size_t)3, 0);
}

void PutUnits(std::vector<uint8_t> *out, const std::u16string &text)
{
    size_t at = out->size();
    out->resize(at + 2 * (text.size() + 1), 0);  // the units and a terminating zero
    for (size_t i = 0; i < text.size(); ++i) {
        PutU16(&(*out)[at + 2 * i], text[i]);
    }
}

// One node: wLength, wValueLength, wType, the key, the value, then the children (each 4-aligned).
// valueLength counts bytes for binary values and UTF-16 units for text values.
std::vector<uint8_t> Node(const std::u16string &key, bool text, const std::vector<uint8_t> &value,
                          uint16_t valueLength, const std::vector<std::vector<uint8_t>> &children)
{
    std::vector<uint8_t> out(NodeHeaderSize, 0);
    PutU16(&out[2], valueLength);
    out[4] = text ? 1 : 0;
    PutUnits(&out, key);
    PadTo4(&out);
    out.insert(out.end(), value.begin(), value.end());
    for (const std::vector<uint8_t> &child : children) {
        PadTo4(&out);
        out.insert(out.end(), child.begin(), child.end());
    }
    PutU16(&out[0], (uint16_t)out.size());
    return out;
}

std::vector<uint8_t> StringNode(const std::u16string &key, const std::u16string &value)
{
    std::vector<uint8_t> bytes;
    PutUnits(&bytes, value);
    return Node(key, true, bytes, (uint16_t)(value.size() + 1), {});
}

std::u16string VersionUnits(uint32_t v)
{
    std::string text = VersionText(v);
    return std::u16string(text.begin(), text.end());
}

// The fixed part's halves: a.b in the high one, c.d in the low one, 16 bits per part.
uint32_t HighWord(uint32_t v)
{
    VersionParts p = UnpackVersion(v);
    return (uint32_t)p.part[0] << 16 | (uint32_t)p.part[1];
}

uint32_t LowWord(uint32_t v)
{
    VersionParts p = UnpackVersion(v);
    return (uint32_t)p.part[2] << 16 | (uint32_t)p.part[3];
}

struct NodeView {
    size_t start;
    size_t end;  // start + wLength
    uint16_t valueLength;
    bool text;
    std::u16string key;
    size_t value;  // after the key's padding
};

// Returns: false when the node at start does not fit inside limit.
bool ReadNode(const std::vector<uint8_t> &b, size_t start, size_t limit, NodeView *node)
{
    if (start + NodeHeaderSize > limit) {
        return false;
    }
    node->start = start;
    node->end = start + GetU16(&b[start]);
    node->valueLength = GetU16(&b[start + 2]);
    node->text = b[start + 4] == 1;
    if (node->end > limit || node->end < start + NodeHeaderSize) {
        return false;
    }
    node->key.clear();
    size_t at = start + NodeHeaderSize;
    for (; at + 2 <= node->end && GetU16(&b[at]) != 0; at += 2) {
        node->key.push_back((char16_t)GetU16(&b[at]));
    }
    node->value = ((at + 2) + 3) & ~(size_t)3;
    return at + 2 <= node->end;
}

// Calls visit for each child of parent, whose children start at first.
template <typename Visit>
void ForEachChild(const std::vector<uint8_t> &b, const NodeView &parent, size_t first, Visit visit)
{
    NodeView child;
    for (size_t at = (first + 3) & ~(size_t)3;
         at < parent.end && ReadNode(b, at, parent.end, &child);
         at = (child.end + 3) & ~(size_t)3) {
        visit(child);
    }
}

}  // namespace

std::string FixedVersionText(uint32_t high, uint32_t low)
{
    return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." +
           std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
}

const std::u16string *VersionInfo::Find(const std::u16string &key) const
{
    for (const auto &s : strings) {
        if (s.first == key) {
            return &s.second;
        }
    }
    return nullptr;
}

std::u16string OneLineDescription(const std::string &utf8)
{
    std::u16string units;
    if (!Utf8ToUtf16(utf8, &units)) {
        return std::u16string();
    }
    std::u16string line;
    for (char16_t unit : units) {
        bool lineEnd = unit == u'\r' || unit == u'\n';
        if (!lineEnd) {
            line.push_back(unit);
        } else if (!line.empty() && line.back() != u' ') {
            line.push_back(u' ');
        }
    }
    while (!line.empty() && line.back() == u' ') {
        line.pop_back();
    }
    if (line.size() > MaxDescriptionUnits) {
        line.resize(MaxDescriptionUnits);
    }
    return line;
}

VersionInfo PatchVersionInfo(const std::vector<uint8_t> &descriptor)
{
    DescriptorHead head = ParseDescriptorHead(descriptor.data(), (uint32_t)descriptor.size());
    VersionInfo info;
    info.fileHigh = info.productHigh = HighWord(head.target);
    info.fileLow = info.productLow = LowWord(head.target);
    std::string description(descriptor.begin() + head.descriptionOffset, descriptor.end());
    info.strings = {
        {u"FileDescription", OneLineDescription(description)},
        {u"FileVersion", VersionUnits(head.target)},
        {u"ProductName", VersionProductName},
        {u"ProductVersion", VersionUnits(head.target)},
    };
    return info;
}

std::vector<uint8_t> ComposeVersionResource(const VersionInfo &info)
{
    std::vector<uint8_t> fixed(FixedInfoSize, 0);
    const uint32_t fields[] = {FixedSignature,
                               FixedStructVersion,
                               info.fileHigh,
                               info.fileLow,
                               info.productHigh,
                               info.productLow,
                               FileFlagsMask,
                               0,
                               FileOsNtWindows32,
                               FileTypeApplication,
                               0,
                               0,
                               0};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
        PutU32(&fixed[4 * i], fields[i]);
    }
    std::vector<std::vector<uint8_t>> strings;
    for (const auto &s : info.strings) {
        strings.push_back(StringNode(s.first, s.second));
    }
    std::vector<uint8_t> translation(4);
    PutU32(translation.data(), UnicodeCodePage << 16);  // language 0, then the code page
    std::vector<uint8_t> stringFileInfo =
        Node(u"StringFileInfo", true, {}, 0, {Node(StringTableKey, true, {}, 0, strings)});
    std::vector<uint8_t> varFileInfo =
        Node(u"VarFileInfo", true, {}, 0, {Node(u"Translation", false, translation, 4, {})});
    return Node(u"VS_VERSION_INFO", false, fixed, FixedInfoSize, {stringFileInfo, varFileInfo});
}

bool ParseVersionResource(const std::vector<uint8_t> &bytes, VersionInfo *info)
{
    *info = VersionInfo();
    NodeView root;
    if (!ReadNode(bytes, 0, bytes.size(), &root) || root.key != u"VS_VERSION_INFO" ||
        root.valueLength != FixedInfoSize || root.value + FixedInfoSize > root.end ||
        GetU32(&bytes[root.value]) != FixedSignature) {
        return false;
    }
    const uint8_t *fixed = &bytes[root.value];
    info->fileHigh = GetU32(fixed + 8);
    info->fileLow = GetU32(fixed + 12);
    info->productHigh = GetU32(fixed + 16);
    info->productLow = GetU32(fixed + 20);
    ForEachChild(bytes, root, root.value + FixedInfoSize, [&](const NodeView &block) {
        if (block.key != u"StringFileInfo") {
            return;
        }
        ForEachChild(bytes, block, block.value, [&](const NodeView &table) {
            ForEachChild(bytes, table, table.value, [&](const NodeView &s) {
                std::u16string value;
                for (size_t at = s.value; at + 2 <= s.end && GetU16(&bytes[at]) != 0; at += 2) {
                    value.push_back((char16_t)GetU16(&bytes[at]));
                }
                info->strings.push_back({s.key, value});
            });
        });
    });
    return true;
}
