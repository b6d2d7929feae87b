#include "tools/patchtool/builder/installer.h"

#include <system_error>

#include "format/checksum_record.h"
#include "tools/patchtool/format/checksum_writer.h"
#include "tools/patchtool/format/installer_extras.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/format/version_resource.h"

namespace {

// Removes resource id of type in every language.
void RemoveResource(std::vector<PeResource> *items, const ResourceKey &type, uint16_t id)
{
    while (const PeResource *r = FindPeResource(*items, type, IdKey(id))) {
        items->erase(items->begin() + (r - items->data()));
    }
}

PeResource BytesItem(const ResourceKey &type, uint16_t id, std::vector<uint8_t> bytes)
{
    PeResource item{type, IdKey(id), 0, 0, (uint32_t)bytes.size(), 0, std::move(bytes), fs::path()};
    return item;
}

// The resource id of type of the file at path, its bytes read from there when the image is
// written. Returns: false with a reason when its size cannot be read.
bool AddFileItem(const char16_t *type, uint32_t id, const fs::path &path,
                 std::vector<PeResource> *items, std::string *error)
{
    std::error_code ec;
    PeResource item{
        NameKey(type), IdKey((uint16_t)id), 0, 0, (uint32_t)fs::file_size(path, ec), 0, {}, path};
    if (ec) {
        *error = "cannot read " + PathText(path) + ": " + ec.message();
        return false;
    }
    items->push_back(item);
    return true;
}

// Returns: false with a reason; *size and *crc of the whole file otherwise.
bool FileSum(const fs::path &path, uint32_t *size, uint32_t *crc, std::string *error)
{
    FILE *file = OpenFile(path, "rb");
    if (!file) {
        *error = "cannot read " + PathText(path);
        return false;
    }
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t total = 0;
    *crc = 0;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), file)) > 0) {
        *crc = HostCrc32(*crc, buffer.data(), n);
        total += n;
    }
    bool ok = !ferror(file) && total <= MaxChunkBytes;
    fclose(file);
    if (!ok) {
        *error = "cannot read " + PathText(path) + " (or it is larger than a resource can be)";
        return false;
    }
    *size = (uint32_t)total;
    return true;
}

// The checksum record of the descriptor and of resources from 1601 up to the first missing id.
// Returns: false with a reason when a file cannot be read.
bool SumRecord(const fs::path &descriptor,
               const std::vector<std::pair<uint32_t, fs::path>> &resources,
               std::vector<uint8_t> *record, std::string *error)
{
    std::vector<fs::path> listed(1, descriptor);
    for (size_t i = 0;
         i < resources.size() && resources[i].first == RecordEntryId((uint32_t)listed.size());
         ++i) {
        listed.push_back(resources[i].second);
    }
    std::vector<RecordEntry> entries;
    for (const fs::path &path : listed) {
        RecordEntry entry{(uint16_t)RecordEntryId((uint32_t)entries.size()), 0, 0};
        if (!FileSum(path, &entry.size, &entry.crc, error)) {
            return false;
        }
        entries.push_back(entry);
    }
    *record = ComposeChecksumRecord(entries);
    return true;
}

// Replaces the stub's version resource and checksum records by those of the patch (the records
// only when withRecord, the deltas' only with deltas); a patch without a descriptor gets none. A
// signature of the stub cannot survive the rewrite: *dropped says the stub had one. Returns: false
// with a reason when a file of the patch cannot be read.
bool AddInstallerExtras(const std::vector<uint8_t> &stub, const PatchFiles &files, bool withRecord,
                        std::vector<PeResource> *items, bool *dropped, std::string *error)
{
    uint32_t offset = 0, size = 0;
    *dropped = ReadPeCertificateTable(stub, &offset, &size) && size != 0;
    RemoveResource(items, RecordResourceType(), ChecksumRecordId);
    RemoveResource(items, RecordResourceType(), DeltaRecordId);
    RemoveResource(items, RecordResourceType(), RemovalRecordId);
    RemoveResource(items, VersionResourceType(), VersionResourceId);
    if (files.descriptor.empty()) {
        return true;
    }
    std::vector<uint8_t> descriptor;
    if (!ReadWholeFile(files.descriptor, &descriptor, error)) {
        return false;
    }
    items->push_back(BytesItem(VersionResourceType(), VersionResourceId,
                               ComposeVersionResource(PatchVersionInfo(descriptor))));
    if (!withRecord) {
        return true;
    }
    std::vector<uint8_t> record;
    if (!SumRecord(files.descriptor, files.chunks, &record, error)) {
        return false;
    }
    items->push_back(BytesItem(RecordResourceType(), ChecksumRecordId, record));
    if (!files.deltas.empty()) {
        if (!SumRecord(files.descriptor, files.deltas, &record, error)) {
            return false;
        }
        items->push_back(BytesItem(RecordResourceType(), DeltaRecordId, record));
    }
    if (!files.removals.empty()) {
        if (!SumRecord(files.descriptor, {{IDR_FIRST_CHUNK, files.removals}}, &record, error)) {
            return false;
        }
        items->push_back(BytesItem(RecordResourceType(), RemovalRecordId, record));
    }
    return true;
}

}  // namespace

PatchFiles BuiltPatchFiles(const fs::path &folder, uint32_t lastChunk, uint32_t lastDelta,
                           bool withRemovals)
{
    PatchFiles files;
    files.descriptor = folder / DescriptorFileName;
    for (uint32_t id = IDR_FIRST_CHUNK; id <= lastChunk; ++id) {
        files.chunks.push_back({id, folder / ChunkFileName(id)});
    }
    for (uint32_t id = IDR_FIRST_CHUNK; id <= lastDelta; ++id) {
        files.deltas.push_back({id, folder / DeltaFileName(id)});
    }
    if (withRemovals) {
        files.removals = folder / RemovalFileName;
    }
    return files;
}

bool WriteInstaller(const Stub &stub, const PatchFiles &files, const fs::path &output,
                    bool withRecord, Report &report, std::string *error)
{
    std::vector<PeResource> items = stub.items;
    if (!files.descriptor.empty() &&
        !AddFileItem(PatchResourceType, IDR_DESCRIPTOR, files.descriptor, &items, error)) {
        return false;
    }
    for (const auto &chunk : files.chunks) {
        if (!AddFileItem(PatchResourceType, chunk.first, chunk.second, &items, error)) {
            return false;
        }
    }
    for (const auto &delta : files.deltas) {
        if (!AddFileItem(DeltaResourceType, delta.first, delta.second, &items, error)) {
            return false;
        }
    }
    if (!files.removals.empty() &&
        !AddFileItem(RemovalResourceType, IDR_FIRST_CHUNK, files.removals, &items, error)) {
        return false;
    }
    bool signatureDropped = false;
    if (!AddInstallerExtras(stub.image, files, withRecord, &items, &signatureDropped, error)) {
        return false;
    }
    if (signatureDropped) {
        report.Warning(PathText(stub.path) +
                       " is signed; the installer is written without that signature, "
                       "which would not match its new content: sign the installer again");
    }
    return WritePeWithResources(stub.image, items, output, error);
}
