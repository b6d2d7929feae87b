#include "tools/patchtool/check/inspect_extras.h"

#include "format/checksum_record.h"
#include "tools/patchtool/format/checksum_writer.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/format/version_resource.h"

namespace {

enum : uint16_t {
    CertificateRevision = 0x0200,
    CertificatePkcsSignedData = 0x0002,
};

// The package as the installer's check sees it, over the descriptor of a loaded patch and its
// chunks or its delta resources, as one record or the other lists them.
struct LoadedPackage {
    PackageView view;
    const LoadedPatch *patch;
    const std::vector<ChunkView> *resources;
};

bool FindLoaded(const PackageView *self, uint16_t id, const uint8_t **bytes, uint32_t *size)
{
    const LoadedPackage *package = (const LoadedPackage *)self;
    const LoadedPatch *patch = package->patch;
    if (id == IDR_DESCRIPTOR) {
        *bytes = patch->descriptor.data();
        *size = (uint32_t)patch->descriptor.size();
        return patch->hasDescriptor;
    }
    for (const ChunkView &chunk : *package->resources) {
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

// The record of the chunks or the record of the deltas, for messages.
struct RecordKind {
    const char *name;      // "checksum record"
    const char *resource;  // "chunk"
};

std::string ResourceName(const RecordKind &kind, uint16_t id)
{
    return id == IDR_DESCRIPTOR ? std::string("the descriptor")
                                : kind.resource + (" " + std::to_string(id));
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

// Checks one record against the descriptor and resources.
// Returns: an empty text, or the fault naming every resource that does not match.
std::string CheckRecord(const LoadedPatch &patch, const std::vector<uint8_t> &bytes,
                        const std::vector<ChunkView> &resources, const RecordKind &kind,
                        Report &report)
{
    ChecksumRecord record;
    if (!OpenChecksumRecord(bytes.data(), (uint32_t)bytes.size(), &record)) {
        report.Listing(Format("%s: malformed (%zu bytes)", kind.name, bytes.size()));
        return std::string("the ") + kind.name + " is malformed: the installer refuses to run";
    }
    LoadedPackage package = {{FindLoaded, LoadedCrc}, &patch, &resources};
    std::string damaged;
    for (uint32_t i = 0; i < record.count; ++i) {
        RecordEntry entry = RecordEntryAt(record, i);
        EntryCheck check = CheckRecordEntry(entry, &package.view);
        if (check != EntryCheck::Matches) {
            report.Listing(Format("  %s %s", ResourceName(kind, entry.id).c_str(), Problem(check)));
            damaged += (damaged.empty() ? "" : ", ") + ResourceName(kind, entry.id);
        }
    }
    uint16_t unlisted = FirstUnlistedChunk(record);
    const uint8_t *ignored;
    uint32_t ignoredSize;
    if (unlisted != IDR_DESCRIPTOR && FindLoaded(&package.view, unlisted, &ignored, &ignoredSize)) {
        report.Listing(Format("  %s is not in the record", ResourceName(kind, unlisted).c_str()));
        damaged += (damaged.empty() ? "" : ", ") + ResourceName(kind, unlisted) + " (unlisted)";
    }
    report.Listing(Format("%s: the descriptor and %u %ss, %s", kind.name, record.count - 1,
                          kind.resource, damaged.empty() ? "all match" : "DAMAGED"));
    if (!damaged.empty()) {
        return "damaged (the installer refuses it): " + damaged;
    }
    return std::string();
}

// Checks a further record (of the deltas, of the removal list) where it exists; one is needed
// beside a record of the chunks when there are such resources, or they would go unchecked.
// Returns: an empty text, or the record's fault.
std::string CheckFurtherRecord(const LoadedPatch &patch, bool has,
                               const std::vector<uint8_t> &bytes,
                               const std::vector<ChunkView> &resources, const RecordKind &kind,
                               const char *missing, Report &report)
{
    if (has) {
        return CheckRecord(patch, bytes, resources, kind, report);
    }
    if (!resources.empty()) {
        report.Listing(Format("%s: none", kind.name));
        return missing;
    }
    return std::string();
}

// Checks the three records. Returns: an empty text, or the first record's fault.
std::string CheckRecords(const LoadedPatch &patch, Report &report)
{
    const InstallerExtras &x = patch.extras;
    std::vector<ChunkView> removals;
    if (patch.removals.data) {
        removals.push_back(patch.removals);
    }
    std::string faults[] = {
        CheckRecord(patch, x.record, patch.chunks, {"checksum record", "chunk"}, report),
        CheckFurtherRecord(patch, x.hasDeltaRecord, x.deltaRecord, patch.deltas,
                           {"delta checksum record", "delta resource"},
                           "the installer checks its chunks but has no record of its deltas",
                           report),
        CheckFurtherRecord(patch, x.hasRemovalRecord, x.removalRecord, removals,
                           {"removal checksum record", "removal list"},
                           "the installer checks its chunks but has no record of its removal list",
                           report)};
    for (const std::string &fault : faults) {
        if (!fault.empty()) {
            return fault;
        }
    }
    return std::string();
}

void PrintVersion(const InstallerExtras &x, Report &report)
{
    VersionInfo info;
    if (!x.hasVersion) {
        report.Listing("version resource: none");
        return;
    }
    if (!ParseVersionResource(x.version, &info)) {
        report.Listing(Format("version resource: unreadable (%zu bytes)", x.version.size()));
        return;
    }
    report.Listing(Format("version resource: file %s, product %s",
                          FixedVersionText(info.fileHigh, info.fileLow).c_str(),
                          FixedVersionText(info.productHigh, info.productLow).c_str()));
    for (const auto &s : info.strings) {
        std::string key, value;
        Utf16ToUtf8(s.first, &key);
        Utf16ToUtf8(s.second, &value);
        report.Listing(Format("  %s: %s", key.c_str(), value.c_str()));
    }
}

// Returns: an empty text, or the fault of a certificate table that cannot be what it claims.
std::string PrintSignature(const LoadedPatch &patch, Report &report)
{
    const InstallerExtras &x = patch.extras;
    if (x.certificateSize == 0) {
        report.Listing("signature: none");
        return std::string();
    }
    const std::vector<uint8_t> &image = patch.storage[0];
    uint64_t end = (uint64_t)x.certificateOffset + x.certificateSize;
    if (x.certificateOffset == 0 || end > image.size() || x.certificateSize < 8) {
        report.Listing("signature: a certificate table outside the file");
        return "the certificate table lies outside the file";
    }
    const uint8_t *certificate = &image[x.certificateOffset];
    bool authenticode = GetU16(certificate + 4) == CertificateRevision &&
                        GetU16(certificate + 6) == CertificatePkcsSignedData;
    report.Listing(Format("signature: signed (%s, %u bytes; osslsigncode verify checks the signer)",
                          authenticode ? "Authenticode PKCS#7" : "unknown certificate type",
                          x.certificateSize));
    return std::string();
}

}  // namespace

std::string InspectInstallerExtras(const LoadedPatch &patch, Report &report)
{
    const InstallerExtras &x = patch.extras;
    if (!x.fromInstaller) {
        return std::string();
    }
    PrintVersion(x, report);
    std::string fault = PrintSignature(patch, report);
    if (!x.hasRecord) {
        report.Listing("checksum record: none (the installer cannot check itself)");
    } else if (std::string damaged = CheckRecords(patch, report);
               !damaged.empty() && fault.empty()) {
        fault = damaged;
    }
    return fault;
}
