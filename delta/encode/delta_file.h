#pragma once
// A delta of one file against another, encoded from the files themselves: both mapped read-only,
// so that the system may drop their pages under memory pressure, and handed to the encoder
// (delta/encode/delta_encode.h). POSIX mapping on Linux, a file mapping on Windows.
#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// A file mapped read-only; released on every path by its destructor.
class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile();

    // Returns: false with a reason naming the file when it cannot be opened or mapped, a file
    // larger than the address space included.
    bool Open(const std::filesystem::path &path, std::string *error);
    const uint8_t *Data() const { return (const uint8_t *)data_; }
    uint64_t Size() const { return size_; }

private:
#ifdef _WIN32
    void *file_ = nullptr;  // HANDLE
    void *mapping_ = nullptr;
#else
    int fd_ = -1;
#endif
    void *data_ = nullptr;
    uint64_t size_ = 0;
};

// Encodes target as a delta against base, its sections compressed at level on up to threads
// threads. Memory: both files mapped, the base's index (4 bytes a byte up to 512 MiB of base, 128
// MiB in a 32-bit process) and the delta.
// Returns: true with the delta in *delta; false with a reason naming the file, files together
// over a 32-bit process's 1 GiB (DeltaOptions::inputLimit) included, refused before either is
// mapped.
bool EncodeFileDelta(const std::filesystem::path &base, const std::filesystem::path &target,
                     int level, unsigned threads, std::vector<uint8_t> *delta, std::string *error);
