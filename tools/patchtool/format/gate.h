#pragma once
// The installed version of a game folder, read from Bin/game.ini as the installer reads it.
#include <string>

#include "app/descriptor.h"
#include "app/state.h"
#include "tools/patchtool/host/host.h"

// Reads [GAME] VERSION= from gameFolder/Bin/game.ini as GetPrivateProfileString does (section
// and key in any case, spaces and one pair of quotes around the value dropped, at most 127
// characters) and parses it like the installer. A missing file or key gives 1.0.0.0.
// Returns: false with a reason when the file exists but cannot be read.
bool ReadGameVersion(const fs::path &gameFolder, PackedVersion *version, std::string *error);

// What the installer does with a version its gate does not let through, for messages:
// "ask whether to install again (IDS_ALREADY_CURRENT)", "refuse it, ...".
const char *GateOutcomeText(const GateDecision &d);

// The file the installer reads, relative to the game folder.
extern const char GameIniName[];
