#pragma once
// The installer's version gate as the publisher's tool applies it to a game folder: the installed
// version taken from the bytes of Bin/game.ini as the installer reads them, and the gate's outcome
// in words.
#include <stdint.h>

#include <string>
#include <vector>

#include "format/descriptor.h"
#include "format/version_gate.h"
#include "format/version_types.h"
#include "tools/patchtool/host/text.h"

// Finds [GAME] VERSION= in the bytes of a game.ini as GetPrivateProfileString does (section and
// key in any case, spaces and one pair of quotes around the value dropped, at most 127
// characters) and parses it like the installer. A missing key gives 1.0.0.0, and so do no bytes,
// which is how a missing file reads.
// Returns: the installed version.
PackedVersion GameIniVersion(const std::vector<uint8_t> &ini);

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

// The file the installer reads, relative to the game folder (format/version.h names it for
// Windows).
extern const char GameIniName[];
