// patchtool: the publisher's tool that builds, inspects and verifies patches for the installer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tools/patchtool/build/build.h"
#include "tools/patchtool/host/host.h"
#include "tools/patchtool/check/inspect.h"
#include "tools/patchtool/format/patch_format.h"
#include "tools/patchtool/check/verify.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

const char Version[] = "patchtool 1.1";

const char Usage[] =
    "usage: patchtool COMMAND [OPTIONS]   (patchtool COMMAND --help for its options)\n"
    "  build     build a patch folder and its installer from old and new game folders\n"
    "  inspect   check a patch folder or installer by the installer's own rules\n"
    "  verify    install a patch into copies of old folders and compare with the new folder\n"
    "options for every command: -h, --help; patchtool --version\n"
    "exit codes: 0 success, 1 bad input or a bad result, 2 bad command line\n";

const char BuildHelp[] =
    "usage: patchtool build --new DIR [--old [VERSION=]DIR]... --target A.B.C.D --base A.B.C.D\n"
    "                       [--op = | --op <=] (--description TEXT | --description-file FILE)\n"
    "                       --out OUTDIR [--installer OUT.exe [--stub qpatch-stub.exe]] [OPTIONS]\n"
    "  --new DIR              the game as it is after the patch\n"
    "  --old [VERSION=]DIR    a game at a version the patch accepts; once per version. Its version is\n"
    "                         read from Bin/game.ini as the installer reads it (VERSION= must agree)\n"
    "  --all-old-versions     with --op <=: the --old folders are every version the patch accepts;\n"
    "                         without it every file goes in whole\n"
    "  --target, --base, --op the descriptor: the version after the patch, and what it accepts\n"
    "                         (=: exactly the base; <=: the base or older)\n"
    "  --description TEXT, --description-file FILE   shown in the installer's dialog (UTF-8)\n"
    "  --out OUTDIR           the patch folder (descriptor.txt, 1601.bin, ...)\n"
    "  --installer OUT.exe    also write the installer; --stub the payload-free qpatch-stub.exe\n"
    "  --force                replace an existing --out folder and --installer file\n"
    "  --chunk-size BYTES     chunk limit (default 64M; K, M, G suffixes)\n"
    "  --block-size BYTES     compressed block size (default 512K)\n"
    "  --threads N            compressing threads (default: every core); output is the same for any N\n"
    "  --level 0-9            LZMA level (default 9)\n"
    "  --dry-run              list the entries the patch would hold; write nothing\n"
    "  --quiet                no progress line and no summary\n"
    "  --no-checksum          leave out the checksum record the installer checks itself against\n"
    "  --opt=value works as well as --opt value\n";

const char InspectHelp[] =
    "usage: patchtool inspect PATCHDIR|INSTALLER.exe\n"
    "  lists the descriptor and every entry, decodes every compressed stream and checks every bound\n"
    "  the installer checks; exit code 1 on any fault\n";

const char VerifyHelp[] =
    "usage: patchtool verify --patch PATCHDIR|INSTALLER.exe --old DIR [--old DIR]... --new DIR\n"
    "  for each --old folder: the installer's descriptor and version checks, then the patch installed\n"
    "  into a temporary copy of it and compared with --new byte for byte; exit code 1 on any fault\n";

int UsageError(const std::string &message, const char *command = nullptr)
{
    fprintf(stderr, "patchtool: %s\n(patchtool %s--help lists the options)\n", message.c_str(),
            command ? (std::string(command) + " ").c_str() : "");
    return 2;
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

// Options as name/value pairs; flags have an empty value.
struct Arguments {
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> positional;

    const std::string *Find(const char *name) const
    {
        for (const auto &v : values) {
            if (v.first == name) {
                return &v.second;
            }
        }
        return nullptr;
    }

    std::vector<std::string> All(const char *name) const
    {
        std::vector<std::string> found;
        for (const auto &v : values) {
            if (v.first == name) {
                found.push_back(v.second);
            }
        }
        return found;
    }
};

bool IsFlag(const std::string &name)
{
    return name == "--force" || name == "--dry-run" || name == "--quiet" || name == "--all-old-versions" ||
           name == "--no-checksum";
}

bool Repeats(const std::string &name) { return name == "--old"; }

// Returns: an empty text, or what is wrong with the command line.
std::string SplitArguments(const std::vector<std::string> &args, const std::vector<std::string> &known,
                           Arguments *out)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = args[i];
        if (a.compare(0, 2, "--") != 0) {
            out->positional.push_back(a);
            continue;
        }
        size_t equals = a.find('=');
        bool inlineValue = equals != std::string::npos;
        std::string value = inlineValue ? a.substr(equals + 1) : std::string();
        a = a.substr(0, equals);
        if (std::find(known.begin(), known.end(), a) == known.end()) {
            return "unknown option " + a;
        }
        if (out->Find(a.c_str()) && !Repeats(a)) {
            return "option " + a + " given twice";
        }
        if (IsFlag(a)) {
            if (inlineValue) {
                return "option " + a + " takes no value";
            }
        } else if (!inlineValue) {
            if (i + 1 >= args.size()) {
                return "option " + a + " needs a value";
            }
            value = args[++i];
        }
        out->values.push_back({a, value});
    }
    return std::string();
}

// Reads a byte count with an optional K, M or G suffix (powers of 1024).
bool ParseCount(const std::string &text, uint64_t minimum, uint64_t maximum, uint64_t *value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char *end = nullptr;
    unsigned long long n = strtoull(text.c_str(), &end, 10);
    uint64_t scale = 1;
    if (*end == 'K' || *end == 'k') {
        scale = 1ull << 10, ++end;
    } else if (*end == 'M' || *end == 'm') {
        scale = 1ull << 20, ++end;
    } else if (*end == 'G' || *end == 'g') {
        scale = 1ull << 30, ++end;
    }
    if (*end != '\0' || n > maximum / scale || n * scale < minimum) {
        return false;
    }
    *value = n * scale;
    return true;
}

std::string RequiredFolder(const Arguments &a, const char *name, fs::path *path)
{
    const std::string *value = a.Find(name);
    if (!value) {
        return std::string("missing ") + name;
    }
    *path = PathFromUtf8(*value);
    std::error_code ec;
    if (!fs::is_directory(*path, ec)) {
        return std::string(name) + ": not a readable folder: " + *value;
    }
    return std::string();
}

// Returns: an empty text, or the first problem with the version, operator and description options.
std::string ReadDescriptorOptions(const Arguments &a, BuildOptions *o)
{
    const std::string *target = a.Find("--target");
    const std::string *base = a.Find("--base");
    if (!target || !ParseVersionArgument(*target, &o->target)) {
        return "--target needs a version of four numbers 0-255, like 1.1.0.1";
    }
    if (!base || !ParseVersionArgument(*base, &o->base)) {
        return "--base needs a version of four numbers 0-255, like 1.1.0.0";
    }
    const std::string *op = a.Find("--op");
    o->op = op ? *op : "=";
    if (o->op != "=" && o->op != "<=") {
        return "--op must be = or <=, not " + o->op;
    }
    const std::string *text = a.Find("--description");
    const std::string *file = a.Find("--description-file");
    if (!text == !file) {
        return "give either --description or --description-file";
    }
    if (file) {
        o->descriptionFile = PathFromUtf8(*file);
        std::vector<uint8_t> bytes;
        std::string error;
        if (!ReadWholeFile(PathFromUtf8(*file), &bytes, &error)) {
            return "--description-file: " + error;
        }
        o->description.assign(bytes.begin(), bytes.end());
        while (!o->description.empty() && (o->description.back() == '\n' || o->description.back() == '\r')) {
            o->description.pop_back();  // the descriptor adds its own line end
        }
    } else {
        o->description = *text;
    }
    std::string reason;
    if (!PrepareDescription(&o->description, &reason)) {
        return reason;
    }
    return std::string();
}

// Reads "--old DIR" or "--old VERSION=DIR".
std::string ReadOldFolder(const std::string &value, OldVersion *old)
{
    size_t equals = value.find('=');
    uint32_t version = 0;
    std::string folder = value;
    if (equals != std::string::npos && ParseVersionArgument(value.substr(0, equals), &version)) {
        old->claimed = true;
        old->version = version;
        folder = value.substr(equals + 1);
    }
    old->folder = PathFromUtf8(folder);
    std::error_code ec;
    if (!fs::is_directory(old->folder, ec)) {
        return "--old: not a readable folder: " + folder;
    }
    return std::string();
}

std::string ReadBuildOptions(const Arguments &a, BuildOptions *o)
{
    std::string problem = RequiredFolder(a, "--new", &o->newFolder);
    for (const std::string &value : a.All("--old")) {
        o->olds.emplace_back();
        if (problem.empty()) {
            problem = ReadOldFolder(value, &o->olds.back());
        }
    }
    if (problem.empty()) {
        problem = ReadDescriptorOptions(a, o);
    }
    if (!problem.empty()) {
        return problem;
    }
    const std::string *out = a.Find("--out");
    if (!out || out->empty()) {
        return "missing --out";
    }
    o->outFolder = PathFromUtf8(*out);
    if (const std::string *v = a.Find("--installer")) {
        o->installer = PathFromUtf8(*v);
    }
    if (const std::string *v = a.Find("--stub")) {
        o->stub = PathFromUtf8(*v);
    }
    uint64_t n = 0;
    if (const std::string *v = a.Find("--chunk-size")) {
        if (!ParseCount(*v, 1, MaxChunkBytes, &n)) {
            return "--chunk-size must be 1 to 2147483647 bytes";
        }
        o->chunkSize = n;
    }
    if (const std::string *v = a.Find("--block-size")) {
        if (!ParseCount(*v, 16, 64ull << 20, &n)) {
            return "--block-size must be 16 bytes to 64M";
        }
        o->blockSize = (uint32_t)n;
    }
    o->threads = std::thread::hardware_concurrency();
    if (const std::string *v = a.Find("--threads")) {
        if (!ParseCount(*v, 1, 1024, &n)) {
            return "--threads must be 1 to 1024";
        }
        o->threads = (unsigned)n;
    }
    if (const std::string *v = a.Find("--level")) {
        if (!ParseCount(*v, 0, 9, &n)) {
            return "--level must be 0 to 9";
        }
        o->level = (int)n;
    }
    o->force = a.Find("--force") != nullptr;
    o->checksumRecord = a.Find("--no-checksum") == nullptr;
    o->dryRun = a.Find("--dry-run") != nullptr;
    o->allOldVersions = a.Find("--all-old-versions") != nullptr;
    if (o->allOldVersions && o->olds.empty()) {
        return "--all-old-versions needs at least one --old";
    }
    if (o->target <= o->base) {
        fprintf(stderr, "patchtool: warning: the target version is not above the base version; the installer "
                        "will ask whether to install again\n");
    }
    return std::string();
}

int RunBuild(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(BuildHelp, stdout);
        return 0;
    }
    Arguments a;
    std::string problem = SplitArguments(args,
        {"--new", "--old", "--all-old-versions", "--target", "--base", "--op", "--description", "--description-file",
         "--out", "--installer", "--stub", "--chunk-size", "--threads", "--level", "--block-size", "--force",
         "--dry-run", "--quiet", "--no-checksum"}, &a);
    BuildOptions options;
    if (problem.empty() && !a.positional.empty()) {
        problem = "unexpected argument " + a.positional[0];
    }
    if (problem.empty()) {
        problem = ReadBuildOptions(a, &options);
    }
    if (!problem.empty()) {
        return UsageError(problem, "build");
    }
    bool quiet = a.Find("--quiet") != nullptr;
    options.progress = !quiet && StderrIsTerminal();
    BuildSummary summary;
    int code = BuildPatch(options, &summary);
    if (code == 0 && !quiet) {
        PrintSummary(summary, stdout);
    }
    return code;
}

int RunInspect(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(InspectHelp, stdout);
        return 0;
    }
    if (args.size() != 1 || args[0].compare(0, 2, "--") == 0) {
        return UsageError("inspect takes one patch folder or installer", "inspect");
    }
    LoadedPatch patch;
    std::string error;
    if (!LoadPatch(PathFromUtf8(args[0]), &patch, &error)) {
        fprintf(stderr, "patchtool: inspect: %s\n", error.c_str());
        return 1;
    }
    return InspectPatch(patch, stdout).empty() ? 0 : 1;
}

int RunVerify(const std::vector<std::string> &args)
{
    if (WantsHelp(args)) {
        fputs(VerifyHelp, stdout);
        return 0;
    }
    Arguments a;
    std::string problem = SplitArguments(args, {"--patch", "--old", "--new"}, &a);
    if (problem.empty() && (!a.Find("--patch") || !a.Find("--old") || !a.Find("--new") || !a.positional.empty())) {
        problem = "verify needs --patch, --old and --new";
    }
    if (!problem.empty()) {
        return UsageError(problem, "verify");
    }
    std::vector<fs::path> olds;
    for (const std::string &old : a.All("--old")) {
        olds.push_back(PathFromUtf8(old));
    }
    return VerifyPatch(PathFromUtf8(*a.Find("--patch")), olds, PathFromUtf8(*a.Find("--new")), stdout);
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
        std::wstring w(wide[i]);
        if (!Utf16ToUtf8(std::u16string(w.begin(), w.end()), &text)) {
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
    if (command == "inspect") {
        return RunInspect(args);
    }
    if (command == "verify") {
        return RunVerify(args);
    }
    if (command == "--version") {
        puts(Version);
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        const char *help = args.empty() ? Usage : args[0] == "build" ? BuildHelp : args[0] == "inspect" ? InspectHelp
                         : args[0] == "verify" ? VerifyHelp : nullptr;
        if (!help) {
            return UsageError("unknown command " + args[0]);
        }
        fputs(help, stdout);
        return 0;
    }
    return UsageError("unknown command " + command);
}
