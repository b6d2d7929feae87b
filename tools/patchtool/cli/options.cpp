#include "tools/patchtool/cli/options.h"

#include <stdlib.h>

#include <algorithm>
#include <system_error>
#include <thread>

namespace {

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
    return name == "--force" || name == "--dry-run" || name == "--quiet" ||
           name == "--all-old-versions" || name == "--no-checksum" || name == "--no-delta";
}

bool Repeats(const std::string &name)
{
    return name == "--old";
}

// Returns: an empty text, or what is wrong with the command line.
std::string SplitArguments(const std::vector<std::string> &args,
                           const std::vector<std::string> &known, Arguments *out)
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

// Every folder argument is checked here, once, with one wording.
std::string ReadFolder(const char *name, const std::string &value, fs::path *path)
{
    *path = PathFromUtf8(value);
    std::error_code ec;
    if (!fs::is_directory(*path, ec)) {
        return std::string(name) + ": not a readable folder: " + value;
    }
    return std::string();
}

std::string RequiredFolder(const Arguments &a, const char *name, fs::path *path)
{
    const std::string *value = a.Find(name);
    return value ? ReadFolder(name, *value, path) : std::string("missing ") + name;
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
    if (op && *op != "=" && *op != "<=") {
        return "--op must be = or <=, not " + *op;
    }
    o->op = op && *op == "<=" ? GateOperator::UpTo : GateOperator::Exact;
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
        while (!o->description.empty() &&
               (o->description.back() == '\n' || o->description.back() == '\r')) {
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
    return ReadFolder("--old", folder, &old->folder);
}

// Returns: an empty text, or the first problem with the output paths.
std::string ReadOutputOptions(const Arguments &a, BuildOptions *o)
{
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
    return std::string();
}

// Returns: an empty text, or the first problem with the sizes, threads and level.
std::string ReadTuningOptions(const Arguments &a, BuildOptions *o)
{
    uint64_t n = 0;
    if (const std::string *v = a.Find("--chunk-size")) {
        if (!ParseCount(*v, 1, MaxChunkBytes, &n)) {
            return "--chunk-size must be 1 to " + std::to_string(MaxChunkBytes) + " bytes";
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
    if (problem.empty()) {
        problem = ReadOutputOptions(a, o);
    }
    if (problem.empty()) {
        problem = ReadTuningOptions(a, o);
    }
    if (!problem.empty()) {
        return problem;
    }
    o->force = a.Find("--force") != nullptr;
    o->checksumRecord = a.Find("--no-checksum") == nullptr;
    o->dryRun = a.Find("--dry-run") != nullptr;
    o->deltas = a.Find("--no-delta") == nullptr;
    o->allOldVersions = a.Find("--all-old-versions") != nullptr;
    if (o->allOldVersions && o->olds.empty()) {
        return "--all-old-versions needs at least one --old";
    }
    return std::string();
}

}  // namespace

std::string ParseBuildCommand(const std::vector<std::string> &args, BuildCommand *command)
{
    Arguments a;
    std::string problem = SplitArguments(args,
                                         {"--new",
                                          "--old",
                                          "--all-old-versions",
                                          "--target",
                                          "--base",
                                          "--op",
                                          "--description",
                                          "--description-file",
                                          "--out",
                                          "--installer",
                                          "--stub",
                                          "--chunk-size",
                                          "--threads",
                                          "--level",
                                          "--block-size",
                                          "--force",
                                          "--dry-run",
                                          "--quiet",
                                          "--no-checksum",
                                          "--no-delta"},
                                         &a);
    if (problem.empty() && !a.positional.empty()) {
        problem = "unexpected argument " + a.positional[0];
    }
    if (problem.empty()) {
        problem = ReadBuildOptions(a, &command->options);
    }
    command->quiet = a.Find("--quiet") != nullptr;
    return problem;
}

std::string ParseVerifyCommand(const std::vector<std::string> &args, VerifyCommand *command)
{
    Arguments a;
    std::string problem = SplitArguments(args, {"--patch", "--old", "--new"}, &a);
    if (problem.empty() &&
        (!a.Find("--patch") || !a.Find("--old") || !a.Find("--new") || !a.positional.empty())) {
        problem = "verify needs --patch, --old and --new";
    }
    if (!problem.empty()) {
        return problem;
    }
    command->patch = PathFromUtf8(*a.Find("--patch"));
    for (const std::string &value : a.All("--old")) {
        command->olds.emplace_back();
        problem = ReadFolder("--old", value, &command->olds.back());
        if (!problem.empty()) {
            return problem;
        }
    }
    return RequiredFolder(a, "--new", &command->newFolder);
}

std::string ParsePackCommand(const std::vector<std::string> &args, PackOptions *options)
{
    Arguments a;
    std::string problem = SplitArguments(args, {"--stub", "--no-checksum"}, &a);
    if (problem.empty() && a.positional.size() != 2) {
        problem = "pack takes a patch folder and the installer to write";
    }
    fs::path folder;
    if (problem.empty()) {
        problem = ReadFolder("pack", a.positional[0], &folder);
    }
    if (problem.empty() && !ReadPatchFolder(folder, &options->files, &problem)) {
        problem = "pack: " + problem;
    }
    if (!problem.empty()) {
        return problem;
    }
    options->installer = PathFromUtf8(a.positional[1]);
    if (const std::string *stub = a.Find("--stub")) {
        options->stub = PathFromUtf8(*stub);
    }
    options->checksumRecord = a.Find("--no-checksum") == nullptr;
    return std::string();
}
