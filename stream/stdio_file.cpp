#include "stream/stdio_file.h"

FILE *OpenFile(const std::filesystem::path &path, const char *mode)
{
#ifdef _WIN32
    wchar_t wideMode[8] = {0};
    for (int i = 0; i < 7 && mode[i]; ++i)
        wideMode[i] = (wchar_t)mode[i];
    return _wfopen(path.c_str(), wideMode);
#else
    return fopen(path.c_str(), mode);
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
