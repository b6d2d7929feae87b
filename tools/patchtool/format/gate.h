#pragma once
// The installer's version gate as the publisher's tool applies it to a game folder: the installed
// version read from Bin/game.ini as the installer reads it, and the gate's outcome in words.
#include <string>

#include "app/descriptor.h"
#include "app/version_gate.h"
#include "app/state.h"
#include "tools/patchtool/host/files.h"

// Reads [GAME] VERSION= from gameFolder/Bin/game.ini as GetPrivateProfileString does (section
// and key in any case, spaces and one pair of quotes around the value dropped, at most 127
// characters) and parses it like the installer. A missing file or key gives 1.0.0.0.
// Returns: false with a reason when the file exists but cannot be read.
bool ReadGameVersion(const fs::path &gameFolder, PackedVersion *version, std::string *error);

// A descriptor's terms: the version after the patch, and what it accepts.
struct GateTerms {
    PackedVersion target;
    GateOperator op;
    PackedVersion base;
};

// Applies the installer's gate to the installed version of folder.
// Returns: an empty text when the gate lets it through; otherwise what the installer would do
// (ask or refuse, with its message id) and why, naming the folder, its version and the terms.
std::string GateRefusal(const fs::path &folder, PackedVersion installed, const GateTerms &terms);

// The file the installer reads, relative to the game folder.
extern const char GameIniName[];
