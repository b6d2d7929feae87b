#include "tools/patchtool/builder/installer.h"

#include <system_error>

#include "payload/checksum_record.h"
#include "tools/patchtool/format/checksum_writer.h"
#include "tools/patchtool/format/installer_extras.h"
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


// Replaces the stub's version resource and checksum record by those of the patch folder (the
// record only when withRecord). A signature of the stub cannot survive the rewrite: *dropped says
// the stub had one. Returns: false with a reason when a file of the folder cannot be read.
bool AddInstallerExtras(const std::vector<uint8_t> &stub, const fs::path &patchFolder, uint32_t lastChunk,
                        bool withRecord, std::vector<PeResource> *items, bool *dropped, std::string *error)
{
    uint32_t offset = 0, size = 0;
    *dropped = ReadPeCertificateTable(stub, &offset, &size) && size != 0;
    RemoveResource(items, RecordResourceType(), ChecksumRecordId);
    RemoveResource(items, VersionResourceType(), VersionResourceId);
    std::vector<uint8_t> descriptor;
    if (!ReadWholeFile(patchFolder / DescriptorFileName, &descriptor, error)) {
        return false;
    }
    items->push_back(BytesItem(VersionResourceType(), VersionResourceId, ComposeVersionResource(PatchVersionInfo(descriptor))));
    if (withRecord) {
        std::vector<uint8_t> record;
        if (!ComposeChecksumRecord(patchFolder, lastChunk, &record, error)) {
            return false;
        }
        items->push_back(BytesItem(RecordResourceType(), ChecksumRecordId, record));
    }
    return true;
}

}  // namespace

bool WriteInstaller(const Plan &plan, const fs::path &patchFolder, uint32_t lastChunk, const fs::path &output,
                    bool withRecord, Report &report, std::string *error)
{
    std::vector<PeResource> items = plan.stubItems;
    std::error_code ec;
    std::vector<uint32_t> ids(1, DescriptorId);
    for (uint32_t id = FirstChunkId; id <= lastChunk; ++id) {
        ids.push_back(id);
    }
    for (uint32_t id : ids) {
        fs::path file = patchFolder / (id == DescriptorId ? std::string(DescriptorFileName) : ChunkFileName(id));
        PeResource item;
        item.type = NameKey(PatchResourceType);
        item.name = IdKey((uint16_t)id);
        item.language = 0;
        item.codePage = 0;
        item.imageOffset = 0;
        item.size = (uint32_t)fs::file_size(file, ec);
        item.file = file;
        if (ec) {
            *error = "cannot read " + PathText(file) + ": " + ec.message();
            return false;
        }
        items.push_back(item);
    }
    bool signatureDropped = false;
    if (!AddInstallerExtras(plan.stubImage, patchFolder, lastChunk, withRecord, &items, &signatureDropped,
                            error)) {
        return false;
    }
    if (signatureDropped) {
        report.Warning(PathText(plan.stubPath) + " is signed; the installer is written without that signature, "
                       "which would not match its new content: sign the installer again");
    }
    return WritePeWithResources(plan.stubImage, items, output, error);
}
