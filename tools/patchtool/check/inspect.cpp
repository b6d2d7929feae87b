// Inspecting a patch, in three divisions: names and the walk of one chunk or delta resource as the
// installer walks it (CheckChunk, CheckDeltaResource); the listing of entries, deltas and the
// descriptor; and the whole patch (InspectPatch), the removal list and the records included.
#include "tools/patchtool/check/inspect.h"

#include <inttypes.h>
#include <algorithm>
#include <vector>

#include "delta/common/delta_recipe.h"
#include "format/descriptor.h"
#include "format/name_rule.h"
#include "format/removal_list.h"
#include "stream/block_stream.h"
#include "stream/memory_stream.h"
#include "tools/patchtool/check/inspect_extras.h"
#include "tools/patchtool/check/removals.h"
#include "tools/patchtool/format/patch_format.h"

std::u16string DeltaBaseName(const DeltaHeader &header)
{
    std::u16string name(header.baseNameLength, u'\0');
    GetNameUnits(header.baseName, header.baseNameLength, &name[0]);
    return name;
}

bool NameStaysInside(const std::u16string &name)
{
    return NameStaysInside(name.data(), (uint32_t)name.size());
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
        return "the data are shorter than a compressed stream's " +
               std::to_string(BlockStreamHeaderSize) + "-byte header";
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
            fault = "block " + std::to_string(decoded / blockSize) +
                    " of the compressed stream does not decode";
            break;
        }
        decoded += n;
    }
    stream->methods->release(stream);
    *decodedSize = declared;
    return fault;
}

std::string ResourceText(const ChunkView &chunk)
{
    return (chunk.delta ? "delta resource " : "chunk ") + std::to_string(chunk.id);
}

std::string At(const ChunkView &chunk, uint64_t offset)
{
    return ResourceText(chunk) + ", entry at offset " + std::to_string(offset) + ": ";
}

// Returns: what ReadEntryHeader found wrong with the entry, in words; remaining is what it was
// given.
std::string FaultText(EntryFault fault, const EntryHeader &header, uint32_t remaining)
{
    switch (fault) {
    case EntryFault::EndsInKind:
        return "the chunk ends inside the entry's kind";
    case EntryFault::EndsInNameLength:
        return "the chunk ends inside the name length";
    case EntryFault::NameTooLong:
        return "name length " + std::to_string(header.nameLength) + " is above " +
               std::to_string(MaxNameLength);
    case EntryFault::EndsInName:
        return "the chunk ends inside the name";
    case EntryFault::EndsInDataSize:
        return "the chunk ends inside the data size";
    case EntryFault::EndsInTargetOffset:
        return "the chunk ends inside the target offset";
    case EntryFault::DataPastEnd:
        return "data size " + std::to_string(header.dataSize) + " runs past the chunk's end (" +
               std::to_string(remaining - header.size) + " bytes left)";
    case EntryFault::ZeroUnitInName:
        return "the name holds a zero unit, which cuts it short";
    case EntryFault::None:
        break;
    }
    return std::string();
}

// Faults of a name that the walk itself would accept but the writers cannot serve safely;
// headerFault is the words for a zero unit inside it, if ReadEntryHeader found one.
std::string CheckName(const ChunkView &chunk, const EntryInfo &e, const std::string &headerFault)
{
    if (e.name.empty() || e.name[0] == u'\0') {
        return At(chunk, e.chunkOffset) + "the name is empty, so it targets the game folder itself";
    }
    if (!headerFault.empty()) {
        return At(chunk, e.chunkOffset) + headerFault;
    }
    if (!NameStaysInside(e.name)) {
        return At(chunk, e.chunkOffset) + "the name \"" + NameText(e.name) +
               "\" leaves the game folder";
    }
    return std::string();
}

// Reads the entry at offset of chunk into e, header and name.
// Returns: an empty text, or the fault of its header or its name.
std::string ReadEntry(const ChunkView &chunk, uint64_t offset, EntryInfo *e, EntryHeader *header)
{
    NameUnit name[NameBufferUnits];
    uint32_t remaining = (uint32_t)(chunk.size - offset);
    EntryFault fault = ReadEntryHeader(chunk.data + offset, remaining, header, name);
    e->chunkId = chunk.id;
    e->chunkOffset = offset;
    if (EntryIsBroken(fault)) {
        return At(chunk, offset) + FaultText(fault, *header, remaining);
    }
    e->kind = header->kind;
    e->name.assign(name, name + header->nameLength);
    e->dataSize = header->dataSize;
    e->targetOffset = header->targetOffset;
    return CheckName(chunk, *e, FaultText(fault, *header, remaining));
}

}  // namespace

std::string CheckChunk(const ChunkView &chunk, void (*visit)(const EntryInfo &, void *),
                       void *context)
{
    if (chunk.size > MaxChunkBytes) {
        return ResourceText(chunk) + " is larger than the installer's walk accepts";
    }
    for (uint64_t offset = 0; offset < chunk.size;) {
        EntryInfo e;
        EntryHeader header;
        std::string fault = ReadEntry(chunk, offset, &e, &header);
        if (!fault.empty()) {
            return fault;
        }
        const uint8_t *data = chunk.data + offset + header.size;
        e.decodedSize = e.dataSize;
        if (e.kind != EntryKindRange) {
            fault = CheckBlockStream(data, e.dataSize, &e.decodedSize);
            if (!fault.empty()) {
                return At(chunk, e.chunkOffset) + "\"" + NameText(e.name) + "\": " + fault;
            }
        }
        if (visit) {
            visit(e, context);
        }
        offset += header.size + e.dataSize;
    }
    return std::string();
}

std::string CheckDeltaResource(const ChunkView &resource, void (*visit)(const DeltaInfo &, void *),
                               void *context)
{
    if (resource.size > MaxChunkBytes) {
        return ResourceText(resource) + " is larger than the installer's walk accepts";
    }
    for (uint64_t offset = 0; offset < resource.size;) {
        DeltaInfo d;
        EntryHeader header;
        std::string fault = ReadEntry(resource, offset, &d.entry, &header);
        if (!fault.empty()) {
            return fault;
        }
        EntryInfo &e = d.entry;
        d.data = resource.data + offset + header.size;
        if (e.kind == EntryKindRange) {
            return At(resource, offset) + "a range entry, which a delta resource cannot hold";
        }
        if (!GetDeltaHeader(d.data, (uint32_t)e.dataSize, &d.header)) {
            return At(resource, offset) + "\"" + NameText(e.name) +
                   "\": the delta's header is damaged (magic, format, filter or section sizes)";
        }
        if (d.header.baseName && !NameStaysInside(DeltaBaseName(d.header))) {
            return At(resource, offset) + "\"" + NameText(e.name) + "\": the base \"" +
                   NameText(DeltaBaseName(d.header)) + "\" leaves the game folder";
        }
        e.decodedSize = d.header.resultSize;
        if (visit) {
            visit(d, context);
        }
        offset += header.size + e.dataSize;
    }
    return std::string();
}

namespace {

struct Listing {
    Report *report;
    uint64_t whole;
    uint64_t range;
    uint64_t decoded;
    std::vector<std::u16string> chunkNames;  // the targets of chunk entries, sorted
    uint64_t deltas;
    std::vector<std::u16string> deltaTargets;  // in order, each target once
    std::vector<uint32_t> resultCrcs;          // of each target, as its first delta names it
    std::string fault;                         // how the deltas break the installer's rules
};

void PrintEntry(const EntryInfo &e, void *context)
{
    Listing *l = (Listing *)context;
    std::string name = NameText(e.name);
    if (e.kind == EntryKindRange) {
        ++l->range;
        l->report->Listing(Format("  range  %-48s stored %12" PRIu64 "  at offset %" PRIu64,
                                  name.c_str(), e.dataSize, e.targetOffset));
    } else {
        ++l->whole;
        l->report->Listing(Format("  whole  %-48s stored %12" PRIu64 "  decoded %12" PRIu64,
                                  name.c_str(), e.dataSize, e.decodedSize));
    }
    l->decoded += e.decodedSize;
    l->chunkNames.push_back(e.name);
}

// Lists a delta and checks that each target's deltas follow each other, make one result and
// concern no file that a chunk entry writes.
void ListAndCheckDelta(const DeltaInfo &d, void *context)
{
    Listing *l = (Listing *)context;
    const DeltaHeader &h = d.header;
    std::string name = NameText(d.entry.name);
    ++l->deltas;
    l->report->Listing(Format("  delta  %-48s base %12" PRIu64 " crc %08x  result %12" PRIu64
                              " crc %08x  stored %12" PRIu64,
                              name.c_str(), h.baseSize, h.baseCrc, h.resultSize, h.resultCrc,
                              d.entry.dataSize));
    if (h.baseName) {
        l->report->Listing(Format("         base file %s", NameText(DeltaBaseName(h)).c_str()));
    }
    RecipeLists lists;
    bool recipeRead = GetRecipeLists(h, &lists);
    if (recipeRead && (h.flags & DeltaFlagRecipe)) {
        l->report->Listing(Format("         through compressed streams: %" PRIu64
                                  " of the base expanded to %" PRIu64 " bytes, %" PRIu64
                                  " of the result deflated again",
                                  lists.base.left, h.expandedBaseSize, lists.result.left));
    }
    l->decoded += h.resultSize;
    std::vector<std::u16string> &targets = l->deltaTargets;
    bool continues = !targets.empty() && targets.back() == d.entry.name;
    std::string fault;
    if (!recipeRead) {
        fault = "the recipe of the delta of \"" + name + "\" is malformed";
    } else if (continues && l->resultCrcs.back() != h.resultCrc) {
        fault = "the deltas of \"" + name + "\" make different results";
    } else if (!continues &&
               std::find(targets.begin(), targets.end(), d.entry.name) != targets.end()) {
        fault = "the deltas of \"" + name + "\" do not follow each other";
    } else if (std::binary_search(l->chunkNames.begin(), l->chunkNames.end(), d.entry.name)) {
        fault = "\"" + name + "\" has both a chunk entry and a delta";
    }
    if (!continues) {
        targets.push_back(d.entry.name);
        l->resultCrcs.push_back(h.resultCrc);
    }
    if (l->fault.empty()) {
        l->fault = fault;
    }
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
    report.Listing(Format("descriptor: target %s, operator %s, base %s",
                          VersionText(head.target).c_str(), OperatorText(head.gate),
                          VersionText(head.base).c_str()));
    std::string shown = description;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) {
        shown.pop_back();
    }
    report.Listing(Format("description: %s", shown.c_str()));
    if (head.gate == GateOperator::None) {
        return "the descriptor's operator is neither \"=\" nor \"<=\": every installation below "
               "the "
               "target is refused";
    }
    if (!IsValidUtf8(description)) {
        return "the description is not valid UTF-8";
    }
    return std::string();
}

}  // namespace

namespace {

// Lists and checks the chunks, then the delta resources.
// Returns: an empty text, or the first fault found.
std::string InspectResources(const LoadedPatch &patch, Listing *listing, uint64_t *stored)
{
    std::string fault;
    for (size_t i = 0; fault.empty() && i < patch.chunks.size(); ++i) {
        const ChunkView &chunk = patch.chunks[i];
        listing->report->Listing(Format("chunk %u: %" PRIu64 " bytes", chunk.id, chunk.size));
        fault = CheckChunk(chunk, PrintEntry, listing);
        *stored += chunk.size;
    }
    std::sort(listing->chunkNames.begin(), listing->chunkNames.end());
    for (size_t i = 0; fault.empty() && i < patch.deltas.size(); ++i) {
        const ChunkView &delta = patch.deltas[i];
        listing->report->Listing(
            Format("delta resource %u: %" PRIu64 " bytes", delta.id, delta.size));
        fault = CheckDeltaResource(delta, ListAndCheckDelta, listing);
        fault = fault.empty() ? listing->fault : fault;
        *stored += delta.size;
    }
    return fault;
}

// Returns: an empty text, or the fault of resources after a missing id.
std::string StrayFault(const LoadedPatch &patch)
{
    if (!patch.strayIds.empty()) {
        return "chunk " + std::to_string(patch.strayIds[0]) +
               " follows a missing id; the installer stops at the first missing chunk and never "
               "reads it";
    }
    if (!patch.strayDeltaIds.empty()) {
        return "delta resource " + std::to_string(patch.strayDeltaIds[0]) +
               " follows a missing id; the installer stops at the first missing one and never "
               "reads it";
    }
    return std::string();
}

// Lists the removal list. Returns: an empty text, or its fault.
std::string ListRemovals(const LoadedPatch &patch, Report &report)
{
    std::vector<RemovalInfo> removals;
    std::string fault = ReadRemovals(patch, &removals);
    if (patch.removals.data) {
        report.Listing(Format("removal list: %zu records", removals.size()));
    }
    for (const RemovalInfo &r : removals) {
        if (r.kind == RemoveFolder) {
            report.Listing(Format("  remove %s/ (when empty)", NameText(r.name).c_str()));
        } else {
            report.Listing(Format("  remove %-47s %zu content(s)", NameText(r.name).c_str(),
                                  r.identities.size()));
        }
    }
    return fault;
}

}  // namespace

std::string InspectPatch(const LoadedPatch &patch, Report &report)
{
    std::string fault = PrintDescriptor(patch, report);
    // The record's verdict comes after the entries, which are listed even from a damaged package.
    std::string extrasFault = InspectInstallerExtras(patch, report);
    Listing listing = {&report, 0, 0, 0, {}, 0, {}, {}, std::string()};
    uint64_t stored = 0;
    if (fault.empty()) {
        fault = InspectResources(patch, &listing, &stored);
    }
    if (fault.empty() && patch.chunks.empty() && patch.deltas.empty() && !patch.removals.data) {
        fault = "there is no chunk, delta or removal list " + std::to_string(IDR_FIRST_CHUNK) +
                ": the installer has nothing to install";
    }
    if (fault.empty()) {
        fault = StrayFault(patch);
    }
    if (fault.empty()) {
        fault = ListRemovals(patch, report);
    }
    if (fault.empty()) {
        fault = extrasFault;
    }
    if (fault.empty()) {
        report.Listing(Format("total: %zu chunks, %" PRIu64 " whole-file and %" PRIu64
                              " range entries, %" PRIu64 " deltas in %zu delta resources, "
                              "%" PRIu64 " bytes stored, %" PRIu64 " bytes decoded",
                              patch.chunks.size(), listing.whole, listing.range, listing.deltas,
                              patch.deltas.size(), stored, listing.decoded));
        report.Listing("OK");
    } else {
        report.Listing(Format("FAULT: %s", fault.c_str()));
    }
    return fault;
}
