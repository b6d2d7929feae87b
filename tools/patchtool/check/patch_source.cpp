#include "tools/patchtool/check/patch_source.h"

#include <system_error>

#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/pe/pe_resources.h"

namespace {

bool LoadFolder(const fs::path &folder, LoadedPatch *patch, std::string *error)
{
    std::error_code ec;
    std::vector<uint32_t> ids;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        uint32_t id = ChunkIdOfFileName(PathText(it->path().filename()));
        if (id && fs::is_regular_file(it->path(), ec)) {
            ids.push_back(id);
        }
    }
    if (ec) {
        *error = "cannot read folder " + PathText(folder) + ": " + ec.message();
        return false;
    }
    fs::path descriptor = folder / DescriptorFileName;
    if (fs::exists(descriptor, ec)) {
        if (!ReadWholeFile(descriptor, &patch->descriptor, error)) {
            return false;
        }
        patch->hasDescriptor = true;
    }
    ChunkSequence sequence = SplitChunkIds(ids);
    const std::vector<uint32_t> &applied = sequence.applied;
    patch->strayIds = sequence.stray;
    patch->storage.resize(applied.size());
    for (size_t i = 0; i < applied.size(); ++i) {
        fs::path file = folder / ChunkFileName(applied[i]);
        if (!ReadWholeFile(file, &patch->storage[i], error)) {
            return false;
        }
        patch->chunks.push_back(
            ChunkView{applied[i], patch->storage[i].data(), patch->storage[i].size()});
    }
    return true;
}

bool LoadExecutable(const fs::path &file, LoadedPatch *patch, std::string *error)
{
    patch->storage.resize(1);
    std::vector<uint8_t> &image = patch->storage[0];
    if (!ReadWholeFile(file, &image, error)) {
        return false;
    }
    std::vector<PeResource> items;
    if (!CheckSectionsInsideFile(image, error) || !ReadPeResources(image, &items, error)) {
        *error = PathText(file) + ": " + *error;
        return false;
    }
    const ResourceKey type = NameKey(PatchResourceType);
    std::vector<uint32_t> ids;
    for (const PeResource &item : items) {
        if (item.type.named && FindPeResource(items, type, item.name) == &item &&
            !item.name.named) {
            ids.push_back(item.name.id);
        }
    }
    if (const PeResource *d = FindPeResource(items, type, IdKey(IDR_DESCRIPTOR))) {
        patch->descriptor.assign(image.begin() + d->imageOffset,
                                 image.begin() + d->imageOffset + d->size);
        patch->hasDescriptor = true;
    }
    ChunkSequence sequence = SplitChunkIds(ids);
    patch->strayIds = sequence.stray;
    for (uint32_t id : sequence.applied) {
        const PeResource *c = FindPeResource(items, type, IdKey((uint16_t)id));
        patch->chunks.push_back(ChunkView{id, image.data() + c->imageOffset, c->size});
    }
    ReadInstallerExtras(image, items, &patch->extras);
    return true;
}

}  // namespace

bool LoadPatch(const fs::path &path, LoadedPatch *patch, std::string *error)
{
    *patch = LoadedPatch();
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        return LoadFolder(path, patch, error);
    }
    if (fs::is_regular_file(path, ec)) {
        return LoadExecutable(path, patch, error);
    }
    *error = "no patch folder or installer at " + PathText(path);
    return false;
}
