// The host's delta of two files: both mapped read-only, so that the kernel may drop their pages
// under memory pressure, and handed to the encoder.
#include "tools/patchtool/builder/delta_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/patchtool/builder/delta.h"

namespace {

// A file mapped read-only; released on every path by its destructor.
class MappedFile {
public:
    ~MappedFile()
    {
        if (data_) {
            munmap(data_, size_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    // Returns: false with a reason when the file cannot be opened or mapped.
    bool Open(const fs::path &path, std::string *error)
    {
        struct stat st;
        fd_ = open(path.c_str(), O_RDONLY);
        if (fd_ < 0 || fstat(fd_, &st) != 0) {
            *error = "cannot open " + PathText(path) + ": " + SystemReason();
            return false;
        }
        size_ = (size_t)st.st_size;
        if (size_ == 0) {
            return true;
        }
        void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p == MAP_FAILED) {
            *error = "cannot map " + PathText(path) + ": " + SystemReason();
            return false;
        }
        data_ = p;
        return true;
    }

    const uint8_t *Data() const { return (const uint8_t *)data_; }
    uint64_t Size() const { return size_; }

private:
    int fd_ = -1;
    void *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace

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
        *error = "cannot encode the delta of " + PathText(target) + ": " + *error;
        return false;
    }
    return true;
}
