#include "tools/patchtool/format/installer_extras.h"

#include "payload/checksum_record.h"
#include "tools/patchtool/format/checksum_writer.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/pe/pe_resources.h"
#include "tools/patchtool/format/version_resource.h"

namespace {

enum : uint16_t {
    VersionResourceType = 16,  // RT_VERSION
    VersionResourceId = 1,
    CertificateRevision = 0x0200,
    CertificatePkcsSignedData = 0x0002,
};

const ResourceKey RecordType = NameKey(u"QPATCHCRC");
const ResourceKey VersionType = IdKey(VersionResourceType);

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

// The package as the installer's check sees it, over the chunks and descriptor of a loaded patch.
struct LoadedPackage {
    PackageView view;
    const LoadedPatch *patch;
};

bool FindLoaded(const PackageView *self, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    const LoadedPatch *patch = ((const LoadedPackage *)self)->patch;
    if (id == DescriptorId) {
        *bytes = patch->descriptor.data();
        *size = (uint32_t)patch->descriptor.size();
        return patch->hasDescriptor;
    }
    for (const ChunkView &chunk : patch->chunks) {
        if (chunk.id == id) {
            *bytes = chunk.data;
            *size = (uint32_t)chunk.size;
            return true;
        }
    }
    return false;
}

uint32_t LoadedCrc(uint32_t previous, const uint8_t *bytes, uint32_t size)
{
    return HostCrc32(previous, bytes, size);
}

std::string ResourceName(uint16_t id)
{
    return id == DescriptorId ? std::string("the descriptor") : "chunk " + std::to_string(id);
}

const char *Problem(EntryCheck check)
{
    switch (check) {
    case EntryCheck::Missing:
        return "is missing";
    case EntryCheck::SizeDiffers:
        return "has another size than recorded";
    case EntryCheck::SumDiffers:
        return "does not match its CRC-32";
    case EntryCheck::Matches:
        break;
    }
    return "matches";
}

// Returns: an empty text, or the fault naming every resource that does not match.
std::string CheckRecord(const LoadedPatch &patch, FILE *out)
{
    const InstallerExtras &x = patch.extras;
    ChecksumRecord record;
    if (!OpenChecksumRecord(x.record.data(), (uint32_t)x.record.size(), &record)) {
        fprintf(out, "checksum record: malformed (%zu bytes)\n", x.record.size());
        return "the checksum record is malformed: the installer refuses to run";
    }
    LoadedPackage package = {{FindLoaded, LoadedCrc}, &patch};
    std::string damaged;
    for (uint32_t i = 0; i < record.count; ++i) {
        RecordEntry entry = RecordEntryAt(record, i);
        EntryCheck check = CheckRecordEntry(entry, &package.view);
        if (check != EntryCheck::Matches) {
            fprintf(out, "  %s %s\n", ResourceName(entry.id).c_str(), Problem(check));
            damaged += (damaged.empty() ? "" : ", ") + ResourceName(entry.id);
        }
    }
    uint16_t unlisted = FirstUnlistedChunk(record);
    const uint8_t *ignored;
    uint32_t ignoredSize;
    if (unlisted != DescriptorId && FindLoaded(&package.view, unlisted, &ignored, &ignoredSize)) {
        fprintf(out, "  chunk %u is not in the record\n", unlisted);
        damaged += (damaged.empty() ? "" : ", ") + ResourceName(unlisted) + " (unlisted)";
    }
    fprintf(out, "checksum record: the descriptor and %u chunks, %s\n", record.count - 1,
            damaged.empty() ? "all match" : "DAMAGED");
    if (!damaged.empty()) {
        return "damaged (the installer refuses it): " + damaged;
    }
    return std::string();
}

void PrintVersion(const InstallerExtras &x, FILE *out)
{
    VersionInfo info;
    if (!x.hasVersion) {
        fprintf(out, "version resource: none\n");
        return;
    }
    if (!ParseVersionResource(x.version, &info)) {
        fprintf(out, "version resource: unreadable (%zu bytes)\n", x.version.size());
        return;
    }
    fprintf(out, "version resource: file %s, product %s\n", FixedVersionText(info.fileHigh, info.fileLow).c_str(),
            FixedVersionText(info.productHigh, info.productLow).c_str());
    for (const auto &s : info.strings) {
        std::string key, value;
        Utf16ToUtf8(s.first, &key);
        Utf16ToUtf8(s.second, &value);
        fprintf(out, "  %s: %s\n", key.c_str(), value.c_str());
    }
}

// Returns: an empty text, or the fault of a certificate table that cannot be what it claims.
std::string PrintSignature(const LoadedPatch &patch, FILE *out)
{
    const InstallerExtras &x = patch.extras;
    if (x.certificateSize == 0) {
        fprintf(out, "signature: none\n");
        return std::string();
    }
    const std::vector<uint8_t> &image = patch.storage[0];
    uint64_t end = (uint64_t)x.certificateOffset + x.certificateSize;
    if (x.certificateOffset == 0 || end > image.size() || x.certificateSize < 8) {
        fprintf(out, "signature: a certificate table outside the file\n");
        return "the certificate table lies outside the file";
    }
    const uint8_t *certificate = &image[x.certificateOffset];
    bool authenticode = GetU16(certificate + 4) == CertificateRevision &&
                        GetU16(certificate + 6) == CertificatePkcsSignedData;
    fprintf(out, "signature: signed (%s, %u bytes; osslsigncode verify checks the signer)\n",
            authenticode ? "Authenticode PKCS#7" : "unknown certificate type", x.certificateSize);
    return std::string();
}

}  // namespace

void ReadInstallerExtras(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                         InstallerExtras *extras)
{
    *extras = InstallerExtras();
    extras->fromInstaller = true;
    if (const PeResource *r = FindPeResource(items, RecordType, IdKey(ChecksumRecordId))) {
        extras->hasRecord = true;
        extras->record.assign(image.begin() + r->imageOffset, image.begin() + r->imageOffset + r->size);
    }
    if (const PeResource *v = FindPeResource(items, VersionType, IdKey(VersionResourceId))) {
        extras->hasVersion = true;
        extras->version.assign(image.begin() + v->imageOffset, image.begin() + v->imageOffset + v->size);
    }
    ReadPeCertificateTable(image, &extras->certificateOffset, &extras->certificateSize);
}

bool AddInstallerExtras(const std::vector<uint8_t> &stub, const fs::path &patchFolder, uint32_t lastChunk,
                        bool withRecord, std::vector<PeResource> *items, bool *dropped, std::string *error)
{
    uint32_t offset = 0, size = 0;
    *dropped = ReadPeCertificateTable(stub, &offset, &size) && size != 0;
    RemoveResource(items, RecordType, ChecksumRecordId);
    RemoveResource(items, VersionType, VersionResourceId);
    std::vector<uint8_t> descriptor;
    if (!ReadWholeFile(patchFolder / "descriptor.txt", &descriptor, error)) {
        return false;
    }
    items->push_back(BytesItem(VersionType, VersionResourceId, ComposeVersionResource(PatchVersionInfo(descriptor))));
    if (withRecord) {
        std::vector<uint8_t> record;
        if (!ComposeChecksumRecord(patchFolder, lastChunk, &record, error)) {
            return false;
        }
        items->push_back(BytesItem(RecordType, ChecksumRecordId, record));
    }
    return true;
}

std::string InspectInstallerExtras(const LoadedPatch &patch, FILE *out)
{
    const InstallerExtras &x = patch.extras;
    if (!x.fromInstaller) {
        return std::string();
    }
    PrintVersion(x, out);
    std::string fault = PrintSignature(patch, out);
    if (!x.hasRecord) {
        fprintf(out, "checksum record: none (the installer cannot check itself)\n");
    } else if (std::string damaged = CheckRecord(patch, out); !damaged.empty() && fault.empty()) {
        fault = damaged;
    }
    return fault;
}
