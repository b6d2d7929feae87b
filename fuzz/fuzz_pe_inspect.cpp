// Arbitrary bytes as an executable given to the publisher's tool: its PE resource reader, and
// `patchtool inspect` on the same bytes as a file (resources, descriptor, every chunk and stream).
// Every resource the reader returns must lie inside the image, and nothing may fault.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "stream/allocator.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/check/patch_source.h"
#include "tools/patchtool/pe/pe_resources.h"
#include "tools/patchtool/host/report.h"

namespace {

// A damaged header may ask the stream library for up to 4 GiB, which it must survive being
// refused; refusing above 1 MiB (room for a real 512 KiB block and its table) keeps such inputs
// from exhausting the run or decoding for seconds.
const uint32_t MaxAllocation = 1u << 20;

void *CappedAlloc(uint32_t size, const Allocator *)
{
    return size > MaxAllocation ? nullptr : malloc(size);
}

void CappedFree(uint32_t, void *block, const Allocator *)
{
    free(block);
}

void Check(bool ok)
{
    if (!ok) {
        abort();
    }
}

void CheckResources(const std::vector<uint8_t> &image)
{
    std::vector<PeResource> items;
    std::string error;
    if (!ReadPeResources(image, &items, &error)) {
        Check(!error.empty());
        return;
    }
    for (const PeResource &item : items) {
        Check(item.imageOffset <= image.size() && item.size <= image.size() - item.imageOffset);
        Check(FindPeResource(items, item.type, item.name) != nullptr);
    }
}

// The tool reads installers from files, so the bytes go to an in-memory file first.
struct MemoryFile {
    int fd = memfd_create("fuzz_pe_inspect", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

// Inspect's words are not the fuzzer's concern; only its reads are.
class SilentReport : public Report {
public:
    void Say(Kind, const std::string &) override {}
    bool ShowsProgress() const override { return false; }
    void Progress(const std::string &, bool) override {}
};

void InspectAsFile(const uint8_t *data, size_t size)
{
    static MemoryFile file;
    Check(file.fd >= 0);
    Check(ftruncate(file.fd, 0) == 0 && pwrite(file.fd, data, size, 0) == (ssize_t)size);
    LoadedPatch patch;
    std::string error;
    if (!LoadPatch(PathFromUtf8(file.path), &patch, &error)) {
        Check(!error.empty());
        return;
    }
    for (const ChunkView &chunk : patch.chunks) {
        const std::vector<uint8_t> &image = patch.storage[0];
        Check(chunk.data >= image.data() &&
              chunk.size <= (uint64_t)(image.data() + image.size() - chunk.data));
    }
    SilentReport report;
    InspectPatch(patch, report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX) {
        return 0;
    }
    Allocator saved = defaultAllocator;
    defaultAllocator.alloc = CappedAlloc;
    defaultAllocator.free = CappedFree;
    CheckResources(std::vector<uint8_t>(data, data + size));
    InspectAsFile(data, size);
    defaultAllocator = saved;
    return 0;
}
