#include "app/directory_part.h"

uint32_t DirectoryPartLength(const wchar_t *path, uint32_t length)
{
    uint32_t i = length;
    while (i > 0 && path[i - 1] != L'\\' && path[i - 1] != L'/')
        --i;
    return i;
}
