#pragma once
// Files and folder trees on the host; the same code runs on Linux and Windows.
#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

#include "stream/stdio_file.h"  // OpenFile, SeekTo
#include "tools/patchtool/host/text.h"

// The operating system's reason for the last failed call of this thread (errno), for messages.
std::string SystemReason();

// Returns: true and the whole content; false with a message in error.
bool ReadWholeFile(const fs::path &path, std::vector<uint8_t> *data, std::string *error);

// As ReadWholeFile, but a path where nothing is gives true and no bytes.
bool ReadFileIfPresent(const fs::path &path, std::vector<uint8_t> *data, std::string *error);

// Returns: true when every byte was written and the file closed cleanly.
bool WriteWholeFile(const fs::path &path, const void *data, size_t size, std::string *error);

// One regular file of a folder tree.
struct TreeFile {
    std::string name;  // relative, folders separated by forward slashes, UTF-8
    fs::path path;     // host path
    uint64_t size;
};

// Lists the regular files under root, sorted by name. Symbolic links are followed, to folders
// too; a link back to a folder that encloses it is refused as a loop.
// Folders that hold no file at any depth go to emptyFolders.
// Returns: false with a message when root or a folder below it cannot be read, a link loops or
// dangles, or a name is not valid Unicode.
bool ListTree(const fs::path &root, std::vector<TreeFile> *files,
              std::vector<std::string> *emptyFolders, std::string *error);

// Returns: true when path is base or lies below it, after resolving links and ".." in both.
bool PathIsWithin(const fs::path &path, const fs::path &base);

// Removes a file or folder tree; ignores a missing or empty path.
void RemoveTree(const fs::path &path);
