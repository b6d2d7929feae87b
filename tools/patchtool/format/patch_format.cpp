#include "tools/patchtool/format/patch_format.h"

#include <algorithm>

#include "format/removal_list.h"
#include "format/version.h"
#include "tools/patchtool/host/text.h"

const char16_t PatchResourceType[] = QPATCH_TYPE_U16;
const char16_t DeltaResourceType[] = QPATCH_DELTA_TYPE_U16;
const char16_t RemovalResourceType[] = QPATCH_REMOVE_TYPE_U16;
const char DescriptorFileName[] = "descriptor.txt";
const char RemovalFileName[] = "1601.remove";

std::string ChunkFileName(uint32_t id)
{
    return std::to_string(id) + ".bin";
}

std::string DeltaFileName(uint32_t id)
{
    return std::to_string(id) + ".delta";
}

// Returns: the id of a file name of one to five digits and then suffix (at most 65535), or 0.
static uint32_t IdOfFileName(const std::string &name, const std::string &suffix)
{
    size_t digits = name.size() - suffix.size();
    if (name.size() <= suffix.size() || digits > 5 ||
        name.compare(digits, suffix.size(), suffix) != 0) {
        return 0;
    }
    uint32_t id = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        id = id * 10 + (uint32_t)(name[i] - '0');
    }
    return id <= 0xFFFF ? id : 0;
}

uint32_t ChunkIdOfFileName(const std::string &name)
{
    return IdOfFileName(name, ".bin");
}

uint32_t DeltaIdOfFileName(const std::string &name)
{
    return IdOfFileName(name, ".delta");
}

ChunkSequence SplitChunkIds(std::vector<uint32_t> ids)
{
    std::sort(ids.begin(), ids.end());
    ChunkSequence sequence;
    uint32_t next = IDR_FIRST_CHUNK;
    for (uint32_t id : ids) {
        if (id == IDR_DESCRIPTOR || id < IDR_FIRST_CHUNK) {
            continue;
        }
        if (id == next) {
            sequence.applied.push_back(id);
            ++next;
        } else {
            sequence.stray.push_back(id);
        }
    }
    return sequence;
}

void AppendEntryHeader(std::vector<uint8_t> *out, uint8_t kind, const std::u16string &name,
                       uint64_t dataSize, uint64_t targetOffset)
{
    size_t at = out->size();
    out->resize(at + EntryHeaderSize(kind, (uint32_t)name.size()));
    PutEntryHeader(&(*out)[at], kind, name.data(), (uint32_t)name.size(), dataSize, targetOffset);
}

std::vector<uint8_t> BlockStreamHead(uint64_t decodedSize, uint32_t blockSize,
                                     const std::vector<uint32_t> &storedSizes)
{
    std::vector<uint8_t> head(BlockStreamHeaderSize + BlockTableEntrySize * storedSizes.size());
    PutBlockStreamHeader(head.data(), BlockStreamHeader{decodedSize, blockSize});
    for (size_t i = 0; i < storedSizes.size(); ++i) {
        PutU32(&head[BlockStreamHeaderSize + BlockTableEntrySize * i], storedSizes[i]);
    }
    return head;
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
    VersionParts v = UnpackVersion(packed);
    return Format("%d.%d.%d.%d", v.part[0], v.part[1], v.part[2], v.part[3]);
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

const char *OperatorText(GateOperator op)
{
    return op == GateOperator::Exact ? "=" : op == GateOperator::UpTo ? "<=" : "(unrecognised)";
}

std::string ComposeDescriptor(uint32_t target, GateOperator op, uint32_t base,
                              const std::string &description)
{
    return VersionText(target) + " " + OperatorText(op) + " " + VersionText(base) + "\r\n" +
           description + "\r\n";
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
    return upper.size() == 4 &&
           (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
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
    if (name.size() > MaxNameLength) {
        *reason = "longer than " + std::to_string(MaxNameLength) + " UTF-16 units (" +
                  std::to_string(name.size()) + ")";
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
