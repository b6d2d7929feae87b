// Building a patch: the plan checked before any work, then the patch written into temporaries
// next to the outputs and moved into place only when all of it succeeded.
#include "tools/patchtool/builder/build.h"

#include <system_error>

#include "tools/patchtool/builder/bases.h"

#include "tools/patchtool/builder/compare.h"
#include "tools/patchtool/builder/deltas.h"
#include "tools/patchtool/builder/encode.h"
#include "tools/patchtool/builder/installer.h"
#include "tools/patchtool/builder/outputs.h"
#include "tools/patchtool/builder/package.h"
#include "tools/patchtool/builder/plan.h"
#include "tools/patchtool/builder/progress.h"
#include "tools/patchtool/builder/removals.h"
#include "tools/patchtool/builder/scan.h"
#include "tools/patchtool/builder/stub.h"
#include "tools/patchtool/host/process.h"
#include "tools/patchtool/host/temporaries.h"

namespace {

// Everything that can be checked before any work: inputs, outputs, the stub.
bool PlanBuild(const BuildOptions &o, Plan *plan, Report &report, std::string *error)
{
    if (!CheckInputs(o, plan, report, error)) {
        return false;
    }
    if (!o.installer.empty()) {
        plan->stub.path = ResolveStub(o.stub);
    }
    return CheckOutputs(o, plan->stub.path, error) &&
           (o.installer.empty() || LoadStub(&plan->stub, error));
}

// Compares every file that has old copies and decides its entries.
bool CompareFiles(std::vector<FileWork> &files, Progress *progress, std::string *error)
{
    uint64_t compared = 0;
    for (const FileWork &f : files) {
        compared += f.olds.empty() || !f.rangesPossible ? 0 : f.file->size;
    }
    StartPhase(progress, "comparing", compared);
    for (FileWork &f : files) {
        if (!f.olds.empty() && f.rangesPossible) {
            SetCurrent(progress, f.file->name);
            if (!CompareFile(&f, progress, error)) {
                return false;
            }
        }
    }
    if (compared) {
        ShowProgress(progress, true);
    }
    return true;
}

// Opens a spool file at path, or none in a dry run.
// Returns: false with a reason.
bool OpenSpool(const BuildOptions &o, const fs::path &path, FILE **file, std::string *error)
{
    if (!o.dryRun && !(*file = OpenFile(path, "w+b"))) {
        *error = "cannot create " + PathText(path) + ": " + SystemReason();
        return false;
    }
    return true;
}

void CloseSpool(FILE **file, const fs::path &path)
{
    if (*file) {
        fclose(*file);
        *file = nullptr;
        RemoveTree(path);
    }
}

bool WritePatch(const BuildOptions &o, const Plan &plan, const fs::path &folder,
                ChunkWriter *writer, DeltaOutput *deltas, Report &report, BuildSummary *summary,
                std::string *error)
{
    Progress progress(report);
    std::vector<FileWork> files = MakeWork(o, plan);
    if ((o.deltas && !FindNamedBases(plan, files, error)) ||
        !CompareFiles(files, &progress, error)) {
        return false;
    }
    Spool spool;
    spool.path = folder / "spool.tmp";
    deltas->spool.path = folder / "deltas.tmp";
    bool ok = OpenSpool(o, deltas->spool.path, &deltas->spool.file, error) &&
              EncodeDeltas(o, files, deltas, &progress, error) &&
              OpenSpool(o, spool.path, &spool.file, error) &&
              EncodeAndPackage(o, files, writer, deltas, &spool, &progress, summary, error);
    CloseSpool(&spool.file, spool.path);
    CloseSpool(&deltas->spool.file, deltas->spool.path);
    return ok && CloseChunk(writer, error) && CloseChunk(&deltas->writer, error);
}

// Where the outputs are written before they are moved into place; empty in a dry run.
struct Temporaries {
    fs::path folder;
    fs::path installer;
};

// Writes the patch folder and the installer into t, then moves both into place.
bool WriteAndPublish(const BuildOptions &o, const Plan &plan, const Temporaries &t,
                     ChunkWriter *writer, DeltaOutput *deltas, Report &report,
                     BuildSummary *summary, std::string *error)
{
    std::string descriptor = ComposeDescriptor(o.target, o.op, o.base, o.description);
    std::vector<uint8_t> removals;
    bool ok = (o.dryRun || WriteWholeFile(t.folder / DescriptorFileName, descriptor.data(),
                                          descriptor.size(), error)) &&
              WritePatch(o, plan, t.folder, writer, deltas, report, summary, error) &&
              ComposeRemovals(o, plan, report, &removals, error) &&
              (o.dryRun || removals.empty() ||
               WriteWholeFile(t.folder / RemovalFileName, removals.data(), removals.size(), error));
    if (ok && writer->id < IDR_FIRST_CHUNK && deltas->writer.id < IDR_FIRST_CHUNK &&
        removals.empty()) {
        *error = "nothing to patch: every file of the new folder is unchanged and none was dropped";
        return false;
    }
    if (ok && !t.installer.empty()) {
        ok = WriteInstaller(
            plan.stub, BuiltPatchFiles(t.folder, writer->id, deltas->writer.id, !removals.empty()),
            t.installer, o.checksumRecord, report, error);
    }
    ok = ok && (o.dryRun || Publish(t.folder, o.outFolder, error));
    if (ok && !t.installer.empty() && !Publish(t.installer, o.installer, error)) {
        RemoveTree(o.outFolder);
        return false;
    }
    return ok;
}

// Returns: false with the reason when the temporary output folder cannot be made.
bool MakeTemporaries(const BuildOptions &o, Report &report, Temporaries *t, std::string *error)
{
    if (o.dryRun) {
        return true;
    }
    RemoveStaleTemporaries(o.outFolder, report);
    if (!o.installer.empty()) {
        RemoveStaleTemporaries(o.installer, report);
        t->installer = TemporarySibling(o.installer);
    }
    std::error_code ec;
    t->folder = TemporarySibling(o.outFolder);
    if (!fs::create_directory(t->folder, ec) || ec) {
        *error =
            "cannot write the output folder next to " + PathText(o.outFolder) + ": " + ec.message();
        t->folder.clear();
        return false;
    }
    return true;
}

}  // namespace

int BuildPatch(const BuildOptions &options, Report &report, BuildSummary *summary)
{
    double start = NowMilliseconds();
    *summary = BuildSummary();
    Plan plan;
    std::string error;
    if (!PlanBuild(options, &plan, report, &error)) {
        report.Error(error);
        return 1;
    }
    summary->filesScanned = plan.newFiles.size();
    Temporaries temporaries;
    ChunkWriter writer;
    DeltaOutput deltas;
    bool ok = MakeTemporaries(options, report, &temporaries, &error);
    writer.folder = temporaries.folder;
    writer.limit = options.chunkSize;
    writer.dryRun = options.dryRun;
    writer.report = &report;
    deltas.writer = writer;
    deltas.writer.deltas = true;
    if (ok &&
        !WriteAndPublish(options, plan, temporaries, &writer, &deltas, report, summary, &error)) {
        std::string ignored;
        CloseChunk(&writer, &ignored);
        CloseChunk(&deltas.writer, &ignored);
        RemoveTree(temporaries.folder);
        RemoveTree(temporaries.installer);
        ok = false;
    }
    if (!ok) {
        report.Error(error);
        return 1;
    }
    summary->chunks = writer.id - IDR_FIRST_CHUNK + 1;
    summary->deltaResources = deltas.writer.id - (IDR_FIRST_CHUNK - 1);
    summary->bytesOut = writer.total + deltas.writer.total;
    summary->milliseconds = NowMilliseconds() - start;
    return 0;
}
