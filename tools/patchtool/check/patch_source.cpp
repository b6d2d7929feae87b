#include "tools/patchtool/check/patch_source.h"

#include <system_error>

#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/pe/pe_resources.h"

namespace {

// Reads the files of the applied ids of sequence into storage and views.
bool LoadSequence(const fs::path &folder, const ChunkSequence &sequence,
                  std::string (*fileName)(uint32_t), LoadedPatch *patch,
                  std::vector<ChunkView> *views, std::string *error)
{
    for (uint32_t id : sequence.applied) {
        patch->storage.emplace_back();
        if (!ReadWholeFile(folder / fileName(id), &patch->storage.back(), error)) {
            return false;
        }
    }
    // Views only once storage no longer moves.
    size_t first = patch->storage.size() - sequence.applied.size();
    for (size_t i = 0; i < sequence.applied.size(); ++i) {
        const std::vector<uint8_t> &bytes = patch->storage[first + i];
        views->push_back(
            ChunkView{sequence.applied[i], bytes.data(), bytes.size(), fileName == DeltaFileName});
    }
    return true;
}

// Reads the folder's removal list, if it has one, into the last of storage (reserved for it).
bool LoadRemovals(const fs::path &folder, LoadedPatch *patch, std::string *error)
{
    std::error_code ec;
    fs::path path = folder / RemovalFileName;
    if (!fs::is_regular_file(path, ec)) {
        return true;
    }
    patch->storage.emplace_back();
    const std::vector<uint8_t> &bytes = patch->storage.back();
    if (!ReadWholeFile(path, &patch->storage.back(), error)) {
        return false;
    }
    patch->removals.data = bytes.data();
    patch->removals.size = bytes.size();
    return true;
}

bool LoadFolder(const fs::path &folder, LoadedPatch *patch, std::string *error)
{
    std::error_code ec;
    std::vector<uint32_t> chunkIds;
    std::vector<uint32_t> deltaIds;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::string name = PathText(it->path().filename());
        uint32_t chunk = ChunkIdOfFileName(name);
        uint32_t delta = DeltaIdOfFileName(name);
        if ((chunk || delta) && fs::is_regular_file(it->path(), ec)) {
            (chunk ? chunkIds : deltaIds).push_back(chunk ? chunk : delta);
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
    ChunkSequence chunks = SplitChunkIds(chunkIds);
    ChunkSequence deltas = SplitChunkIds(deltaIds);
    patch->strayIds = chunks.stray;
    patch->strayDeltaIds = deltas.stray;
    patch->storage.reserve(chunks.applied.size() + deltas.applied.size() + 1);
    return LoadSequence(folder, chunks, ChunkFileName, patch, &patch->chunks, error) &&
           LoadSequence(folder, deltas, DeltaFileName, patch, &patch->deltas, error) &&
           LoadRemovals(folder, patch, error);
}

// Returns: the ids of the resources of type, in the installer's order.
ChunkSequence ResourceSequence(const std::vector<PeResource> &items, const char16_t *typeName)
{
    const ResourceKey type = NameKey(typeName);
    std::vector<uint32_t> ids;
    for (const PeResource &item : items) {
        if (item.type.named && FindPeResource(items, type, item.name) == &item &&
            !item.name.named) {
            ids.push_back(item.name.id);
        }
    }
    return SplitChunkIds(ids);
}

void ViewResources(const std::vector<uint8_t> &image, const std::vector<PeResource> &items,
                   const char16_t *typeName, const ChunkSequence &sequence,
                   std::vector<ChunkView> *views)
{
    for (uint32_t id : sequence.applied) {
        const PeResource *c = FindPeResource(items, NameKey(typeName), IdKey((uint16_t)id));
        views->push_back(
            ChunkView{id, image.data() + c->imageOffset, c->size, typeName == DeltaResourceType});
    }
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
    ChunkSequence chunks = ResourceSequence(items, PatchResourceType);
    ChunkSequence deltas = ResourceSequence(items, DeltaResourceType);
    if (const PeResource *d =
            FindPeResource(items, NameKey(PatchResourceType), IdKey(IDR_DESCRIPTOR))) {
        patch->descriptor.assign(image.begin() + d->imageOffset,
                                 image.begin() + d->imageOffset + d->size);
        patch->hasDescriptor = true;
    }
    patch->strayIds = chunks.stray;
    patch->strayDeltaIds = deltas.stray;
    ViewResources(image, items, PatchResourceType, chunks, &patch->chunks);
    ViewResources(image, items, DeltaResourceType, deltas, &patch->deltas);
    if (const PeResource *r =
            FindPeResource(items, NameKey(RemovalResourceType), IdKey(IDR_FIRST_CHUNK))) {
        patch->removals.data = image.data() + r->imageOffset;
        patch->removals.size = r->size;
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
