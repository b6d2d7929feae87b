#pragma once
// Files through stdio on any host, for the publisher's tools and the tests (never the installer):
// names are wide on Windows, so any name opens, and offsets are 64-bit everywhere.
#include <stdint.h>
#include <stdio.h>

#include <filesystem>

// Opens path with a fopen mode. Returns: the file, or null.
FILE *OpenFile(const std::filesystem::path &path, const char *mode);

// Returns: true when the file's position is now offset.
bool SeekTo(FILE *file, uint64_t offset);
