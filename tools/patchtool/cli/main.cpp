// patchtool: the publisher's tool that builds, inspects and verifies patches for the installer.
// The command line is parsed here into one struct per command, the work is called once with one
// report, and every word the tool says goes out through cli/console.
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/check/verify.h"
#include "tools/patchtool/cli/options.h"
#include "tools/patchtool/cli/console.h"
#include "tools/patchtool/host/process.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

const char Version[] = "patchtool 1.1";

const char Usage[] =
    "usage: patchtool COMMAND [OPTIONS]   (patchtool COMMAND --help for its options)\n"
    "  build     build a patch folder and its installer from old and new game folders\n"
    "  pack      write the installer of a patch folder, as build writes it\n"
    "  inspect   check a patch folder or installer by the installer's own rules\n"
    "  verify    install a patch into copies of old folders and compare with the new folder\n"
    "options for every command: -h, --help; patchtool --version\n"
    "exit codes: 0 success, 1 bad input or a bad result, 2 bad command line\n";

const char BuildHelp[] =
    "usage: patchtool build --new DIR [--old [VERSION=]DIR]... --target A.B.C.D --base A.B.C.D\n"
    "                       [--op = | --op <=] (--description TEXT | --description-file FILE)\n"
    "                       --out OUTDIR [--installer OUT.exe [--stub qpatch-stub.exe]] [OPTIONS]\n"
    "  --new DIR              the game as it is after the patch\n"
    "  --old [VERSION=]DIR    a game at a version the patch accepts; once per version. Its version "
    "is\n"
    "                         read from Bin/game.ini as the installer reads it (VERSION= must "
    "agree)\n"
    "  --all-old-versions     with --op <=: the --old folders are every version the patch "
    "accepts;\n"
    "                         without it every file goes in whole\n"
    "  --target, --base, --op the descriptor: the version after the patch, and what it accepts\n"
    "                         (=: exactly the base; <=: the base or older)\n"
    "  --description TEXT, --description-file FILE   shown in the installer's dialog (UTF-8)\n"
    "  --out OUTDIR           the patch folder (descriptor.txt, 1601.bin, ...)\n"
    "  --installer OUT.exe    also write the installer; --stub the payload-free qpatch-stub.exe\n"
    "  --force                replace an existing --out folder and --installer file\n"
    "  --chunk-size BYTES     chunk limit (default 64M; K, M, G suffixes)\n"
    "  --block-size BYTES     compressed block size (default 12M; the installer holds two blocks)\n"
    "  --threads N            compressing threads (default: every core); output is the same for "
    "any N\n"
    "  --level 0-9            LZMA level (default 9)\n"
    "  --dry-run              list the entries the patch would hold; write nothing\n"
    "  --quiet                no progress line and no summary\n"
    "  --no-checksum          leave out the checksum record the installer checks itself against\n"
    "  --no-delta             send no deltas: a changed file goes as ranges or whole (the Windows\n"
    "                         build of patchtool always builds so)\n"
    "  --opt=value works as well as --opt value\n";

const char PackHelp[] =
    "usage: patchtool pack PATCHDIR OUT.exe [--stub qpatch-stub.exe] [--no-checksum]\n"
    "  writes the installer of a patch folder (descriptor.txt, 1601.bin, ...) exactly as build "
    "writes it:\n"
    "  every file becomes its QPATCH resource (NNNN.delta files: QPATCHDELTA), byte for byte; with "
    "a "
    "descriptor\n"
    "  the installer also gets the version resource and the checksum records. Chunk files are "
    "named "
    "1601.bin\n"
    "  to 1999.bin, delta files 1601.delta to 1999.delta; those after a missing id are carried but "
    "never\n"
    "  applied (a warning says so). OUT.exe is replaced.\n"
    "  --stub FILE      the payload-free qpatch-stub.exe (default: $QPATCH_STUB, then beside the "
    "tool)\n"
    "  --no-checksum    leave out the checksum record the installer checks itself against\n";

const char InspectHelp[] = "usage: patchtool inspect PATCHDIR|INSTALLER.exe\n"
                           "  lists the descriptor and every entry, decodes every compressed "
                           "stream and checks every bound\n"
                           "  the installer checks; exit code 1 on any fault\n";

const char VerifyHelp[] =
    "usage: patchtool verify --patch PATCHDIR|INSTALLER.exe --old DIR [--old DIR]... --new DIR\n"
    "  for each --old folder: the installer's descriptor and version checks, then the patch "
    "installed\n"
    "  into a temporary copy of it and compared with --new byte for byte; exit code 1 on any "
    "fault\n";

int UsageError(const std::string &message, const char *command = nullptr)
{
    ConsoleReport report(DisplayLevel::Normal);
    report.Error(message);
    fprintf(stderr, "(patchtool %s--help lists the options)\n",
            command ? (std::string(command) + " ").c_str() : "");
    return ExitUsage;
}

bool WantsHelp(const std::vector<std::string> &args)
{
    for (const std::string &a : args) {
        if (a == "-h" || a == "--help") {
            return true;
        }
    }
    return false;
}

DisplayLevel BuildDisplayLevel(bool quiet)
{
    if (quiet) {
        return DisplayLevel::Quiet;
    }
    return StderrIsTerminal() ? DisplayLevel::WithProgress : DisplayLevel::Normal;
}

int RunBuild(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(BuildHelp, stdout);
        return ExitOk;
    }
    BuildCommand command;
    std::string problem = ParseBuildCommand(args, &command);
    if (!problem.empty()) {
        return UsageError(problem, "build");
    }
    ConsoleReport report(BuildDisplayLevel(command.quiet));
    if (command.options.target <= command.options.base) {
        report.Warning(
            "the target version is not above the base version; the installer will ask whether to "
            "install again");
    }
    BuildSummary summary;
    if (BuildPatch(command.options, report, &summary) != 0) {
        return ExitFailed;
    }
    ReportSummary(summary, report);
    return ExitOk;
}

int RunPack(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(PackHelp, stdout);
        return ExitOk;
    }
    PackOptions options;
    std::string problem = ParsePackCommand(args, &options);
    if (!problem.empty()) {
        return UsageError(problem, "pack");
    }
    ConsoleReport report(DisplayLevel::Normal);
    return PackInstaller(options, report) == 0 ? ExitOk : ExitFailed;
}

int RunInspect(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(InspectHelp, stdout);
        return ExitOk;
    }
    if (args.size() != 1 || args[0].compare(0, 2, "--") == 0) {
        return UsageError("inspect takes one patch folder or installer", "inspect");
    }
    ConsoleReport report(DisplayLevel::Normal);
    LoadedPatch patch;
    std::string error;
    if (!LoadPatch(PathFromUtf8(args[0]), &patch, &error)) {
        report.Error("inspect: " + error);
        return ExitFailed;
    }
    return InspectPatch(patch, report).empty() ? ExitOk : ExitFailed;
}

int RunVerify(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(VerifyHelp, stdout);
        return ExitOk;
    }
    VerifyCommand command;
    std::string problem = ParseVerifyCommand(args, &command);
    if (!problem.empty()) {
        return UsageError(problem, "verify");
    }
    ConsoleReport report(DisplayLevel::Normal);
    return VerifyPatch(command.patch, command.olds, command.newFolder, report) == 0 ? ExitOk
                                                                                    : ExitFailed;
}

// The arguments as UTF-8, whatever the host's own code page.
std::vector<std::string> Utf8Arguments(int argc, char **argv)
{
    std::vector<std::string> args;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        std::string text;
        if (!WideToUtf8(wide[i], &text)) {
            text = std::string("\xFF");  // fails every later UTF-8 check
        }
        args.push_back(text);
    }
    LocalFree(wide);
    SetConsoleOutputCP(CP_UTF8);
#else
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
#endif
    return args;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (args.empty()) {
        return UsageError("no command");
    }
    std::string command = args[0];
    args.erase(args.begin());
    InstallInterruptHandler();
    if (command == "build") {
        return RunBuild(args);
    }
    if (command == "pack") {
        return RunPack(args);
    }
    if (command == "inspect") {
        return RunInspect(args);
    }
    if (command == "verify") {
        return RunVerify(args);
    }
    if (command == "--version") {
        puts(Version);
        return ExitOk;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        const char *help = args.empty()           ? Usage
                           : args[0] == "build"   ? BuildHelp
                           : args[0] == "pack"    ? PackHelp
                           : args[0] == "inspect" ? InspectHelp
                           : args[0] == "verify"  ? VerifyHelp
                                                  : nullptr;
        if (!help) {
            return UsageError("unknown command " + args[0]);
        }
        fputs(help, stdout);
        return ExitOk;
    }
    return UsageError("unknown command " + command);
}
