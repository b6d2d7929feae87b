#pragma once
// The outputs: checked against the inputs before any work, moved into place after it.
#include <string>

#include "tools/patchtool/builder/build_options.h"

// Outputs are never an input, never inside one, never hold one, and never lie inside each other;
// an existing one is replaced only with --force, and a folder never by the installer.
// Returns: false with the reason.
bool CheckOutputs(const BuildOptions &o, const fs::path &stub, std::string *error);

// Moves the finished output into place; an existing one was allowed by CheckOutputs.
// Returns: false with the reason.
bool Publish(const fs::path &from, const fs::path &to, std::string *error);
