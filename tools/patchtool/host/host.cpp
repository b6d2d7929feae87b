#include "tools/patchtool/host/host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <set>
#include <system_error>

#include <errno.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

bool Utf8ToUtf16(const std::string &text, std::u16string *units)
{
    units->clear();
    const uint8_t *p = (const uint8_t *)text.data();
    size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        uint32_t c = p[i];
        uint32_t extra = 0;
        uint32_t minimum = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, c &= 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, c &= 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, c &= 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (uint32_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return false;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            units->push_back((char16_t)(0xD800 + (c >> 10)));
            units->push_back((char16_t)(0xDC00 + (c & 0x3FF)));
        } else {
            units->push_back((char16_t)c);
        }
        i += extra + 1;
    }
    return true;
}

bool Utf16ToUtf8(const std::u16string &units, std::string *text)
{
    text->clear();
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            text->push_back((char)c);
        } else if (c < 0x800) {
            text->push_back((char)(0xC0 | (c >> 6)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            text->push_back((char)(0xE0 | (c >> 12)));
            text->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        } else {
            text->push_back((char)(0xF0 | (c >> 18)));
            text->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            text->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            text->push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

bool IsValidUtf8(const std::string &text)
{
    std::u16string ignored;
    return Utf8ToUtf16(text, &ignored);
}

#ifdef _WIN32
static bool WideToUtf8(const std::wstring &wide, std::string *text)
{
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()), text);
}
#endif

std::string PathText(const fs::path &path)
{
#ifdef _WIN32
    std::string text;
    WideToUtf8(path.wstring(), &text);
    return text;
#else
    return path.string();
#endif
}

fs::path PathFromUtf8(const std::string &text)
{
#ifdef _WIN32
    std::u16string units;
    Utf8ToUtf16(text, &units);
    return fs::path(std::wstring(units.begin(), units.end()));
#else
    return fs::path(text);
#endif
}

bool SeekTo(FILE *file, uint64_t offset)
{
#ifdef _WIN32
    return _fseeki64(file, (int64_t)offset, SEEK_SET) == 0;
#else
    return offset <= INT64_MAX && fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

FILE *OpenFile(const fs::path &path, const char *mode)
{
#ifdef _WIN32
    wchar_t wideMode[8] = {0};
    for (int i = 0; i < 7 && mode[i]; ++i) {
        wideMode[i] = (wchar_t)mode[i];
    }
    return _wfopen(path.c_str(), wideMode);
#else
    return fopen(path.c_str(), mode);
#endif
}

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
static bool ListEntry(TreeWalk *walk, const fs::path &path, bool *holdsFiles)
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
        *walk->error = ec ? "cannot read folder " + PathText(folder) + ": " + ec.message()
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
        if (!ListEntry(walk, it->path(), holdsFiles)) {
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

static uint64_t ProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return (uint64_t)getpid();
#endif
}

fs::path TemporarySibling(const fs::path &target)
{
    static std::atomic<uint32_t> counter{0};
    fs::path base = target;
    if (!base.has_filename()) {
        base = base.parent_path();
    }
    for (;;) {
        fs::path candidate = base;
        candidate += ".tmp-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) {
            return candidate;
        }
    }
}

// Returns: true when process id may still be running.
static bool ProcessAlive(uint64_t id)
{
#ifdef _WIN32
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)id);
    if (!process) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
#else
    return kill((pid_t)id, 0) == 0 || errno == EPERM;
#endif
}

// Returns: the process id in a name "PREFIX<pid>-<n>", or 0 when name is not of that form.
static uint64_t TemporaryOwner(const std::string &name, const std::string &prefix)
{
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size() ||
        name.find_first_not_of("0123456789", prefix.size()) != dash ||
        name.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash - prefix.size() > 10) {
        return 0;
    }
    return std::stoull(name.substr(prefix.size(), dash - prefix.size()));
}

void RemoveStaleTemporaries(const fs::path &target)
{
    fs::path base = target.has_filename() ? target : target.parent_path();
    fs::path folder = base.parent_path().empty() ? fs::path(".") : base.parent_path();
    std::string prefix = PathText(base.filename()) + ".tmp-";
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        uint64_t owner = TemporaryOwner(PathText(it->path().filename()), prefix);
        if (owner == 0 || owner == ProcessId()) {
            continue;
        }
        if (ProcessAlive(owner)) {
            fprintf(stderr, "patchtool: note: %s belongs to a run that is still going (process %llu)\n",
                    PathText(it->path()).c_str(), (unsigned long long)owner);
            continue;
        }
        RemoveTree(it->path());
        fprintf(stderr, "patchtool: removed %s, left behind by an interrupted run\n", PathText(it->path()).c_str());
    }
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

static volatile std::sig_atomic_t interruptSignal = 0;

extern "C" void OnInterrupt(int signal)
{
    interruptSignal = signal;
    std::signal(signal, SIG_DFL);  // a second one ends the process
}

void InstallInterruptHandler()
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef SIGBREAK
    std::signal(SIGBREAK, OnInterrupt);
#endif
}

bool Interrupted()
{
    return interruptSignal != 0;
}

fs::path MakeTemporaryFolder(const char *prefix)
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        return fs::path();
    }
    fs::path folder = TemporarySibling(base / prefix);
    if (!fs::create_directory(folder, ec) || ec) {
        return fs::path();
    }
    return folder;
}

void RemoveTree(const fs::path &path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

fs::path OwnExecutable()
{
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &buffer[0], (DWORD)buffer.size());
    buffer.resize(n);
    return fs::path(buffer);
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
#endif
}

bool StderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(2) != 0;
#endif
}

double NowMilliseconds()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
