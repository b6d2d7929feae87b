#include "tools/patchtool/builder.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/blockenc/block_encoder.h"
#include "tools/patchtool/installer_extras.h"
#include "tools/patchtool/patch_format.h"
#include "tools/patchtool/pe_resources.h"
#include "tools/patchtool/ranges.h"

namespace {

// Files are read and compressed in batches of about this much input, so memory stays bounded.
const uint64_t BatchInputBytes = 256ull << 20;

struct FileWork {
    const TreeFile *newFile;
    const TreeFile *oldFile;  // null for a new file
    std::u16string name;
    std::vector<uint8_t> newData;
    bool unchanged = false;
    bool rangesFit = false;
    std::vector<ByteRange> ranges;
    std::vector<std::vector<uint8_t>> blocks;
};

struct Progress {
    bool enabled;
    uint64_t total;
    std::atomic<uint64_t> done{0};
    std::mutex printing;
    double lastPrint = 0;
};

void ShowProgress(Progress *p, bool final)
{
    if (!p->enabled) {
        return;
    }
    std::lock_guard<std::mutex> lock(p->printing);
    double now = NowMilliseconds();
    if (!final && now - p->lastPrint < 100) {
        return;
    }
    p->lastPrint = now;
    uint64_t done = p->done.load();
    unsigned percent = p->total ? (unsigned)(done * 100 / p->total) : 100;
    fprintf(stderr, "\rcompressing: %3u%% (%" PRIu64 " of %" PRIu64 " MiB)%s", percent, done >> 20,
            p->total >> 20, final ? "\n" : "");
    fflush(stderr);
}

struct BlockJob {
    FileWork *file;
    uint32_t index;
};

// Compresses every job's block; the result depends only on each block, never on the threads.
bool CompressBlocks(std::vector<BlockJob> &jobs, const BuildOptions &options, Progress *progress)
{
    BlockEncoderOptions encoder;
    encoder.blockSize = options.blockSize;
    encoder.level = options.level;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&]() {
        for (size_t i = next++; i < jobs.size() && !failed; i = next++) {
            FileWork *file = jobs[i].file;
            uint64_t start = (uint64_t)jobs[i].index * options.blockSize;
            uint32_t size = (uint32_t)std::min<uint64_t>(options.blockSize, file->newData.size() - start);
            if (!EncodeStoredBlock(file->newData.data() + start, size, encoder, file->blocks[jobs[i].index])) {
                failed = true;
            }
            progress->done += size;
            ShowProgress(progress, false);
        }
    };
    unsigned threads = std::max(1u, std::min<unsigned>(options.threads, (unsigned)jobs.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        pool.emplace_back(work);
    }
    work();
    for (std::thread &t : pool) {
        t.join();
    }
    return !failed;
}

uint64_t StreamSize(const FileWork &file)
{
    uint64_t size = 12 + 4 * (uint64_t)file.blocks.size();
    for (const std::vector<uint8_t> &block : file.blocks) {
        size += block.size();
    }
    return size;
}

struct ChunkWriter {
    fs::path folder;
    FILE *file = nullptr;
    uint32_t id = FirstChunkId - 1;
    uint64_t used = 0;
    uint64_t limit = 0;
};

bool CloseChunk(ChunkWriter *w, std::string *error)
{
    if (w->file && fclose(w->file) != 0) {
        w->file = nullptr;
        *error = "cannot write chunk " + std::to_string(w->id);
        return false;
    }
    w->file = nullptr;
    return true;
}

// Starts an entry of size bytes: in the current chunk while it fits, else in a new chunk.
bool BeginEntry(ChunkWriter *w, uint64_t size, std::string *error)
{
    if (size > MaxChunkBytes) {
        *error = "an entry of " + std::to_string(size) + " bytes is larger than a chunk can be";
        return false;
    }
    if (w->file && w->used > 0 && w->used + size <= w->limit) {
        return true;
    }
    if (!CloseChunk(w, error)) {
        return false;
    }
    if (++w->id > LastChunkId) {
        *error = "the patch needs more than 399 chunks (ids 1601 to 1999; 2000 is the descriptor): "
                 "raise --chunk-size";
        return false;
    }
    fs::path path = w->folder / (std::to_string(w->id) + ".bin");
    w->file = OpenFile(path, "wb");
    w->used = 0;
    if (!w->file) {
        *error = "cannot create " + PathText(path);
        return false;
    }
    return true;
}

bool Put(ChunkWriter *w, const void *data, size_t size, std::string *error)
{
    if (size && fwrite(data, 1, size, w->file) != size) {
        *error = "cannot write chunk " + std::to_string(w->id);
        return false;
    }
    w->used += size;
    return true;
}

bool EmitWholeFile(ChunkWriter *w, const FileWork &file, uint32_t blockSize, uint64_t streamSize,
                   std::string *error)
{
    std::vector<uint8_t> head;
    AppendEntryHeader(&head, WholeFileKind, file.name, streamSize, 0);
    uint8_t field[12];
    PutU64(field, file.newData.size());
    PutU32(field + 8, blockSize);
    if (!BeginEntry(w, head.size() + streamSize, error) || !Put(w, head.data(), head.size(), error) ||
        !Put(w, field, 12, error)) {
        return false;
    }
    for (const std::vector<uint8_t> &block : file.blocks) {
        PutU32(field, (uint32_t)block.size());
        if (!Put(w, field, 4, error)) {
            return false;
        }
    }
    for (const std::vector<uint8_t> &block : file.blocks) {
        if (!Put(w, block.data(), block.size(), error)) {
            return false;
        }
    }
    return true;
}

bool EmitRanges(ChunkWriter *w, const FileWork &file, std::string *error)
{
    for (const ByteRange &r : file.ranges) {
        std::vector<uint8_t> head;
        AppendEntryHeader(&head, RangeKind, file.name, r.length, r.offset);
        if (!BeginEntry(w, head.size() + r.length, error) || !Put(w, head.data(), head.size(), error) ||
            !Put(w, file.newData.data() + r.offset, (size_t)r.length, error)) {
            return false;
        }
    }
    return true;
}

struct Plan {
    std::vector<TreeFile> newFiles;
    std::vector<TreeFile> oldFiles;
    std::map<std::string, const TreeFile *> oldByName;
};

// Lists both folders and checks every name. Returns: false after a message.
bool MakePlan(const BuildOptions &options, Plan *plan)
{
    std::string error;
    std::vector<std::string> emptyFolders;
    if (!ListTree(options.newFolder, &plan->newFiles, &emptyFolders, &error)) {
        fprintf(stderr, "patchtool: --new: %s\n", error.c_str());
        return false;
    }
    for (const std::string &folder : emptyFolders) {
        fprintf(stderr, "patchtool: warning: the empty folder %s cannot be part of a patch\n", folder.c_str());
    }
    std::map<std::u16string, std::string> folded;
    for (const TreeFile &file : plan->newFiles) {
        std::u16string name;
        std::string reason;
        Utf8ToUtf16(file.name, &name);
        if (!CheckTargetName(name, &reason)) {
            fprintf(stderr, "patchtool: the name %s cannot be installed: %s\n", file.name.c_str(), reason.c_str());
            return false;
        }
        std::u16string key = name;
        for (char16_t &unit : key) {
            unit = unit >= u'a' && unit <= u'z' ? unit - 32 : unit;
        }
        if (!folded.emplace(key, file.name).second) {
            fprintf(stderr, "patchtool: %s and %s are one file on Windows\n", folded[key].c_str(), file.name.c_str());
            return false;
        }
    }
    if (!options.oldFolder.empty()) {
        if (!ListTree(options.oldFolder, &plan->oldFiles, &emptyFolders, &error)) {
            fprintf(stderr, "patchtool: --old: %s\n", error.c_str());
            return false;
        }
        for (const TreeFile &file : plan->oldFiles) {
            plan->oldByName[file.name] = &file;
        }
        std::map<std::string, bool> inNew;
        for (const TreeFile &file : plan->newFiles) {
            inNew[file.name] = true;
        }
        for (const TreeFile &file : plan->oldFiles) {
            if (!inNew.count(file.name)) {
                fprintf(stderr, "patchtool: warning: %s is in the old folder only; a patch cannot delete it\n",
                        file.name.c_str());
            }
        }
    }
    return true;
}

// Reads a file's new content and finds out whether, and in which byte runs, it changed.
bool ReadFileWork(FileWork *work, std::string *error)
{
    if (!ReadWholeFile(work->newFile->path, &work->newData, error)) {
        return false;
    }
    if (!work->oldFile || work->oldFile->size > work->newData.size()) {
        return true;
    }
    std::vector<uint8_t> oldData;
    if (!ReadWholeFile(work->oldFile->path, &oldData, error)) {
        return false;
    }
    work->unchanged = oldData.size() == work->newData.size() &&
                      (oldData.empty() || memcmp(oldData.data(), work->newData.data(), oldData.size()) == 0);
    if (!work->unchanged) {
        uint64_t header = RangeHeaderSize(work->name.size());
        work->rangesFit = FindChangedRanges(oldData.data(), oldData.size(), work->newData.data(),
                                            work->newData.size(), header, work->newData.size() + header,
                                            &work->ranges);
    }
    return true;
}

// Writes the entries of one batch in name order, choosing ranges where they are smaller.
bool EmitBatch(std::vector<FileWork> &batch, const BuildOptions &options, ChunkWriter *writer,
               BuildSummary *summary, std::string *error)
{
    for (FileWork &file : batch) {
        if (file.unchanged) {
            ++summary->filesUnchanged;
            continue;
        }
        summary->bytesIn += file.newData.size();
        uint64_t streamSize = StreamSize(file);
        uint64_t wholeCost = WholeFileHeaderSize(file.name.size()) + streamSize;
        uint64_t header = RangeHeaderSize(file.name.size());
        uint64_t rangeCost = RangeEntriesCost(file.ranges, header);
        if (file.rangesFit && rangeCost < wholeCost) {
            SplitLongRanges(&file.ranges, std::max<uint64_t>(options.chunkSize, header + 1) - header);
            summary->rangeFiles += 1;
            summary->rangeEntries += file.ranges.size();
            summary->rangeSavings += wholeCost - rangeCost;
            if (!EmitRanges(writer, file, error)) {
                return false;
            }
        } else {
            summary->wholeEntries += 1;
            if (!EmitWholeFile(writer, file, options.blockSize, streamSize, error)) {
                return false;
            }
        }
    }
    return true;
}

// Reads, compares, compresses and writes every file, batch by batch.
bool WriteChunks(const BuildOptions &options, const Plan &plan, ChunkWriter *writer, BuildSummary *summary,
                 std::string *error)
{
    Progress progress;
    progress.enabled = options.progress;
    progress.total = 0;
    for (const TreeFile &file : plan.newFiles) {
        progress.total += file.size;
    }
    size_t next = 0;
    while (next < plan.newFiles.size()) {
        std::vector<FileWork> batch;
        uint64_t input = 0;
        while (next < plan.newFiles.size() && (batch.empty() || input + plan.newFiles[next].size <= BatchInputBytes)) {
            const TreeFile &file = plan.newFiles[next++];
            auto old = plan.oldByName.find(file.name);
            batch.emplace_back();
            batch.back().newFile = &file;
            batch.back().oldFile = old == plan.oldByName.end() ? nullptr : old->second;
            Utf8ToUtf16(file.name, &batch.back().name);
            input += file.size;
        }
        std::vector<BlockJob> jobs;
        for (FileWork &work : batch) {
            if (!ReadFileWork(&work, error)) {
                return false;
            }
            if (work.unchanged) {
                progress.done += work.newData.size();
                continue;
            }
            uint64_t count = (work.newData.size() + options.blockSize - 1) / options.blockSize;
            work.blocks.resize(count);
            for (uint64_t i = 0; i < count; ++i) {
                jobs.push_back(BlockJob{&work, (uint32_t)i});
            }
        }
        if (!CompressBlocks(jobs, options, &progress)) {
            *error = "the LZMA encoder failed";
            return false;
        }
        if (!EmitBatch(batch, options, writer, summary, error)) {
            return false;
        }
    }
    ShowProgress(&progress, true);
    return CloseChunk(writer, error);
}

fs::path FindStub(const BuildOptions &options)
{
    if (!options.stub.empty()) {
        return options.stub;
    }
    if (const char *env = getenv("QPATCH_STUB")) {
        return PathFromUtf8(env);
    }
    // Next to the tool, as shipped, or where the windows build tree puts it.
    fs::path here = OwnExecutable().parent_path();
    fs::path beside = here / "qpatch-stub.exe";
    std::error_code ec;
    if (fs::exists(beside, ec)) {
        return beside;
    }
    return here / ".." / ".." / "resources" / "qpatch-stub.exe";
}

// Writes the installer into output: the stub with its QPATCH resources replaced by the patch's.
bool WriteInstaller(const BuildOptions &options, const fs::path &patchFolder, uint32_t lastChunk,
                    const fs::path &output, std::string *error)
{
    fs::path stub = FindStub(options);
    std::vector<uint8_t> image;
    std::vector<PeResource> items;
    if (!ReadWholeFile(stub, &image, error) || !ReadPeResources(image, &items, error)) {
        *error = "installer stub " + PathText(stub) + ": " + *error + " (pass --stub PATH to the "
                 "payload-free qpatch-stub.exe)";
        return false;
    }
    const ResourceKey type = NameKey(u"QPATCH");
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const PeResource &r) { return r.type.named && r.type.name == type.name; }),
                items.end());
    std::error_code ec;
    std::vector<uint32_t> ids(1, DescriptorId);
    for (uint32_t id = FirstChunkId; id <= lastChunk; ++id) {
        ids.push_back(id);
    }
    for (uint32_t id : ids) {
        fs::path file = patchFolder / (id == DescriptorId ? std::string("descriptor.txt") : std::to_string(id) + ".bin");
        PeResource item;
        item.type = type;
        item.name = IdKey((uint16_t)id);
        item.language = 0;
        item.codePage = 0;
        item.imageOffset = 0;
        item.size = (uint32_t)fs::file_size(file, ec);
        item.file = file;
        if (ec) {
            *error = "cannot read " + PathText(file);
            return false;
        }
        items.push_back(item);
    }
    bool signatureDropped = false;
    if (!AddInstallerExtras(image, patchFolder, lastChunk, options.checksumRecord, &items, &signatureDropped, error)) {
        return false;
    }
    if (signatureDropped) {
        fprintf(stderr, "patchtool: warning: %s is signed; the installer is written without that signature, "
                        "which would not match its new content: sign the installer again\n",
                PathText(stub).c_str());
    }
    return WritePeWithResources(image, items, output, error);
}

// Moves the finished output into place, replacing an old one only when asked to.
bool Publish(const fs::path &from, const fs::path &to, bool replace, std::string *error)
{
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) {
        if (!replace) {
            *error = PathText(to) + " already exists (--force replaces it)";
            return false;
        }
        fs::remove_all(to, ec);
    }
    fs::rename(from, to, ec);
    if (ec) {
        *error = "cannot move the result to " + PathText(to) + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

int BuildPatch(const BuildOptions &options, BuildSummary *summary)
{
    double start = NowMilliseconds();
    *summary = BuildSummary();
    Plan plan;
    if (!MakePlan(options, &plan)) {
        return 1;
    }
    summary->filesScanned = plan.newFiles.size();
    std::error_code ec;
    if (fs::exists(fs::symlink_status(options.outFolder, ec)) && !options.force) {
        fprintf(stderr, "patchtool: %s already exists (--force replaces it)\n", PathText(options.outFolder).c_str());
        return 1;
    }
    fs::path folder = TemporarySibling(options.outFolder);
    if (!fs::create_directory(folder, ec) || ec) {
        fprintf(stderr, "patchtool: cannot write the output folder next to %s: %s\n",
                PathText(options.outFolder).c_str(), ec.message().c_str());
        return 1;
    }
    ChunkWriter writer;
    writer.folder = folder;
    writer.limit = options.chunkSize;
    std::string error;
    std::string descriptor = ComposeDescriptor(options.target, options.op, options.base, options.description);
    fs::path installerTemp = options.installer.empty() ? fs::path() : TemporarySibling(options.installer);
    bool ok = WriteWholeFile(folder / "descriptor.txt", descriptor.data(), descriptor.size(), &error) &&
              WriteChunks(options, plan, &writer, summary, &error);
    if (ok && writer.id < FirstChunkId) {
        error = "nothing to patch: every file of the new folder is unchanged";
        ok = false;
    }
    if (ok && !options.installer.empty()) {
        ok = WriteInstaller(options, folder, writer.id, installerTemp, &error);
    }
    ok = ok && Publish(folder, options.outFolder, options.force, &error);
    if (ok && !options.installer.empty() && !Publish(installerTemp, options.installer, true, &error)) {
        RemoveTree(options.outFolder);
        ok = false;
    }
    if (!ok) {
        CloseChunk(&writer, &error);
        RemoveTree(folder);
        if (!installerTemp.empty()) {
            RemoveTree(installerTemp);
        }
        fprintf(stderr, "patchtool: %s\n", error.c_str());
        return 1;
    }
    summary->chunks = writer.id - FirstChunkId + 1;
    for (uint32_t id = FirstChunkId; id <= writer.id; ++id) {
        summary->bytesOut += fs::file_size(options.outFolder / (std::to_string(id) + ".bin"), ec);
    }
    summary->milliseconds = NowMilliseconds() - start;
    return 0;
}

void PrintSummary(const BuildSummary &s, FILE *out)
{
    double ratio = s.bytesIn ? 100.0 * (double)s.bytesOut / (double)s.bytesIn : 0.0;
    fprintf(out,
            "files: %" PRIu64 " scanned, %" PRIu64 " unchanged, %" PRIu64 " whole-file entries, %" PRIu64
            " changed in place as %" PRIu64 " range entries\n"
            "bytes: %" PRIu64 " in, %" PRIu64 " out in %u chunks (%.1f%%); range entries saved %" PRIu64
            " bytes\n"
            "time: %.2f s\n",
            s.filesScanned, s.filesUnchanged, s.wholeEntries, s.rangeFiles, s.rangeEntries, s.bytesIn, s.bytesOut,
            s.chunks, ratio, s.rangeSavings, s.milliseconds / 1000.0);
}
