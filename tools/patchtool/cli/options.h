#pragma once
// The command line of each command, parsed into one struct; every folder argument checked here.
#include <string>
#include <vector>

#include "tools/patchtool/builder/build.h"
#include "tools/patchtool/builder/pack.h"

struct BuildCommand {
    BuildOptions options;
    bool quiet = false;  // --quiet: no progress line, no summary
};

struct VerifyCommand {
    fs::path patch;
    std::vector<fs::path> olds;  // at least one, each an existing folder
    fs::path newFolder;
};

// Returns: an empty text, or what is wrong with the command line (for a usage error).
std::string ParseBuildCommand(const std::vector<std::string> &args, BuildCommand *command);
std::string ParseVerifyCommand(const std::vector<std::string> &args, VerifyCommand *command);
// pack's patch folder is read here too: one that is no patch folder is a usage error.
std::string ParsePackCommand(const std::vector<std::string> &args, PackOptions *options);
