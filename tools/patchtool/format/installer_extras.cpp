#include "tools/patchtool/format/installer_extras.h"

#include "format/checksum_record.h"
#include "tools/patchtool/pe/resource_types.h"

ResourceKey RecordResourceType()
{
    return NameKey(CHECKSUM_RECORD_TYPE_U16);
}

ResourceKey VersionResourceType()
{
    return IdKey(ResourceTypeVersion);
}

namespace {

// Returns: true with the bytes of record id when the image carries it.
bool ReadRecord(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                uint16_t id, std::vector<uint8_t> *record)
{
    const PeResource *r = FindPeResource(items, RecordResourceType(), IdKey(id));
    if (r) {
        record->assign(image.begin() + r->imageOffset, image.begin() + r->imageOffset + r->size);
    }
    return r != nullptr;
}

}  // namespace

void ReadInstallerExtras(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                         InstallerExtras *extras)
{
    *extras = InstallerExtras();
    extras->fromInstaller = true;
    extras->hasRecord = ReadRecord(image, items, ChecksumRecordId, &extras->record);
    extras->hasDeltaRecord = ReadRecord(image, items, DeltaRecordId, &extras->deltaRecord);
    extras->hasRemovalRecord = ReadRecord(image, items, RemovalRecordId, &extras->removalRecord);
    if (const PeResource *v =
            FindPeResource(items, VersionResourceType(), IdKey(VersionResourceId))) {
        extras->hasVersion = true;
        extras->version.assign(image.begin() + v->imageOffset,
                               image.begin() + v->imageOffset + v->size);
    }
    ReadPeCertificateTable(image, &extras->certificateOffset, &extras->certificateSize);
}
