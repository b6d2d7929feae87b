#include "tools/patchtool/host/files.h"

#include <algorithm>
#include <set>
#include <system_error>

#include <errno.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

std::string SystemReason()
{
    return strerror(errno);
}

bool ReadWholeFile(const fs::path &path, std::vector<uint8_t> *data, std::string *error)
{
    data->clear();
    FILE *file = OpenFile(path, "rb");
    if (!file) {
        *error = "cannot open " + PathText(path) + ": " + SystemReason();
        return false;
    }
    bool ok = true;
    uint8_t buffer[1 << 16];
    for (;;) {
        size_t n = fread(buffer, 1, sizeof buffer, file);
        data->insert(data->end(), buffer, buffer + n);
        if (n < sizeof buffer) {
            ok = !ferror(file);
            break;
        }
    }
    if (!ok) {
        *error = "cannot read " + PathText(path) + ": " + SystemReason();
    }
    fclose(file);
    return ok;
}

bool ReadFileIfPresent(const fs::path &path, std::vector<uint8_t> *data, std::string *error)
{
    data->clear();
    std::error_code ec;
    return !fs::exists(path, ec) || ReadWholeFile(path, data, error);
}

bool WriteWholeFile(const fs::path &path, const void *data, size_t size, std::string *error)
{
    FILE *file = OpenFile(path, "wb");
    if (!file) {
        *error = "cannot create " + PathText(path) + ": " + SystemReason();
        return false;
    }
    bool ok = fwrite(data, 1, size, file) == size;
    ok = (fclose(file) == 0) && ok;
    if (!ok) {
        *error = "cannot write " + PathText(path) + ": " + SystemReason();
    }
    return ok;
}

// Returns: the relative name with forward slashes as UTF-8, or false when it is not valid Unicode.
static bool RelativeName(const fs::path &relative, std::string *name)
{
#ifdef _WIN32
    return WideToUtf8(relative.generic_wstring(), name);
#else
    *name = relative.generic_string();
    return IsValidUtf8(*name);
#endif
}

struct TreeWalk {
    fs::path root;
    std::vector<TreeFile> *files;
    std::vector<std::string> *emptyFolders;
    std::set<fs::path> enclosing;  // resolved paths of the folders being listed, to catch loops
    std::string *error;
};

static bool ListFolder(TreeWalk *walk, const fs::path &folder, bool *holdsFiles);

// Lists one directory entry. Returns: false on a failure to read, a dangling link or a loop.
static bool ListTreeEntry(TreeWalk *walk, const fs::path &path, bool *holdsFiles)
{
    std::error_code ec;
    std::string name;
    if (!RelativeName(path.lexically_relative(walk->root), &name)) {
        *walk->error = "the name of " + PathText(path) + " is not valid Unicode";
        return false;
    }
    bool link = fs::is_symlink(fs::symlink_status(path, ec));
    fs::file_status status = fs::status(path, ec);
    if (link && (ec || !fs::exists(status))) {
        *walk->error = "the link " + PathText(path) + " points to nothing";
        return false;
    }
    if (ec) {
        *walk->error = "cannot read " + PathText(path) + ": " + ec.message();
        return false;
    }
    if (fs::is_directory(status)) {
        bool below = false;
        if (!ListFolder(walk, path, &below)) {
            return false;
        }
        if (!below) {
            walk->emptyFolders->push_back(name);
        }
        *holdsFiles = *holdsFiles || below;
    } else if (fs::is_regular_file(status)) {
        uint64_t size = fs::file_size(path, ec);
        if (ec) {
            *walk->error = "cannot read " + PathText(path) + ": " + ec.message();
            return false;
        }
        walk->files->push_back(TreeFile{name, path, size});
        *holdsFiles = true;
    } else {
        *walk->error = PathText(path) + " is neither a file nor a folder";
        return false;
    }
    return true;
}

// Returns: false on a failure to read; *holdsFiles tells whether any file lies below folder.
static bool ListFolder(TreeWalk *walk, const fs::path &folder, bool *holdsFiles)
{
    std::error_code ec;
    fs::path resolved = fs::canonical(folder, ec);
    if (ec || !walk->enclosing.insert(resolved).second) {
        *walk->error =
            ec ? "cannot read folder " + PathText(folder) + ": " + ec.message()
               : "the folder link " + PathText(folder) + " leads back to a folder that encloses it";
        return false;
    }
    fs::directory_iterator it(folder, ec);
    if (ec) {
        *walk->error = "cannot read folder " + PathText(folder) + ": " + ec.message();
        return false;
    }
    *holdsFiles = false;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (!ListTreeEntry(walk, it->path(), holdsFiles)) {
            return false;
        }
    }
    if (ec) {
        *walk->error = "cannot read folder " + PathText(folder) + ": " + ec.message();
        return false;
    }
    walk->enclosing.erase(resolved);
    return true;
}

bool ListTree(const fs::path &root, std::vector<TreeFile> *files,
              std::vector<std::string> *emptyFolders, std::string *error)
{
    files->clear();
    emptyFolders->clear();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = "not a folder: " + PathText(root);
        return false;
    }
    bool holdsFiles = false;
    TreeWalk walk = {root, files, emptyFolders, {}, error};
    if (!ListFolder(&walk, root, &holdsFiles)) {
        return false;
    }
    std::sort(files->begin(), files->end(),
              [](const TreeFile &a, const TreeFile &b) { return a.name < b.name; });
    std::sort(emptyFolders->begin(), emptyFolders->end());
    return true;
}

// Compares the parts of two resolved paths; Windows' file names ignore case.
static bool SamePart(const fs::path &a, const fs::path &b)
{
#ifdef _WIN32
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
#else
    return a == b;
#endif
}

bool PathIsWithin(const fs::path &path, const fs::path &base)
{
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    fs::path b = fs::weakly_canonical(fs::absolute(base, ec), ec);
    auto pi = p.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi, ++pi) {
        if (bi->empty() && std::next(bi) == b.end()) {
            break;  // a trailing separator
        }
        if (pi == p.end() || !SamePart(*pi, *bi)) {
            return false;
        }
    }
    return true;
}

void RemoveTree(const fs::path &path)
{
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    fs::remove_all(path, ec);
}
