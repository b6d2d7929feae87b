#include "delta/encode/deflate_streams.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>

#include "stream/little_endian.h"

namespace {

// Streams shorter than this cost more in the recipe than they can save.
const uint64_t LeastPackedBytes = 32;
const uint32_t CompareInput = 1 << 16;

// A stream found: where its deflate data lies, what it inflates to, and what its wrapper hints.
struct Found {
    uint64_t offset = 0;
    uint64_t packedSize = 0;
    std::vector<uint8_t> expanded;
    int levelHint = 0;
    int windowBits = 15;
};

uInt ChunkOf(uint64_t left, uint64_t most)
{
    return (uInt)std::min<uint64_t>(left, most);
}

// Inflates raw deflate data at p (at most avail bytes) into found->expanded.
// Returns: true when a whole stream ended cleanly within avail and limit.
bool InflateRaw(const uint8_t *p, uint64_t avail, uint64_t limit, Found *found)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK)
        return false;
    std::vector<uint8_t> &out = found->expanded;
    out.clear();
    uint64_t consumed = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_in = (Bytef *)(p + consumed);
        z.avail_in = ChunkOf(avail - consumed, 1u << 30);
        size_t have = out.size();
        size_t room = std::max<size_t>(have, 1 << 12);
        if (have + room > limit)
            room = (size_t)(limit - have);
        if (room == 0)
            break;
        out.resize(have + room);
        z.next_out = out.data() + have;
        z.avail_out = (uInt)room;
        uInt before = z.avail_in;
        status = inflate(&z, Z_NO_FLUSH);
        consumed += before - z.avail_in;
        out.resize(have + room - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_out != 0)
            break;  // the data ended first
        if (status == Z_BUF_ERROR)
            status = Z_OK;
    }
    inflateEnd(&z);
    found->packedSize = consumed;
    return status == Z_STREAM_END;
}

// zip local member: "PK\3\4", method 8, its data after the name and extra field.
bool TryZipMember(const uint8_t *file, uint64_t size, uint64_t at, uint64_t limit, Found *found)
{
    if (size - at < 30 || GetU32(file + at) != 0x04034b50 || GetU16(file + at + 8) != 8)
        return false;
    uint64_t data = at + 30 + GetU16(file + at + 26) + GetU16(file + at + 28);
    if (data >= size)
        return false;
    static const int levels[4] = {6, 9, 1, 1};  // flag bits 1-2: normal, maximum, fast, super fast
    found->offset = data;
    found->levelHint = levels[(GetU16(file + at + 6) >> 1) & 3];
    return InflateRaw(file + data, size - data, limit, found);
}

// gzip member: its header's optional fields skipped; the trailer's CRC-32 and size must match.
bool TryGzipMember(const uint8_t *file, uint64_t size, uint64_t at, uint64_t limit, Found *found)
{
    if (size - at < 18 || file[at] != 0x1f || file[at + 1] != 0x8b || file[at + 2] != 8 ||
        (file[at + 3] & 0xe0))
        return false;
    uint8_t flags = file[at + 3];
    uint64_t p = at + 10;
    if ((flags & 4) && p + 2 <= size)
        p += 2 + GetU16(file + p);
    for (uint8_t text = 8; text <= 16; text <<= 1) {
        if (flags & text) {
            while (p < size && file[p] != 0)
                ++p;
            ++p;
        }
    }
    p += (flags & 2) ? 2 : 0;
    if (p + 8 >= size)
        return false;
    found->offset = p;
    found->levelHint = file[at + 8] == 2 ? 9 : file[at + 8] == 4 ? 1 : 0;
    if (!InflateRaw(file + p, size - p, limit, found) || size - p - found->packedSize < 8)
        return false;
    const uint8_t *trailer = file + p + found->packedSize;
    uint32_t crc = (uint32_t)crc32(0, found->expanded.data(), (uInt)found->expanded.size());
    return GetU32(trailer) == crc && GetU32(trailer + 4) == (uint32_t)found->expanded.size();
}

// zlib stream: a valid two-byte header without a dictionary, and a matching Adler-32 after it.
bool TryZlibStream(const uint8_t *file, uint64_t size, uint64_t at, uint64_t limit, Found *found)
{
    if (size - at < 8 || (file[at] & 0x0f) != 8 || (file[at] >> 4) > 7 ||
        ((file[at] << 8) | file[at + 1]) % 31 != 0 || (file[at + 1] & 0x20))
        return false;
    static const int levels[4] = {1, 5, 6, 9};  // FLEVEL
    found->offset = at + 2;
    found->levelHint = levels[file[at + 1] >> 6];
    found->windowBits = std::max(9, (file[at] >> 4) + 8);
    if (!InflateRaw(file + at + 2, size - at - 2, limit, found) ||
        size - at - 2 - found->packedSize < 4)
        return false;
    uint32_t adler = (uint32_t)adler32(1, found->expanded.data(), (uInt)found->expanded.size());
    const uint8_t *t = file + at + 2 + found->packedSize;
    return ((uint32_t)t[0] << 24 | (uint32_t)t[1] << 16 | (uint32_t)t[2] << 8 | t[3]) == adler;
}

bool TryStream(const uint8_t *file, uint64_t size, uint64_t at, uint64_t limit, Found *found)
{
    found->levelHint = 0;  // a failed try may have left another wrapper's hints
    found->windowBits = 15;
    uint8_t b = file[at];
    bool ok = (b == 'P' && TryZipMember(file, size, at, limit, found)) ||
              (b == 0x1f && TryGzipMember(file, size, at, limit, found)) ||
              ((b & 0x0f) == 8 && TryZlibStream(file, size, at, limit, found));
    return ok && found->packedSize >= LeastPackedBytes;
}

// Deflates expanded with s, comparing the output with packed as it comes.
// Returns: true when they agree to the last byte.
bool Recreates(const uint8_t *expanded, uint64_t expandedSize, const uint8_t *packed,
               uint64_t packedSize, const DeflateSettings &s)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, s.level, Z_DEFLATED, -(int)s.windowBits, s.memLevel, s.strategy) != Z_OK)
        return false;
    uint8_t out[1 << 14];
    uint64_t fed = 0, made = 0;
    bool same = true;
    int status = Z_OK;
    while (same && status != Z_STREAM_END) {
        if (z.avail_in == 0 && fed < expandedSize) {
            z.next_in = (Bytef *)(expanded + fed);
            z.avail_in = ChunkOf(expandedSize - fed, CompareInput);
            fed += z.avail_in;
        }
        z.next_out = out;
        z.avail_out = sizeof out;
        status = deflate(&z, fed == expandedSize ? Z_FINISH : Z_NO_FLUSH);
        uint64_t n = sizeof out - z.avail_out;
        same = (status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR) &&
               n <= packedSize - made && memcmp(out, packed + made, n) == 0;
        made += n;
    }
    deflateEnd(&z);
    return same && made == packedSize;
}

// Returns: where list holds s, or its end.
std::vector<DeflateSettings>::iterator Lookup(std::vector<DeflateSettings> &list,
                                              const DeflateSettings &s)
{
    return std::find_if(list.begin(), list.end(),
                        [&](const DeflateSettings &t) { return memcmp(&t, &s, sizeof s) == 0; });
}

}  // namespace

bool SettingsSearch::Find(const uint8_t *expanded, uint64_t expandedSize, const uint8_t *packed,
                          uint64_t packedSize, int levelHint, int windowBits,
                          DeflateSettings *settings)
{
    std::vector<DeflateSettings> order = matched_;
    static const int levels[] = {6, 9, 1, 5, 4, 3, 2, 7, 8};
    bool wide = matched_.empty() && misses_ < WideMisses;
    for (int strategy = 0; strategy <= (wide ? 1 : 0); ++strategy) {
        for (int memLevel = 8; memLevel <= (wide ? 9 : 8); ++memLevel) {
            if (levelHint)
                order.push_back({(uint8_t)levelHint, (uint8_t)strategy, (uint8_t)memLevel, 0});
            for (int level : levels) {
                if (wide || level == 6 || level == 9)
                    order.push_back({(uint8_t)level, (uint8_t)strategy, (uint8_t)memLevel, 0});
            }
        }
    }
    std::vector<DeflateSettings> tried;
    for (DeflateSettings s : order) {
        s.windowBits = (uint8_t)windowBits;
        if (Lookup(tried, s) != tried.end())
            continue;
        tried.push_back(s);
        if (Recreates(expanded, expandedSize, packed, packedSize, s)) {
            *settings = s;
            auto known = Lookup(matched_, s);
            if (known != matched_.end())
                matched_.erase(known);
            matched_.insert(matched_.begin(), s);  // the file's last match is tried first
            return true;
        }
    }
    ++misses_;
    return false;
}

ExpandedForm ExpandStreams(const uint8_t *file, uint64_t size, StreamUse use, uint64_t expandLimit)
{
    ExpandedForm form;
    uint64_t kept = 0;  // the end of the last stream used
    Found found;
    SettingsSearch search;
    for (uint64_t at = 0; at < size;) {
        uint64_t limit = expandLimit - form.expandedBytes;
        if (!TryStream(file, size, at, limit, &found)) {
            ++at;
            continue;
        }
        PackedStream s = {found.offset - kept, found.packedSize, found.expanded.size(), {}};
        bool used = use != StreamUse::Recreated ||
                    search.Find(found.expanded.data(), found.expanded.size(), file + found.offset,
                                found.packedSize, found.levelHint, found.windowBits, &s.settings);
        at = found.offset + found.packedSize;
        if (!used) {
            ++form.leftPacked;
            continue;
        }
        uint64_t keptEnd = use == StreamUse::InflatableKeeping ? at : found.offset;
        form.bytes.insert(form.bytes.end(), file + kept, file + keptEnd);
        form.bytes.insert(form.bytes.end(), found.expanded.begin(), found.expanded.end());
        form.streams.push_back(s);
        form.expandedBytes += found.expanded.size();
        kept = at;
    }
    form.bytes.insert(form.bytes.end(), file + kept, file + size);
    return form;
}
