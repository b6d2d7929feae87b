#include "delta/encode/delta_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "delta/encode/delta_encode.h"

namespace fs = std::filesystem;

namespace {

std::string Reason(const char *what, const fs::path &path)
{
    return std::string(what) + " " + path.u8string() + ": " + strerror(errno);
}

}  // namespace

MappedFile::~MappedFile()
{
    if (data_) {
        munmap(data_, size_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool MappedFile::Open(const fs::path &path, std::string *error)
{
    struct stat st;
    fd_ = open(path.c_str(), O_RDONLY);
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
        *error = Reason("cannot open", path);
        return false;
    }
    size_ = (uint64_t)st.st_size;
    if (size_ == 0) {
        return true;
    }
    void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED) {
        *error = Reason("cannot map", path);
        return false;
    }
    data_ = p;
    return true;
}

bool DeltaEncoderAvailable()
{
    return true;
}

bool EncodeFileDelta(const fs::path &base, const fs::path &target, int level, unsigned threads,
                     std::vector<uint8_t> *delta, std::string *error)
{
    MappedFile old;
    MappedFile neu;
    if (!old.Open(base, error) || !neu.Open(target, error)) {
        return false;
    }
    DeltaOptions options;
    options.level = level;
    options.threads = std::max(1u, threads);
    if (!EncodeDelta(old.Data(), old.Size(), neu.Data(), neu.Size(), options, delta, error)) {
        *error = "cannot encode the delta of " + target.u8string() + ": " + *error;
        return false;
    }
    return true;
}
