#include "tools/patchtool/check/inspect.h"

#include <inttypes.h>
#include <algorithm>
#include <vector>

#include "app/descriptor.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "tools/patchtool/check/inspect_extras.h"
#include "tools/patchtool/format/patch_format.h"

bool NameStaysInside(const std::u16string &name)
{
    if (name.empty() || name[0] == u'/' || name[0] == u'\\' || name.find(u':') != std::u16string::npos) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        size_t end = name.find_first_of(u"/\\", start);
        std::u16string part = name.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part == u"..") {
            return false;
        }
        if (end == std::u16string::npos) {
            return true;
        }
        start = end + 1;
    }
}

namespace {

std::string NameText(const std::u16string &name)
{
    std::string text;
    if (!Utf16ToUtf8(name, &text)) {
        text = "(a name with an unpaired surrogate)";
    }
    return text;
}

// Decodes a whole-file stream to its end, as the installer's writer reads it.
// Returns: an empty text, or what is wrong with it.
std::string CheckBlockStream(const uint8_t *data, uint64_t size, uint64_t *decodedSize)
{
    *decodedSize = 0;
    if (size < BlockStreamHeaderSize) {
        return "the data are shorter than a compressed stream's " + std::to_string(BlockStreamHeaderSize) +
               "-byte header";
    }
    BlockStreamHeader header = GetBlockStreamHeader(data);
    uint32_t blockSize = header.blockSize;
    uint64_t declared = header.decodedSize;
    if (blockSize == 0) {
        return "the compressed stream declares a block size of 0";
    }
    uint64_t blocks = BlockCount(declared, blockSize);
    if (blocks * BlockTableEntrySize > size - BlockStreamHeaderSize) {
        return "the compressed stream's block table runs past the entry's data";
    }
    uint64_t stored = BlockStreamHeaderSize + blocks * BlockTableEntrySize;
    for (uint64_t i = 0; i < blocks; ++i) {
        stored += GetU32(data + BlockStreamHeaderSize + BlockTableEntrySize * i);
    }
    if (stored > size) {
        return "the compressed stream's blocks run past the entry's data";
    }
    Stream *source = openMemoryStream(data, (uint32_t)size);
    if (!source) {
        return "no memory for the stream";
    }
    Stream *stream = openBlockStream(source);
    if (!stream) {
        source->methods->release(source);
        return "the compressed stream cannot be opened";
    }
    // No larger than the stream: small files need no 2 MiB buffer each.
    std::vector<uint8_t> buffer((size_t)std::min<uint64_t>(declared, 4 * InstallerBlockSize));
    std::string fault;
    uint64_t decoded = 0;
    while (decoded < declared) {
        uint32_t n = stream->methods->read(stream, buffer.data(), (uint32_t)buffer.size());
        if (n == 0) {
            fault = "block " + std::to_string(decoded / blockSize) + " of the compressed stream does not decode";
            break;
        }
        decoded += n;
    }
    stream->methods->release(stream);
    *decodedSize = declared;
    return fault;
}

struct Walker {
    const uint8_t *at;
    uint64_t remaining;
    uint64_t offset;
};

bool Need(Walker *w, uint64_t k, const uint8_t **field)
{
    if (w->remaining < k) {
        return false;
    }
    *field = w->at;
    w->at += k;
    w->remaining -= k;
    w->offset += k;
    return true;
}

std::string At(const ChunkView &chunk, uint64_t offset)
{
    return "chunk " + std::to_string(chunk.id) + ", entry at offset " + std::to_string(offset) + ": ";
}

// Reads one entry header. Returns: an empty text, or the fault.
std::string ReadHeader(const ChunkView &chunk, Walker *w, EntryInfo *e)
{
    const uint8_t *f;
    if (!Need(w, 1, &f)) {
        return At(chunk, e->chunkOffset) + "the chunk ends inside the entry's kind";
    }
    e->kind = *f;
    if (!Need(w, 2, &f)) {
        return At(chunk, e->chunkOffset) + "the chunk ends inside the name length";
    }
    uint32_t length = GetU16(f);
    if (length > MaxNameUnits) {
        return At(chunk, e->chunkOffset) + "name length " + std::to_string(length) + " is above " + std::to_string(MaxNameUnits);
    }
    if (!Need(w, 2 * (uint64_t)length, &f)) {
        return At(chunk, e->chunkOffset) + "the chunk ends inside the name";
    }
    e->name.clear();
    for (uint32_t i = 0; i < length; ++i) {
        e->name.push_back((char16_t)GetU16(f + 2 * i));
    }
    if (!Need(w, 8, &f)) {
        return At(chunk, e->chunkOffset) + "the chunk ends inside the data size";
    }
    e->dataSize = GetU64(f);
    e->targetOffset = 0;
    if (e->kind == RangeKind) {
        if (!Need(w, 8, &f)) {
            return At(chunk, e->chunkOffset) + "the chunk ends inside the target offset";
        }
        e->targetOffset = GetU64(f);
    }
    if (e->dataSize > w->remaining) {
        return At(chunk, e->chunkOffset) + "data size " + std::to_string(e->dataSize) +
               " runs past the chunk's end (" + std::to_string(w->remaining) + " bytes left)";
    }
    return std::string();
}

// Faults of a name that the walk itself would accept but the writers cannot serve safely.
std::string CheckName(const ChunkView &chunk, const EntryInfo &e)
{
    std::u16string::size_type zero = e.name.find(u'\0');
    if (e.name.empty() || zero == 0) {
        return At(chunk, e.chunkOffset) + "the name is empty, so it targets the game folder itself";
    }
    if (zero != std::u16string::npos) {
        return At(chunk, e.chunkOffset) + "the name holds a zero unit, which cuts it short";
    }
    if (!NameStaysInside(e.name)) {
        return At(chunk, e.chunkOffset) + "the name \"" + NameText(e.name) + "\" leaves the game folder";
    }
    return std::string();
}

}  // namespace

std::string CheckChunk(const ChunkView &chunk, void (*visit)(const EntryInfo &, void *), void *context)
{
    if (chunk.size > MaxChunkBytes) {
        return "chunk " + std::to_string(chunk.id) + " is larger than the installer's walk accepts";
    }
    Walker w = {chunk.data, chunk.size, 0};
    while (w.remaining != 0) {
        EntryInfo e;
        e.chunkId = chunk.id;
        e.chunkOffset = w.offset;
        std::string fault = ReadHeader(chunk, &w, &e);
        if (fault.empty()) {
            fault = CheckName(chunk, e);
        }
        if (!fault.empty()) {
            return fault;
        }
        e.decodedSize = e.dataSize;
        if (e.kind != RangeKind) {
            fault = CheckBlockStream(w.at, e.dataSize, &e.decodedSize);
            if (!fault.empty()) {
                return At(chunk, e.chunkOffset) + "\"" + NameText(e.name) + "\": " + fault;
            }
        }
        if (visit) {
            visit(e, context);
        }
        w.at += e.dataSize;
        w.remaining -= e.dataSize;
        w.offset += e.dataSize;
    }
    return std::string();
}

namespace {

struct Listing {
    Report *report;
    uint64_t whole;
    uint64_t range;
    uint64_t decoded;
};

void PrintEntry(const EntryInfo &e, void *context)
{
    Listing *l = (Listing *)context;
    std::string name = NameText(e.name);
    if (e.kind == RangeKind) {
        ++l->range;
        l->report->Listing(Format("  range  %-48s stored %12" PRIu64 "  at offset %" PRIu64, name.c_str(),
                                  e.dataSize, e.targetOffset));
    } else {
        ++l->whole;
        l->report->Listing(Format("  whole  %-48s stored %12" PRIu64 "  decoded %12" PRIu64, name.c_str(),
                                  e.dataSize, e.decodedSize));
    }
    l->decoded += e.decodedSize;
}


// Returns: an empty text, or the descriptor's fault.
std::string PrintDescriptor(const LoadedPatch &patch, Report &report)
{
    if (!patch.hasDescriptor || patch.descriptor.empty()) {
        return "there is no descriptor (QPATCH 2000, descriptor.txt), or it is empty";
    }
    const std::vector<uint8_t> &text = patch.descriptor;
    DescriptorHead head = ParseDescriptorHead(text.data(), (uint32_t)text.size());
    std::string description(text.begin() + head.descriptionOffset, text.end());
    report.Listing(Format("descriptor: target %s, operator %s, base %s", VersionText(head.target).c_str(),
            OperatorText(head.gate), VersionText(head.base).c_str()));
    std::string shown = description;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) {
        shown.pop_back();
    }
    report.Listing(Format("description: %s", shown.c_str()));
    if (head.gate == GateOperator::None) {
        return "the descriptor's operator is neither \"=\" nor \"<=\": every installation below the "
               "target is refused";
    }
    if (!IsValidUtf8(description)) {
        return "the description is not valid UTF-8";
    }
    return std::string();
}

}  // namespace

std::string InspectPatch(const LoadedPatch &patch, Report &report)
{
    std::string fault = PrintDescriptor(patch, report);
    // The record's verdict comes after the entries, which are listed even from a damaged package.
    std::string extrasFault = InspectInstallerExtras(patch, report);
    Listing listing = {&report, 0, 0, 0};
    uint64_t stored = 0;
    for (size_t i = 0; fault.empty() && i < patch.chunks.size(); ++i) {
        const ChunkView &chunk = patch.chunks[i];
        report.Listing(Format("chunk %u: %" PRIu64 " bytes", chunk.id, chunk.size));
        fault = CheckChunk(chunk, PrintEntry, &listing);
        stored += chunk.size;
    }
    if (fault.empty() && patch.chunks.empty()) {
        fault = "there is no chunk " + std::to_string(FirstChunkId) + ": the installer has nothing to install";
    }
    if (fault.empty() && !patch.strayIds.empty()) {
        fault = "chunk " + std::to_string(patch.strayIds[0]) +
                " follows a missing id; the installer stops at the first missing chunk and never reads it";
    }
    if (fault.empty()) {
        fault = extrasFault;
    }
    if (fault.empty()) {
        report.Listing(Format("total: %zu chunks, %" PRIu64 " whole-file and %" PRIu64 " range entries, "
                              "%" PRIu64 " bytes stored, %" PRIu64 " bytes decoded",
                              patch.chunks.size(), listing.whole, listing.range, stored, listing.decoded));
        report.Listing("OK");
    } else {
        report.Listing(Format("FAULT: %s", fault.c_str()));
    }
    return fault;
}
