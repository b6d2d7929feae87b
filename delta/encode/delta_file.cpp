#include "delta/encode/delta_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <new>

#include "delta/encode/delta_encode.h"

namespace fs = std::filesystem;

namespace {

// Returns: "WHAT PATH: the system's reason for the last failed call of this thread".
std::string Reason(const char *what, const fs::path &path)
{
#ifdef _WIN32
    DWORD code = GetLastError();
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) {
        --n;
    }
    std::string reason = n > 0 ? std::string(text, n) : "Windows error " + std::to_string(code);
#else
    std::string reason = strerror(errno);
#endif
    return std::string(what) + " " + path.u8string() + ": " + reason;
}

}  // namespace

MappedFile::~MappedFile()
{
#ifdef _WIN32
    if (data_) {
        UnmapViewOfFile(data_);
    }
    if (mapping_) {
        CloseHandle(mapping_);
    }
    if (file_) {
        CloseHandle(file_);
    }
#else
    if (data_) {
        munmap(data_, (size_t)size_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
#endif
}

bool MappedFile::Open(const fs::path &path, std::string *error)
{
#ifdef _WIN32
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    file_ = file == INVALID_HANDLE_VALUE ? nullptr : file;
    LARGE_INTEGER size;
    if (!file_ || !GetFileSizeEx(file, &size)) {
        *error = Reason("cannot open", path);
        return false;
    }
    size_ = (uint64_t)size.QuadPart;
#else
    struct stat st;
    fd_ = open(path.c_str(), O_RDONLY);
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        *error = Reason("cannot open", path);
        return false;
    }
    size_ = (uint64_t)st.st_size;
#endif
    if (size_ == 0) {
        return true;
    }
    if ((uint64_t)(size_t)size_ != size_) {
        *error = "cannot map " + path.u8string() + ": larger than this program's address space";
        return false;
    }
#ifdef _WIN32
    mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    data_ = mapping_ ? MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, (SIZE_T)size_) : nullptr;
    if (!data_) {
        *error = Reason("cannot map", path);
        return false;
    }
#else
    void *p = mmap(nullptr, (size_t)size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED) {
        *error = Reason("cannot map", path);
        return false;
    }
    data_ = p;
#endif
    return true;
}

bool EncodeFileDelta(const fs::path &base, const fs::path &target, int level, unsigned threads,
                     std::vector<uint8_t> *delta, std::string *error)
{
    DeltaOptions options;
    options.level = level;
    options.threads = std::max(1u, threads);
    // Sizes the encoder refuses are refused before either file takes address space.
    // (A size that cannot be read is left to the opening below, which names the reason.)
    std::error_code baseError, targetError;
    uint64_t baseSize = fs::file_size(base, baseError);
    uint64_t targetSize = fs::file_size(target, targetError);
    if (!baseError && !targetError && !DeltaInputsFit(baseSize, targetSize, options, error)) {
        *error = "cannot encode the delta of " + target.u8string() + ": " + *error;
        return false;
    }
    bool encoded = false;
    MappedFile old;
    MappedFile neu;
    if (!old.Open(base, error) || !neu.Open(target, error)) {
        return false;
    }
    try {
        encoded = EncodeSmallestDelta(old.Data(), old.Size(), neu.Data(), neu.Size(), options,
                                      delta, error);
    } catch (const std::bad_alloc &) {
        *error = "no memory";
        encoded = false;
    }
    if (!encoded) {
        *error = "cannot encode the delta of " + target.u8string() + ": " + *error;
    }
    return encoded;
}
