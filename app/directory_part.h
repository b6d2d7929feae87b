#pragma once
// The directory part of the installer's own path, from which gameRoot is composed.
#include <stdint.h>
#include <wchar.h>

// Both "\" and "/" separate; the last one wins.
// Returns: the length of the directory part including its last separator; 0 when there is none.
uint32_t DirectoryPartLength(const wchar_t *path, uint32_t length);
