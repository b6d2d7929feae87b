#pragma once
// The start-up checks: placement, installed version, descriptor and version gate. They run on the
// main thread before any window exists; every refusal has shown its own message box.
#include <stdint.h>
#include "app/state.h"

// A byte string owned by the caller; null bytes and size 0 stand for every failure.
struct DescriptorText {
    uint8_t *bytes;
    uint32_t size;
};

// Composes gameRoot from the installer's own path and tests for Bin\Tolvar2.exe under it.
// Returns: true when it is there; false after showing IDS_WRONG_PLACE.
bool LocateGameRoot();

// Reads "GAME"/"VERSION" from Bin\game.ini under gameRoot; "1.0.0.0" when missing.
// Call only after LocateGameRoot has returned true.
// Returns: the installed version.
PackedVersion ReadInstalledVersion();

// Copies resource QPATCH 2000 of the running executable.
// Returns: the copy, to be released with FreeDescriptorText; empty on any failure.
DescriptorText LoadDescriptorText();
void FreeDescriptorText(DescriptorText text);

// Sets targetVersion, gateOperator, baseVersion and patchDescription. Never fails: invalid UTF-8
// is decoded with replacement characters, and a description that cannot be stored stays empty.
void ParseDescriptor(const uint8_t *text, uint32_t size);

// Applies the version gate, asking or refusing with a message box where it says so.
// Returns: true when the installation may proceed.
bool CheckVersionGate(PackedVersion installedVersion);

// The checks in order, stopping at the first refusal: placement, installed version, descriptor,
// the package against its checksum record (IDS_PACKAGE_CORRUPT), version gate.
// Returns: true when the installation may proceed.
bool Preflight();
